// The program: one instance per user (a second launch hands its files over
// and ends), the composition root with the views' pieces, the windows,
// menus and tray icon, then the start-up wiring once the event loop runs
// and the files of the command line. Closing the last window leaves it
// running while its tray icon shows, and quits without a tray; the tray's
// "Quit Quillmarsh", Ctrl+Q, SIGTERM and SIGINT end it through the same
// tear-down (sound-server clients, catalog, key grab).
#include <QApplication>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <vector>

#include "app/shell/AppModel.h"
#include "app/shell/HandedFiles.h"
#include "app/shell/QuitSignals.h"
#include "app/shell/SingleInstance.h"
#include "platform/desktop/SessionKind.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/AppShell.h"
#include "ui/shell/RootViews.h"

int main(int argc, char** argv) {
    // Under XWayland on a Wayland session, so that the windows are raised
    // and stacked as on X11 (following the file manager stays X11's).
    if (const auto platform = qm::sessionKind::qtPlatform(qm::sessionKind::Environment::current()))
        qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(*platform));
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quillmarsh");
    QApplication::setOrganizationName("Quillmarsh");
    QApplication::setDesktopFileName("quillmarsh");
    // The shell decides, by the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    std::vector<std::filesystem::path> files;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument.startsWith(QLatin1String("file://")))
            files.emplace_back(QUrl(argument).toLocalFile().toStdString());
        else if (!argument.startsWith(QLatin1Char('-')))
            files.emplace_back(argument.toStdString());
    }

    // Before any model exists: a running instance takes the files.
    qm::SingleInstance instance;
    if (instance.handOverOrServe(files)) return 0;

    qm::QuitSignals quitSignals([](int) { QApplication::quit(); });

    qm::AppModel& app = qm::AppModel::shared(qm::rootViews::complete);
    qm::MenuHooks hooks;
    hooks.quit = [] { QApplication::quit(); };
    auto shell = std::make_unique<qm::AppShell>(app, hooks);

    QObject::connect(&instance, &qm::SingleInstance::filesReceived, &app,
                     [&app, &shell](const std::vector<std::filesystem::path>& handed) {
                         if (handed.empty()) {
                             shell->open(QStringLiteral("main"));
                             return;
                         }
                         qm::openHandedFiles(app, handed);
                     });

    shell->open(QStringLiteral("main"));
    QTimer::singleShot(0, &app, [&app, files] {
        app.start();
        qm::openHandedFiles(app, files);
    });

    const int code = QApplication::exec();
    // Windows first (they show the models), then the root with its sound
    // clients, catalog and key grab, while the application object exists.
    shell.reset();
    delete &app;
    return code;
}
