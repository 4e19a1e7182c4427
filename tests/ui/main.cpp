// The view tests run inside a QApplication on the offscreen platform (set by
// CMake): widgets are laid out and painted, gestures are sent as events.
// Test mode sends every standard location (and so the default QSettings
// file) to a test folder, so the user's settings are never touched.
#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setOrganizationName("QuillmarshTests");
    QApplication::setApplicationName("qm_ui_tests");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
