#include "support/Lv2Plugins.h"

#include <cstdlib>

namespace qm::test {

std::filesystem::path testPluginFolder() { return QM_TEST_LV2_DIR; }

void useTestPlugins(const std::string& extra) {
    std::string path = testPluginFolder().string();
    if (!extra.empty()) path += ":" + extra;
    path += ":/usr/lib/lv2";
    setenv("LV2_PATH", path.c_str(), 1);
}

}  // namespace qm::test
