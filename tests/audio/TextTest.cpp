#include "audio/Text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>

using namespace qm;

TEST(Text, DecodingRepairsEveryBrokenSequenceAndKeepsNul) {
    EXPECT_EQ(text::decodeUtf8(std::string("a\0b", 3)), std::u32string(U"a\0b", 3));
    EXPECT_EQ(text::decodeUtf8("\xC3\xA9\xF0\x9F\x8E\xB5"), U"\u00E9\U0001F3B5");
    // A truncated sequence is one replacement; a stray continuation byte another.
    EXPECT_EQ(text::decodeUtf8("x\xE2\x82"), U"x\uFFFD");
    EXPECT_EQ(text::decodeUtf8("\x80\x80"), U"\uFFFD\uFFFD");
    // Overlong forms and surrogates are ill-formed.
    EXPECT_EQ(text::decodeUtf8("\xC0\xAF"), U"\uFFFD\uFFFD");
    EXPECT_EQ(text::decodeUtf8("\xED\xA0\x80"), U"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(text::repairUtf8("ok \xFF"), "ok \xEF\xBF\xBD");
    EXPECT_TRUE(text::isValidUtf8("plain \xEF\xBF\xBD"));
    EXPECT_FALSE(text::isValidUtf8("bad \xC3"));

    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::string bytes(rng() % 24, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        const std::string repaired = text::repairUtf8(bytes);
        EXPECT_TRUE(text::isValidUtf8(repaired));
        EXPECT_EQ(text::repairUtf8(repaired), repaired);
    }
}

TEST(Text, TrimsUnicodeWhiteSpaceOnlyAtTheEnds) {
    EXPECT_EQ(text::trimWhiteSpace(" \t\u00A0Door  slam\u2028\r\n\u3000"), "Door  slam");
    EXPECT_EQ(text::trimWhiteSpace("\n\n"), "");
    EXPECT_EQ(text::trimWhiteSpace("\xFF x \u00A0\xE2\x82"), "\uFFFD x \u00A0\uFFFD");
    EXPECT_EQ(text::trimWhiteSpace(" \U0001F3B5\u3000"), "\U0001F3B5");
    // A zero-width space is not white space.
    EXPECT_EQ(text::trimWhiteSpace("\u200Bx"), "\u200Bx");
    EXPECT_TRUE(text::isHorizontalSpace(U'\t'));
    EXPECT_TRUE(text::isHorizontalSpace(U'\u202F'));
    EXPECT_FALSE(text::isHorizontalSpace(U'\n'));
    EXPECT_FALSE(text::isHorizontalSpace(U'\u2028'));
}

TEST(Text, UpperCasingIsSimpleAndIgnoresTheProcessLocale) {
    const std::string before = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");  // the process locale knows only ASCII
    EXPECT_EQ(text::upper("door"), "DOOR");
    EXPECT_EQ(text::upper("caf\u00E9 \u00FCber \u03C9"), "CAF\u00C9 \u00DCBER \u03A9");
    // A letter whose upper case is two letters stays as it is.
    EXPECT_EQ(text::upper("stra\u00DFe"), "STRA\u00DFE");
    EXPECT_EQ(text::upper("a\xFF"), "A\uFFFD");
    EXPECT_EQ(text::upper(std::string("a\0b", 3)), std::string("A\0B", 3));
    std::setlocale(LC_ALL, before.c_str());
}
