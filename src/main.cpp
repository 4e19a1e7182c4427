#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quillmarsh");
    QApplication::setOrganizationName("Quillmarsh");
    std::puts("Quillmarsh: the engine is built; the application window is not yet.");
    return 0;
}
