// The view tests run offscreen; a test that needs a real X server (a
// plug-in's own X11 window) runs this program again as a child on the
// tests' private X server with the xcb platform, for itself alone, and the
// child knows itself by a mark in its environment.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/DesktopSession.h"

namespace qm::test {

inline bool isX11Child(const char* mark) { return std::getenv(mark) != nullptr; }

// Runs the current test in the child and expects it to pass there; skips
// the test when there is no private desktop.
inline void runInX11Child(const char* mark) {
    DesktopSession& session = sharedDesktopSession();
    if (!session.ok()) GTEST_SKIP() << session.failure();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string output;
    const int status = session.run({"env", "QT_QPA_PLATFORM=xcb", std::string(mark) + "=1", self,
                                    std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()},
                                   &output, 120);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace qm::test
