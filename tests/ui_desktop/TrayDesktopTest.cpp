// The tray icon in a real system tray: tint2's XEmbed tray on the private
// desktop (the program's own icon is embedded, a click on it opens the status menu, whose
// items open windows and quit), and a StatusNotifierItem host's (a stand-in
// watcher on the session bus, which Qt's tray registers its item and menu
// with: the menu is read and clicked over D-Bus). With the icon shown,
// closing the last window leaves the application running.
//
// Qt decides once per process which kind of tray it uses: each test runs in
// a process of its own (as ctest runs them); in one process the second
// kind is skipped.
#include <QAction>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QSystemTrayIcon>
#include <QThread>
#include <QWindow>

#include <gtest/gtest.h>

#include <future>
#include <fstream>
#include <memory>
#include <mutex>

#include "app/editor/EditorModel.h"
#include "app/shell/AppFakes.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/AppShell.h"
#include "ui/shell/WindowRegistry.h"
#include "ui/UiTestSupport.h"
#include "ui/widgets/Icons.h"

using namespace qm;

namespace {

test::DesktopSession& session() { return test::sharedDesktopSession(); }

bool pump(const std::function<bool()>& condition, double seconds) {
    return test::waitUntil(condition, seconds, [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
}

bool click(const QPoint& at, int button = 1) {
    const auto pump = [] { QApplication::processEvents(QEventLoop::AllEvents, 20); };
    return session().xdotool({"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y())}, pump) &&
           session().xdotool({"click", std::to_string(button)}, pump);
}

// Starts a tint2 panel with a tray at the bottom of the screen, its
// settings written in `dir`; the panel's pid.
pid_t startPanel(const test::TempDir& dir) {
    const auto rc = dir / "tint2rc";
    std::ofstream(rc) << "panel_items = S\npanel_size = 100% 32\npanel_position = bottom center horizontal\n"
                         "systray_icon_size = 24\n";
    return session().spawn({"tint2", "-c", rc.string()});
}

// Whether this process's Qt may use `kind` of tray: it keeps the kind the
// first test asked for.
bool trayKindIs(const std::string& kind) {
    static std::string chosen;
    if (chosen.empty()) chosen = kind;
    return chosen == kind;
}

// The application's root over fakes with its windows and tray icon; quits
// are counted.
struct TrayApp {
    test::TempDir dir;
    test::FakePieces pieces;
    std::unique_ptr<AppModel> app;
    int quits = 0;
    std::unique_ptr<AppShell> shell;

    TrayApp() {
        app = std::make_unique<AppModel>(pieces.platform(dir.path()));
        MenuHooks hooks;
        hooks.quit = [this] { ++quits; };
        shell = std::make_unique<AppShell>(*app, hooks);
    }
    ~TrayApp() {
        app->editor().stop();
        shell.reset();
        app.reset();
    }
};

// Every window closed beside the tray: the program stays.
void closingEveryWindowKeepsItRunning(AppShell& shell, const int& quits) {
    shell.open(QStringLiteral("main"));
    EXPECT_TRUE(shell.staysWithoutWindows());
    for (const char* id : {"editor", "main"})
        if (QWidget* window = shell.windows().window(QString::fromLatin1(id))) window->close();
    pump([] { return false; }, 0.3);
    EXPECT_EQ(quits, 0) << "closing the last window quit beside a tray";
}

}  // namespace

TEST(TrayDesktop, TheIconSitsInTheTrayAndItsMenuOpensWindowsAndQuits) {
    if (!trayKindIs("xembed")) GTEST_SKIP() << "this process's Qt uses the D-Bus tray";
    ASSERT_TRUE(session().ok()) << session().failure();
    test::TempDir dir;
    const pid_t tint2 = startPanel(dir);
    ASSERT_GT(tint2, 0);
    ASSERT_TRUE(pump([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10)) << "no tray";

    TrayApp tray;
    auto& shell = tray.shell;
    const int& quits = tray.quits;
    ASSERT_NE(shell->tray(), nullptr);
    EXPECT_TRUE(test::foreignWords(QStringList{shell->tray()->toolTip()}).isEmpty()) << shell->tray()->toolTip().toStdString();
    // The program's own icon, which reads on a dark panel as on a light one.
    EXPECT_EQ(shell->tray()->icon().pixmap(22, 22).toImage(), icons::application().pixmap(22, 22).toImage());
    // Embedded: inside the panel at the bottom of the screen.
    ASSERT_TRUE(pump([&] { return shell->tray()->geometry().top() > session().screenHeight() / 2; }, 10))
        << "the icon was not embedded";

    StatusMenu& menu = shell->statusMenu();
    const auto itemCentre = [&](QAction* action) { return menu.mapToGlobal(menu.actionGeometry(action).center()); };

    const QRect icon = shell->tray()->geometry();
    ASSERT_TRUE(click(icon.center()));
    ASSERT_TRUE(pump([&] { return menu.isVisible(); }, 10))
        << "a click did not open the menu; icon at " << icon.x() << "," << icon.y() << " " << icon.width() << "x"
        << icon.height();
    ASSERT_TRUE(click(itemCentre(menu.showEditor)));
    EXPECT_TRUE(pump(
        [&] {
            QWidget* editor = shell->windows().window("editor");
            return editor && editor->isVisible() && editor->windowHandle() && editor->windowHandle()->isExposed();
        },
        10))
        << "\"Show Editor\" did not map the editor";

    closingEveryWindowKeepsItRunning(*shell, quits);

    ASSERT_TRUE(click(shell->tray()->geometry().center()));
    ASSERT_TRUE(pump([&] { return menu.isVisible(); }, 10));
    ASSERT_TRUE(click(itemCentre(menu.quitItem)));
    EXPECT_TRUE(pump([&] { return quits == 1; }, 10)) << "\"Quit Quillmarsh\" did not ask to quit";
    session().stop(tint2);
}

// A panel started after the program (a session's autostart order, or
// the panel restarted): the icon moves in, and from then on closing the
// windows keeps the program.
TEST(TrayDesktop, ATrayStartedAfterTheProgramTakesItsIcon) {
    if (!trayKindIs("xembed")) GTEST_SKIP() << "this process's Qt uses the D-Bus tray";
    ASSERT_TRUE(session().ok()) << session().failure();
    ASSERT_TRUE(pump([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 10)) << "a tray runs already";
    TrayApp tray;
    auto& shell = tray.shell;
    ASSERT_NE(shell->tray(), nullptr) << "no icon made on X11 without a tray";
    EXPECT_FALSE(shell->staysWithoutWindows());

    test::TempDir dir;
    const pid_t tint2 = startPanel(dir);
    ASSERT_GT(tint2, 0);
    EXPECT_TRUE(pump([&] { return shell->tray()->geometry().top() > session().screenHeight() / 2; }, 10))
        << "the icon did not move into the tray started later";
    closingEveryWindowKeepsItRunning(*shell, tray.quits);
    session().stop(tint2);
}

namespace {

// org.kde.StatusNotifierWatcher with a host registered: what a panel
// offering StatusNotifierItems (KDE's, GNOME's AppIndicator extension)
// provides. It answers on a thread of its own, since the application's
// calls to it block the main thread.
class WatcherStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        {
            std::lock_guard lock(mutex_);
            items_.append(service);
        }
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable std::mutex mutex_;
    QStringList items_;
};

// One entry of a com.canonical.dbusmenu layout.
struct MenuEntry {
    int id = 0;
    QVariantMap properties;
    std::vector<MenuEntry> children;
};

MenuEntry readEntry(const QDBusArgument& argument) {
    MenuEntry entry;
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        entry.children.push_back(readEntry(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return entry;
}

}  // namespace

TEST(TrayDesktop, AStatusNotifierHostGetsTheItemWithItsMenu) {
    if (!trayKindIs("dbus")) GTEST_SKIP() << "this process's Qt uses the XEmbed tray";
    ASSERT_TRUE(session().ok()) << session().failure();
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("qm-tray-host"));
    ASSERT_TRUE(bus.isConnected());
    QThread thread;
    // Goes with its thread: the export relays every signal, its destruction's too.
    auto* watcher = new WatcherStandIn;
    watcher->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, watcher, &QObject::deleteLater);
    thread.start();
    // Exported from its own thread (the export makes children of it).
    bool exported = false;
    QMetaObject::invokeMethod(
        watcher,
        [&] {
            exported = bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), watcher,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                              QDBusConnection::ExportAllProperties) &&
                       bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(exported);
    // The host's calls block a thread of their own: the item answers on the
    // main thread, which keeps turning meanwhile.
    auto call = [&](QDBusMessage message) {
        auto reply = std::async(std::launch::async, [&bus, message] { return bus.call(message, QDBus::Block, 5000); });
        pump([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10);
        return reply.get();
    };

    auto tray = std::make_unique<TrayApp>();
    auto& shell = tray->shell;
    const int& quits = tray->quits;
    ASSERT_NE(shell->tray(), nullptr) << "no tray beside the watcher";
    ASSERT_TRUE(pump([&] { return !watcher->items().isEmpty(); }, 10)) << "no item was registered";
    const QString item = watcher->items().front();

    QDBusMessage get = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
    const QDBusMessage menuReply = call(get);
    ASSERT_EQ(menuReply.type(), QDBusMessage::ReplyMessage) << menuReply.errorMessage().toStdString();
    const QString menuPath =
        qdbus_cast<QDBusObjectPath>(menuReply.arguments().front().value<QDBusVariant>().variant()).path();
    ASSERT_FALSE(menuPath.isEmpty());
    auto menuCall = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(item, menuPath, QStringLiteral("com.canonical.dbusmenu"), method);
        message.setArguments(arguments);
        return call(message);
    };

    // A host asks before it shows the menu, then reads it.
    menuCall(QStringLiteral("AboutToShow"), {0});
    const QDBusMessage layoutReply = menuCall(QStringLiteral("GetLayout"), {0, -1, QStringList()});
    ASSERT_EQ(layoutReply.type(), QDBusMessage::ReplyMessage) << layoutReply.errorMessage().toStdString();
    const MenuEntry root = readEntry(layoutReply.arguments().at(1).value<QDBusArgument>());
    std::vector<QString> labels;
    std::map<QString, int> ids;
    for (const MenuEntry& entry : root.children) {
        if (entry.properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator")) continue;
        const QString label = entry.properties.value(QStringLiteral("label")).toString();
        labels.push_back(label);
        ids[label] = entry.id;
    }
    std::vector<QString> expected;
    for (QAction* action : shell->statusMenu().actions())
        if (!action->isSeparator()) expected.push_back(action->text());
    EXPECT_EQ(labels, expected);

    closingEveryWindowKeepsItRunning(*shell, quits);

    auto clicked = [&](const QString& label) {
        return menuCall(QStringLiteral("Event"), {ids.at(label), QStringLiteral("clicked"),
                                                  QVariant::fromValue(QDBusVariant(0)), 0u});
    };
    clicked(QStringLiteral("Show Editor"));
    EXPECT_TRUE(pump(
        [&] {
            QWidget* editor = shell->windows().window("editor");
            return editor && editor->isVisible();
        },
        10))
        << "\"Show Editor\" did not open the editor";
    clicked(QStringLiteral("Quit Quillmarsh"));
    EXPECT_TRUE(pump([&] { return quits == 1; }, 10)) << "\"Quit Quillmarsh\" did not ask to quit";

    tray.reset();
    QMetaObject::invokeMethod(
        watcher,
        [&] {
            bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
            bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("qm-tray-host"));
}

#include "TrayDesktopTest.moc"
