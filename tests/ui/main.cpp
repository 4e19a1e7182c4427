// The view tests run inside a QApplication on the offscreen platform (set by
// CMake, or here when nothing chose a platform): widgets are laid out and painted, gestures are sent as events.
// QM_TEST_FONT_SCALE scales the application font's point size.
// Test mode sends every standard location (and so the default QSettings
// file) to a test folder, so the user's settings are never touched.
#include <QApplication>
#include <QFont>
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
    // The desktop's text made larger, as a user with large text has it (a
    // child run of the layout sweep asks for it).
    if (const double scale = qEnvironmentVariable("QM_TEST_FONT_SCALE").toDouble(); scale > 0) {
        QFont font = QApplication::font();
        font.setPointSizeF(font.pointSizeF() * scale);
        QApplication::setFont(font);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
