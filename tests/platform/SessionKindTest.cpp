// Whether the session is Wayland's, and the Qt platform asked for there.
#include "platform/desktop/SessionKind.h"

#include <gtest/gtest.h>

using namespace qm;
using sessionKind::Environment;

TEST(SessionKind, TheSessionTypeDecidesElseAWaylandDisplay) {
    EXPECT_TRUE(sessionKind::isWayland({"wayland", std::nullopt, ":0", std::nullopt}));
    EXPECT_FALSE(sessionKind::isWayland({"x11", "wayland-0", ":0", std::nullopt})) << "the type says X11";
    EXPECT_TRUE(sessionKind::isWayland({std::nullopt, "wayland-0", ":0", std::nullopt}));
    EXPECT_TRUE(sessionKind::isWayland({"", "wayland-0", std::nullopt, std::nullopt}));
    EXPECT_FALSE(sessionKind::isWayland({std::nullopt, std::nullopt, ":0", std::nullopt}));
    EXPECT_FALSE(sessionKind::isWayland({"tty", std::nullopt, std::nullopt, std::nullopt}));
}

TEST(SessionKind, AWaylandSessionWithAnXServerRunsTheProgramUnderXWayland) {
    EXPECT_EQ(sessionKind::qtPlatform({"wayland", "wayland-0", ":1", std::nullopt}), "xcb");
    EXPECT_EQ(sessionKind::qtPlatform({"wayland", "wayland-0", ":1", "wayland"}), std::nullopt)
        << "the user's own choice stands";
    EXPECT_EQ(sessionKind::qtPlatform({"wayland", "wayland-0", std::nullopt, std::nullopt}), std::nullopt)
        << "no X server to run under";
    EXPECT_EQ(sessionKind::qtPlatform({"x11", std::nullopt, ":0", std::nullopt}), std::nullopt);
}
