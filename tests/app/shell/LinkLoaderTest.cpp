#include "app/shell/LinkLoader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

std::string tool(const fs::path& path, fs::perms perms = fs::perms::owner_all) {
    fs::create_directories(path.parent_path());
    test::writeBytes(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, perms);
    return path.string();
}

}  // namespace

TEST(LinkLoader, TheFirstExecutableCandidateWins) {
    test::TempDir dir;
    const std::string mine = tool(dir / "mine/yt-dlp");
    const std::string first = tool(dir / "bin/yt-dlp");
    const std::string second = tool(dir / "local/yt-dlp");
    EXPECT_EQ(LinkLoader::ytDlp(mine, {first, second}), mine);
    // Blank: the fixed places in order.
    EXPECT_EQ(LinkLoader::ytDlp("", {first, second}), first);
    EXPECT_EQ(LinkLoader::ytDlp("", {(dir / "none").string(), second}), second);
}

TEST(LinkLoader, OnlyExecutableRegularFilesCount) {
    test::TempDir dir;
    const std::string plain = tool(dir / "plain", fs::perms::owner_read | fs::perms::owner_write);
    const std::string fixed = tool(dir / "fixed");
    fs::create_directories(dir / "folder");
    fs::create_symlink(fixed, dir / "link");
    fs::create_symlink(dir / "gone", dir / "dangling");
    // Not executable (even for root, who may run anything with an x bit),
    // a folder, a missing file, a dangling link: the fixed place.
    for (const fs::path& bad : {fs::path(plain), dir / "folder", dir / "missing", dir / "dangling"})
        EXPECT_EQ(LinkLoader::ytDlp(bad.string(), {fixed}), fixed) << bad;
    // A link to an executable file is followed and answered as given.
    EXPECT_EQ(LinkLoader::ytDlp((dir / "link").string(), {}), (dir / "link").string());
    EXPECT_EQ(LinkLoader::ytDlp(plain, {}), std::nullopt);
    EXPECT_EQ(LinkLoader::ytDlp("", {}), std::nullopt);
    EXPECT_EQ(LinkLoader::fixedLocations(), (std::vector<std::string>{"/usr/bin/yt-dlp", "/usr/local/bin/yt-dlp"}));
}
