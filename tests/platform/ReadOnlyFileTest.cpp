#include "platform/ReadOnlyFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

// A file opened with its head serves reads inside the head from memory and
// every other read from the file, with the same answers as without it.
TEST(ReadOnlyFile, ReadsWithAndWithoutItsHead) {
    TempDir dir;
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    writeBytes(dir / "f", bytes);
    const ReadOnlyFile plain(dir / "f"), headed(dir / "f", 1024), longHead(dir / "f", 65536);
    ASSERT_TRUE(plain && headed && longHead);
    for (const ReadOnlyFile* file : {&plain, &headed, &longHead}) {
        EXPECT_EQ(file->length(), 5000u);
        struct Read {
            uint64_t offset;
            size_t size;
        };
        for (const Read r : {Read{0, 12}, Read{1000, 24}, Read{1020, 8}, Read{1024, 100}, Read{4990, 20},
                             Read{5000, 4}, Read{7000, 4}, Read{0, 5000}}) {
            std::string got(r.size, '\xAA');
            const ssize_t n = file->readAt(got.data(), r.size, r.offset);
            const size_t expected = r.offset >= bytes.size() ? 0 : std::min(r.size, bytes.size() - r.offset);
            ASSERT_EQ(n, static_cast<ssize_t>(expected)) << r.offset << "+" << r.size;
            EXPECT_EQ(got.substr(0, expected), bytes.substr(std::min<size_t>(r.offset, bytes.size()), expected));
        }
        // An offset that would wrap around past the head's end.
        char c = 0;
        EXPECT_EQ(file->readAt(&c, 1, std::numeric_limits<uint64_t>::max()), plain.readAt(&c, 1, std::numeric_limits<uint64_t>::max()));
    }
    // The head is what the file held at the open.
    writeBytes(dir / "f", std::string(5000, 'z'));
    char first = 0;
    ASSERT_EQ(headed.readAt(&first, 1, 0), 1);
    EXPECT_EQ(first, bytes[0]);
    const ReadOnlyFile missing(dir / "none", 1024);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.length(), std::nullopt);
}
