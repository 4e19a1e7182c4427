// The LV2 plug-ins the insert tests run: the test bundle built with the
// tests (support/lv2), and the system's own bundles for the real ones.
//
// useTestPlugins() points LV2_PATH at both; call it before anything asks
// for plug-ins, since the process loads its plug-in list once.
#pragma once

#include <filesystem>
#include <string>

namespace qm::test {

// The folder holding the test bundle "quillmarsh-test.lv2".
std::filesystem::path testPluginFolder();
// LV2_PATH = the test folder, then `extra` (a folder list), then the
// system's folder.
void useTestPlugins(const std::string& extra = {});

}  // namespace qm::test
