#include "library/UCS.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "audio/Text.h"
#include "library/SoundMeta.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

namespace {

const UCS& withForest() {
    static const UCS table = UCS::fromText("CatID,Category,SubCategory\nambforst,AMBIENCE,FOREST\n");
    return table;
}
const UCS& empty() {
    static const UCS table;
    return table;
}

SoundMeta named(const std::string& name, const UCS& table = empty()) {
    return SoundMeta::fromFileName(std::filesystem::path("/lib") / name, table);
}

}  // namespace

TEST(UCS, LoadingTheTable) {
    EXPECT_TRUE(UCS::fromText("CatID,Category,SubCategory\n").entries().empty());
    EXPECT_TRUE(UCS::fromText("").entries().empty());
    const UCS t = UCS::fromText(
        "\n\nCatID,Category,SubCategory\n"
        "\n"
        "AMBForst , AMBIENCE\t,FOREST\n"
        "TWO,fields\n"
        "QUOT,\"A, B\",C\n"
        "DOORWood,DOORS,WOOD,extra,columns\n"
        "WIN,DOWS,CRLF\r\n"
        "EMPT,,\n"
        "doorwood,DOORS,REPLACED\n");
    EXPECT_EQ(t.entries().size(), 5u);
    EXPECT_EQ(t.lookup("ambforst"), (UCS::Entry{"AMBForst", "AMBIENCE", "FOREST"}));
    EXPECT_EQ(t.lookup("AMBFORST"), t.lookup("AmbForst"));
    EXPECT_EQ(t.lookup("TWO"), std::nullopt);
    EXPECT_EQ(t.lookup("QUOT"), (UCS::Entry{"QUOT", "\"A", "B\""}));
    EXPECT_EQ(t.lookup("DOORWOOD"), (UCS::Entry{"doorwood", "DOORS", "REPLACED"}));
    EXPECT_EQ(t.lookup("WIN"), (UCS::Entry{"WIN", "DOWS", "CRLF"}));
    EXPECT_EQ(t.lookup("EMPT"), (UCS::Entry{"EMPT", "", ""}));
    // Text that is not UTF-8 is no table.
    EXPECT_TRUE(UCS::fromText("CatID,Category,SubCategory\nAB\xFF,C,D\n").entries().empty());
    TempDir dir;
    EXPECT_TRUE(UCS::fromFile(dir / "missing.csv").entries().empty());
    EXPECT_TRUE(UCS::fromFile(dir.path()).entries().empty());
}

// The shipped list: beside the test program, three fields a line, LF line
// ends, every CatID unique and readable from a file name.
TEST(UCS, TheShippedList) {
    const std::filesystem::path file = UCS::resourcePath();
    ASSERT_FALSE(file.empty());
    const std::string text = readBytes(file);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::set<std::string> keys;
    size_t lines = 0;
    for (size_t start = text.find('\n') + 1; start < text.size();) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lines;
        ASSERT_EQ(std::count(line.begin(), line.end(), ','), 2) << line;
        const std::string catID = line.substr(0, line.find(','));
        EXPECT_TRUE(keys.insert(text::upper(catID)).second) << catID;
        // Read back from a UCS name, it is the table's own entry.
        SoundMeta m = SoundMeta::fromFileName(catID + "_Sound.wav", UCS::shared());
        EXPECT_EQ(m.catID, catID) << line;
        EXPECT_EQ(m.category + "," + m.subCategory, line.substr(line.find(',') + 1)) << line;
    }
    EXPECT_GT(lines, 600u);
    EXPECT_EQ(UCS::shared().entries().size(), lines);
    EXPECT_EQ(UCS::sharedLoads(), 1);
}

TEST(UCS, ReadingFileNames) {
    SoundMeta m = named("AMBForst_Birds at dawn_JD_Field Rec 2.wav");
    EXPECT_EQ(m.catID, "AMBForst");
    EXPECT_EQ(m.fxName, "Birds at dawn");
    EXPECT_EQ(m.designer, "JD");
    EXPECT_EQ(m.source, "Field Rec 2");
    EXPECT_EQ(m.category, "AMB");
    EXPECT_EQ(m.subCategory, "Forst");
    EXPECT_EQ(m.rating, 0);
    EXPECT_EQ(m.description + m.keywords + m.library + m.notes, "");

    m = named("AMBForst_Birds at dawn_JD_Field Rec 2.wav", withForest());
    EXPECT_EQ(m.category, "AMBIENCE");
    EXPECT_EQ(m.subCategory, "FOREST");
    EXPECT_EQ(m.catID, "AMBForst");

    EXPECT_EQ(named("AMBForst_Birds_JD_Field_Rec.wav").source, "Field_Rec");
    for (const char* name : {"AMBForst.wav", "ambForst_Birds.wav", "AB_Birds.wav", "AMB Forst_Birds.wav",
                             "AMBForst-_Birds.wav", "AMBForst-a-b_Birds.wav", "AMB\xC3\x89_Birds.wav",
                             "_Birds.wav", ""})
        EXPECT_EQ(named(name), SoundMeta()) << name;
    m = named("AMBForst__JD.wav");
    EXPECT_EQ(m.fxName, "");
    EXPECT_EQ(m.designer, "JD");
    m = named("AMB_Birds.wav");
    EXPECT_EQ(m.category, "");
    EXPECT_EQ(m.subCategory, "");
    m = named("AMBForst-Dusk_Birds.wav");
    EXPECT_EQ(m.catID, "AMBForst-Dusk");
    EXPECT_EQ(m.category, "AMB");
    EXPECT_EQ(m.subCategory, "Forst-Dusk");
    m = named("AMB-Dusk_Birds.wav");
    EXPECT_EQ(m.category, "AMB-");
    EXPECT_EQ(m.subCategory, "Dusk");
    // Only the last extension goes; a name that is not UTF-8 is repaired.
    EXPECT_EQ(named("DOORWood_Slam.take.wav").fxName, "Slam.take");
    m = named("DOORWood_Sl\xFF" "am_J\xC3.wav");
    EXPECT_EQ(m.fxName, "Sl\uFFFDam");
    EXPECT_EQ(m.designer, "J\uFFFD");
}

TEST(UCS, ComposingFileNames) {
    SoundMeta m;
    m.catID = "AMBForst";
    m.fxName = "Birds_at/dawn";
    m.source = "SR1";
    EXPECT_EQ(m.ucsFileName(), "AMBForst_Birds at-dawn_SR1");
    EXPECT_EQ(named(*m.ucsFileName() + ".wav").designer, "SR1");
    m.designer = "J_D";
    EXPECT_EQ(m.ucsFileName(), "AMBForst_Birds at-dawn_J D_SR1");
    SoundMeta noFx = m;
    noFx.fxName = "";
    EXPECT_EQ(noFx.ucsFileName(), std::nullopt);
    SoundMeta noCat = m;
    noCat.catID = "";
    EXPECT_EQ(noCat.ucsFileName(), std::nullopt);
    // A NUL (iXML keeps them) would cut the name in the rename call.
    SoundMeta nul = m;
    nul.designer = std::string("J\0D", 3);
    EXPECT_EQ(nul.ucsFileName(), std::nullopt);
}

// Random names: the record is JSON-ready and its UCS name reads back.
TEST(UCS, FileNameFuzz) {
    std::mt19937 rng(102);
    const std::vector<std::string> pieces = {"_", "-", "AMB", "Forst", "DOORWood", "x", "Ab", "9", " ",
                                             ".", "\xFF", "\xC3", "\xE2\x82", "\u00E9", "\U0001F3B5",
                                             "WHSH", "/-", "__", ",", "\t"};
    int ucsNames = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string name;
        while (name.size() < 255 && rng() % 12 != 0) name += pieces[rng() % pieces.size()];
        for (char& c : name)
            if (c == '/') c = '-';  // a name holds no slash
        name = name.substr(0, 251) + ".wav";
        SoundMeta m;
        ASSERT_NO_THROW(m = SoundMeta::fromFileName(name, withForest()));
        std::string json;
        ASSERT_NO_THROW(json = m.encoded());
        ASSERT_EQ(SoundMeta::decode(json), m) << name;
        if (m.catID.empty()) continue;
        auto ucs = m.ucsFileName();
        if (!ucs) {
            ASSERT_TRUE(m.fxName.empty()) << name;
            continue;
        }
        ++ucsNames;
        SoundMeta back = SoundMeta::fromFileName(*ucs + ".wav", withForest());
        ASSERT_EQ(back.catID, m.catID) << name;
        ASSERT_EQ(back.fxName, m.fxName) << name;
        // An empty designer is left out, so the source takes its place.
        if (!m.designer.empty() || m.source.empty()) {
            ASSERT_EQ(back.designer, m.designer) << name;
        }
    }
    EXPECT_GT(ucsNames, 100);
}

TEST(UCS, LoaderFuzz) {
    std::mt19937 rng(5);
    const std::vector<std::string> pieces = {",", "\n", "\r\n", " ", "\t", "AMB", "forst", "\"", "\xFF",
                                             "\u00E9", "CatID", "x", ",,", "\n\n"};
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        const int n = static_cast<int>(rng() % 60);
        for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
        UCS t;
        ASSERT_NO_THROW(t = UCS::fromText(text));
        for (const auto& [key, entry] : t.entries()) {
            ASSERT_EQ(key, text::upper(entry.catID));
            ASSERT_EQ(t.lookup(entry.catID), entry);
        }
    }
}
