// The floor of the launch benchmark: the least a Qt Widgets program does
// to map one window titled as given.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Floor"));
    window.resize(860, 520);
    window.show();
    return QApplication::exec();
}
