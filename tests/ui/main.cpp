// The view tests run inside a QApplication on the offscreen platform (set by
// CMake, or here when nothing chose a platform): widgets are laid out and painted, gestures are sent as events.
// Test mode sends every standard location (and so the default QSettings
// file) to a test folder, so the user's settings are never touched.
#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Listing the tests at build time runs this program outside CTest's
    // environment: without a display it must still start.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setOrganizationName("QuillmarshTests");
    QApplication::setApplicationName("qm_ui_tests");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
