// The views that must be seen on a real X server run here, inside a
// QApplication on the xcb platform connected to the private desktop
// (Xvfb, openbox, Thunar) that the process starts first. Listing the tests
// (at build time) starts no desktop.
#include <QApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <cstring>

#include "support/DesktopSession.h"

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    // The session sets DISPLAY for this process before Qt connects.
    const bool desktop = !listing && qm::test::sharedDesktopSession().ok();
    qputenv("QT_QPA_PLATFORM", desktop ? "xcb" : "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QApplication::setOrganizationName("QuillmarshTests");
    QApplication::setApplicationName("qm_ui_desktop_tests");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
