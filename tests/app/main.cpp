// The model tests run inside a QCoreApplication so that queued calls and
// the thread pool work. Test mode sends every standard location (and so the
// default QSettings file) to a test folder: the user's settings are never
// touched even by a test that forgets to use a file of its own.
#include <QCoreApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName("QuillmarshTests");
    QCoreApplication::setApplicationName("qm_app_tests");
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
