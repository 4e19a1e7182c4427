#include "platform/FileAccess.h"

#include "platform/AppError.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

using namespace qm;

TEST(FileAccess, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    test::TempDir dir;
    const auto target = dir / "notes.txt";
    FileAccess::writeText(target, "first");
    EXPECT_THROW(FileAccess::writeThroughTemporary(target,
                                                   [](const std::filesystem::path& temporary) {
                                                       test::writeBytes(temporary, "half");
                                                       throw AppError(63, "disk full");
                                                   }),
                 AppError);
    EXPECT_EQ(test::readBytes(target), "first");
    FileAccess::writeText(target, "second");
    EXPECT_EQ(test::readBytes(target), "second");
    int entries = 0;
    for ([[maybe_unused]] auto& f : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);

    // A target inside a file cannot be written.
    EXPECT_THROW(FileAccess::writeText(target / "x.txt", "x"), AppError);

    EXPECT_TRUE(FileAccess::isWritable(dir.path()));
    EXPECT_FALSE(FileAccess::isWritable(target)) << "a file is not a folder";
    FileAccess::setWritableCheck([](const std::filesystem::path&) { return false; });
    EXPECT_FALSE(FileAccess::isWritable(dir.path()));
    FileAccess::setWritableCheck({});
    EXPECT_TRUE(FileAccess::isWritable(dir.path()));
}
