#include "app/core/FileReveal.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/DBusStandIn.h"
#include "support/TempDir.h"

using namespace qm;
using Outcome = FileReveal::Outcome;

namespace {

Outcome waitOutcome(QSignalSpy& spy, int ms = 10000) {
    if (spy.isEmpty()) spy.wait(ms);
    return spy.isEmpty() ? static_cast<Outcome>(-1) : spy.takeFirst().first().value<Outcome>();
}

}  // namespace

TEST(FileReveal, TheFileManagerIsAskedForEveryItemAsAFileUri) {
    test::PrivateBus bus;
    test::FileManagerStandIn manager(bus.connect("manager"));
    test::OpenerStandIn opener;
    opener.install();
    test::TempDir dir;
    DesktopFileReveal reveal(bus.connect("client"));
    QSignalSpy done(&reveal, &FileReveal::finished);

    reveal.reveal({dir / "Theme Edits", dir / "a b#c.wav"});
    EXPECT_EQ(waitOutcome(done), Outcome::fileManager);
    ASSERT_EQ(manager.calls.size(), 1u);
    const QString base = QUrl::fromLocalFile(QString::fromStdString(dir.path().string())).toString(QUrl::FullyEncoded);
    EXPECT_EQ(manager.calls[0], (QStringList{base + "/Theme%20Edits", base + "/a%20b%23c.wav"}));
    EXPECT_TRUE(opener.calls().empty());

    reveal.reveal({});
    QCoreApplication::processEvents();
    EXPECT_TRUE(done.isEmpty()) << "nothing to show, nothing asked";
}

TEST(FileReveal, WithoutAFileManagerTheFirstItemsFolderOpens) {
    test::OpenerStandIn opener;
    opener.install();
    test::TempDir dir;
    {
        // A bus on which nobody owns the file manager's name.
        test::PrivateBus bus;
        DesktopFileReveal reveal(bus.connect("lonely"));
        QSignalSpy done(&reveal, &FileReveal::finished);
        reveal.reveal({dir / "x" / "Theme Edits", dir / "y.wav"});
        EXPECT_EQ(waitOutcome(done), Outcome::folderOpened);
    }
    {
        // No session bus at all.
        DesktopFileReveal reveal(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "none"));
        QSignalSpy done(&reveal, &FileReveal::finished);
        reveal.reveal({dir / "z.wav"});
        EXPECT_EQ(waitOutcome(done), Outcome::folderOpened);
        QDBusConnection::disconnectFromBus("none");
    }
    // The stand-in runs detached: wait for both lines.
    for (int i = 0; i < 200 && opener.calls().size() < 2; ++i) QThread::msleep(10);
    ASSERT_EQ(opener.calls().size(), 2u);
    EXPECT_EQ(opener.calls()[0], (dir / "x").string());
    EXPECT_EQ(opener.calls()[1], dir.path().string());
}

TEST(FileReveal, AFileManagerThatIsLateToAnswerIsStillTheOnlyOneAsked) {
    test::PrivateBus bus;
    test::OpenerStandIn opener;
    opener.install();
    test::TempDir dir;
    test::SlowFileManager manager(bus, 1500);
    DesktopFileReveal reveal(bus.connect("impatient"), std::chrono::milliseconds(200));
    QSignalSpy done(&reveal, &FileReveal::finished);
    reveal.reveal({dir / "a.wav"});
    // It has the call, and shows the file when it gets there: no folder
    // opens beside it.
    EXPECT_EQ(waitOutcome(done), Outcome::fileManager);
    for (int i = 0; i < 500 && manager.calls() == 0; ++i) QThread::msleep(10);
    EXPECT_EQ(manager.calls(), 1u);
    EXPECT_TRUE(opener.calls().empty());

    // A missing opener is reported, not passed over in silence.
    DesktopFileReveal nowhere(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "none2"),
                              std::chrono::milliseconds(200), "/nonexistent/opener");
    QSignalSpy failed(&nowhere, &FileReveal::finished);
    nowhere.reveal({dir / "a.wav"});
    EXPECT_EQ(waitOutcome(failed), Outcome::failed);
    QDBusConnection::disconnectFromBus("none2");
}

TEST(FileReveal, OpenShowsTheFolderItself) {
    test::OpenerStandIn opener;
    opener.install();
    test::TempDir dir;
    DesktopFileReveal reveal(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "open"));
    QSignalSpy done(&reveal, &FileReveal::finished);
    reveal.open(dir / "Pulls");
    EXPECT_EQ(waitOutcome(done), Outcome::folderOpened);
    reveal.open(dir.path().string() + "/Pulls/./Links/");
    EXPECT_EQ(waitOutcome(done), Outcome::folderOpened);
    QDBusConnection::disconnectFromBus("open");
    for (int i = 0; i < 200 && opener.calls().size() < 2; ++i) QThread::msleep(10);
    ASSERT_EQ(opener.calls().size(), 2u);
    EXPECT_EQ(opener.calls()[0], (dir / "Pulls").string());
    EXPECT_EQ(opener.calls()[1], (dir / "Pulls/Links").string());
}
