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

TEST(LinkLoader, TheSearchPathThenTheHomesLocalBinThenTheFixedPlaces) {
    EXPECT_EQ(LinkLoader::searchLocations("/opt/tools/:relative:/usr/bin::/home/u/.local/bin:/", "/home/u"),
              (std::vector<std::string>{"/opt/tools/yt-dlp", "/usr/bin/yt-dlp", "/home/u/.local/bin/yt-dlp",
                                        "/yt-dlp", "/usr/local/bin/yt-dlp"}))
        << "relative and empty entries skipped, each place once";
    EXPECT_EQ(LinkLoader::searchLocations(std::nullopt, std::nullopt), LinkLoader::fixedLocations());
    EXPECT_EQ(LinkLoader::searchLocations("", "relative/home"), LinkLoader::fixedLocations());

    // A pipx install in the home, not on the search path of a program
    // started from a menu, is found; one on the search path comes first.
    test::TempDir dir;
    const std::string home = (dir / "home").string();
    const std::string pipx = tool(dir / "home/.local/bin/yt-dlp");
    EXPECT_EQ(LinkLoader::ytDlp("", LinkLoader::searchLocations("/nowhere", home)), pipx);
    const std::string onPath = tool(dir / "venv/bin/yt-dlp");
    EXPECT_EQ(LinkLoader::ytDlp("", LinkLoader::searchLocations((dir / "venv/bin").string(), home)), onPath);
    // The user's own path still wins.
    const std::string mine = tool(dir / "mine/yt-dlp");
    EXPECT_EQ(LinkLoader::ytDlp(mine, LinkLoader::searchLocations((dir / "venv/bin").string(), home)), mine);
}
