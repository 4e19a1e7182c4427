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
    EXPECT_THROW(FileAccess::writeText(target / "x.txt", "x"), AppError);
    EXPECT_EQ(test::readBytes(target), "first");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_FALSE(FileAccess::isWritable(target)) << "a file is not a folder";
}
