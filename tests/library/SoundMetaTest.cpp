#include "library/SoundMeta.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "audio/JsonFields.h"

using namespace qm;
using nlohmann::json;

namespace {

SoundMeta full() {
    SoundMeta m;
    int i = 0;
    for (const auto& row : SoundMeta::ixmlTags()) m.*row.field = "v" + std::to_string(i++);
    m.rating = 4;
    return m;
}

}  // namespace

TEST(SoundMeta, TagTableNamesEveryTextFieldOnceInOrder) {
    const auto& tags = SoundMeta::ixmlTags();
    const char* expected[] = {"DESCRIPTION", "CATEGORY", "SUBCATEGORY", "CATID", "FXNAME",
                              "KEYWORDS", "LIBRARY", "DESIGNER", "SOURCEID", "MICROPHONE",
                              "MICPERSPECTIVE", "LOCATION", "NOTES", "TRACKTITLE", "USERCATEGORY"};
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(tags[i].tag, expected[i]);
        for (size_t k = 0; k < i; ++k) EXPECT_NE(tags[i].field, tags[k].field) << i;
    }
    SoundMeta m;
    m.*SoundMeta::ixmlTag("SOURCEID")->field = "SR1";
    EXPECT_EQ(m.source, "SR1");
    EXPECT_EQ(SoundMeta::ixmlTag("sourceid"), nullptr);
    EXPECT_EQ(SoundMeta::ixmlTag("RATING"), nullptr);
}

TEST(SoundMeta, SearchTextJoinsThirteenFieldsAsTheyAre) {
    SoundMeta m;
    m.source = "SR1";
    m.micPerspective = "Close";
    m.rating = 5;
    EXPECT_EQ(m.searchText(), "");
    m.description = "Door slam";
    m.keywords = "wood  heavy";
    EXPECT_EQ(m.searchText(), "Door slam wood  heavy");
    m.userCategory = " x ";
    m.category = "DOORS";
    EXPECT_EQ(m.searchText(), "Door slam DOORS wood  heavy  x ");
    EXPECT_EQ(full().searchText(), "v0 v1 v2 v3 v4 v5 v6 v7 v9 v11 v12 v13 v14");
}

TEST(SoundMeta, FillTakesOnlyWhatIsEmpty) {
    SoundMeta own, other;
    own.fxName = "Mine";
    other.fxName = "Theirs";
    other.designer = "JD";
    other.rating = 3;
    own.fill(other);
    EXPECT_EQ(own.fxName, "Mine");
    EXPECT_EQ(own.designer, "JD");
    EXPECT_EQ(own.rating, 3);
    other.rating = 5;
    own.fill(other);
    EXPECT_EQ(own.rating, 3);
    SoundMeta blank;
    blank.fill(full());
    EXPECT_EQ(blank, full());
}

TEST(SoundMeta, EqualityAndHashCoverEveryField) {
    SoundMeta a = full(), b = full();
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<SoundMeta>()(a), std::hash<SoundMeta>()(b));
    b.rating = 5;
    EXPECT_NE(a, b);
    EXPECT_NE(std::hash<SoundMeta>()(a), std::hash<SoundMeta>()(b));
    for (const auto& row : SoundMeta::ixmlTags()) {
        SoundMeta c = full();
        c.*row.field += "!";
        EXPECT_NE(c, a) << row.tag;
        EXPECT_NE(std::hash<SoundMeta>()(c), std::hash<SoundMeta>()(a)) << row.tag;
    }
}

TEST(SoundMeta, JsonHasEveryKeyAndReadsBack) {
    const json j = SoundMeta().toJSON();
    EXPECT_EQ(j.size(), 16u);
    for (const char* key : {"description", "category", "subCategory", "catID", "fxName", "keywords",
                            "library", "designer", "source", "microphone", "micPerspective",
                            "location", "notes", "trackTitle", "userCategory"})
        EXPECT_EQ(j.at(key), "") << key;
    EXPECT_TRUE(j.at("rating").is_number_integer());

    SoundMeta m = full();
    m.notes = std::string("before\0after \u00E9", 15);
    m.rating = INT64_MIN;
    EXPECT_EQ(SoundMeta::decode(m.encoded()), m);
    // Broken UTF-8 cannot be JSON: those bytes become U+FFFD, the rest stays.
    m.keywords = "ok \xC3";
    auto back = SoundMeta::decode(m.encoded());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->keywords, "ok \uFFFD");
    EXPECT_EQ(back->notes, m.notes);
}

TEST(SoundMeta, DecodingIsStrict) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        bool decodes;
        const char* failedKey;
    };
    const Case cases[] = {
        {"as written", [](json&) {}, true, ""},
        {"extra keys", [](json& j) { j["extra"] = 1; j["RATING"] = "x"; }, true, ""},
        {"nested extra", [](json& j) { j["extra"] = {{"rating", "x"}, {"notes", {1, 2}}}; }, true, ""},
        {"rating missing", [](json& j) { j.erase("rating"); }, false, "rating"},
        {"rating null", [](json& j) { j["rating"] = nullptr; }, false, "rating"},
        {"rating \"3\"", [](json& j) { j["rating"] = "3"; }, false, "rating"},
        {"rating 3.5", [](json& j) { j["rating"] = 3.5; }, false, "rating"},
        {"rating true", [](json& j) { j["rating"] = true; }, false, "rating"},
        {"rating 2^63", [](json& j) { j["rating"] = 9223372036854775808ull; }, false, "rating"},
        {"rating 1e19", [](json& j) { j["rating"] = 1e19; }, false, "rating"},
        {"rating -2^63", [](json& j) { j["rating"] = INT64_MIN; }, true, ""},
        {"rating 2^63-1", [](json& j) { j["rating"] = INT64_MAX; }, true, ""},
        {"text missing", [](json& j) { j.erase("notes"); }, false, "notes"},
        {"text null", [](json& j) { j["keywords"] = nullptr; }, false, "keywords"},
        {"text number", [](json& j) { j["catID"] = 3; }, false, "catID"},
        {"text array", [](json& j) { j["fxName"] = json::array({"a"}); }, false, "fxName"},
        {"text object", [](json& j) { j["library"] = json::object(); }, false, "library"},
    };
    for (const Case& c : cases) {
        json j = SoundMeta().toJSON();
        j["rating"] = 2;
        c.change(j);
        std::string failure = "unset";
        auto meta = SoundMeta::decode(j.dump(), &failure);
        EXPECT_EQ(meta.has_value(), c.decodes) << c.what;
        if (!c.decodes) {
            EXPECT_EQ(failure, c.failedKey) << c.what;
        }
    }
    EXPECT_EQ(SoundMeta::decode("{}"), std::nullopt);
    EXPECT_EQ(SoundMeta::decode("[]"), std::nullopt);
    EXPECT_EQ(SoundMeta::decode("not json"), std::nullopt);
    EXPECT_EQ(SoundMeta::decode(""), std::nullopt);
    auto withRating = SoundMeta::decode(R"({"description":"","category":"","subCategory":"","catID":"",
        "fxName":"","keywords":"","library":"","designer":"","source":"","microphone":"",
        "micPerspective":"","location":"","notes":"","trackTitle":"","userCategory":"","rating":3})");
    ASSERT_TRUE(withRating);
    EXPECT_EQ(withRating->rating, 3);
}

namespace {

// What strict decoding means, spelled with the JSON library's document and
// the kind checks of jsonfields: the oracle of the fast reader.
std::optional<SoundMeta> decodeThroughDocument(const std::string& text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    SoundMeta m;
    const json fields = SoundMeta().toJSON();
    for (const auto& [key, unused] : fields.items()) {
        if (key == "rating") continue;
        auto it = j.find(key);
        if (it == j.end() || !it->is_string()) return std::nullopt;
    }
    auto rating = jsonfields::integer(jsonfields::member(j, "rating"));
    if (!rating) return std::nullopt;
    m.description = j["description"];
    m.category = j["category"];
    m.subCategory = j["subCategory"];
    m.catID = j["catID"];
    m.fxName = j["fxName"];
    m.keywords = j["keywords"];
    m.library = j["library"];
    m.designer = j["designer"];
    m.source = j["source"];
    m.microphone = j["microphone"];
    m.micPerspective = j["micPerspective"];
    m.location = j["location"];
    m.notes = j["notes"];
    m.trackTitle = j["trackTitle"];
    m.userCategory = j["userCategory"];
    m.rating = *rating;
    return m;
}

}  // namespace

TEST(SoundMeta, DecoderReadsJsonAsTheDocumentDoes) {
    const char* texts[] = {
        R"({"rating":2})",
        R"( {"extra":[1,{"a":[true,false,null]},"x\"y"],"rating":-0, "description":"\u00e9\ud83c\udfb5\n" } )",
        R"({"rating":1e2,"rating":3.0})",
        R"({"rating":1e400})",
        R"({"rating":1e-400})",
        R"({"rating":-9223372036854775809})",
        R"({"rating":18446744073709551616})",
        R"({"rating":01})",
        R"({"rating":1.})",
        R"({"rating":+1})",
        R"({"notes":"\ud800"})",
        R"({"notes":"\udc00x"})",
        R"({"notes":"a\qb"})",
        "{\"notes\":\"tab\tinside\"}",
        "\xEF\xBB\xBF{\"rating\":1}",
        R"({"rating":1} x)",
        R"({"rating":1,})",
        R"([])",
        R"("text")",
    };
    const std::string allTexts =
        R"("description":"d","category":"c","subCategory":"s","catID":"i","fxName":"f","keywords":"k",)"
        R"("library":"l","designer":"g","source":"o","microphone":"m","micPerspective":"p","location":"n",)"
        R"("notes":"t","trackTitle":"r","userCategory":"u")";
    for (std::string text : texts) {
        for (bool withTexts : {false, true}) {
            std::string t = text;
            if (withTexts && t.find('{') != std::string::npos && t.find('}') != std::string::npos &&
                t.find("{}") == std::string::npos)
                t.insert(t.find('{') + 1, allTexts + ",");
            EXPECT_EQ(SoundMeta::decode(t), decodeThroughDocument(t)) << t;
        }
    }
}

// Mutated records never crash or throw, and the fast reader agrees with the
// document reading on every one of them.
TEST(SoundMeta, DecoderFuzz) {
    SoundMeta seedMeta = full();
    seedMeta.notes = "line\nbreak \"quoted\" caf\u00E9 \U0001F3B5 \\ back";
    json seedJson = seedMeta.toJSON();
    seedJson["extra"] = {{"nested", {1, 2.5, "x", nullptr, true}}};
    const std::string seed = seedJson.dump();
    const std::string alphabet = "{}[]\":,0123456789.-+eE \\unlltrue\xC3\xA9\xFF\t\n";
    std::mt19937 rng(19);
    int decoded = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = rng() % text.size();
            switch (rng() % 5) {
                case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
                case 1: text.erase(at, 1 + rng() % 8); break;
                case 2: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
                case 3: text.resize(at); break;
                case 4: text.insert(at, text.substr(rng() % text.size(), rng() % 24)); break;
            }
        }
        std::optional<SoundMeta> meta;
        ASSERT_NO_THROW(meta = SoundMeta::decode(text)) << text;
        EXPECT_EQ(meta, decodeThroughDocument(text)) << text;
        if (meta) {
            ++decoded;
            EXPECT_EQ(SoundMeta::decode(meta->encoded()), meta) << text;
        }
    }
    EXPECT_GT(decoded, 100);
    // Deep nesting is skipped without recursion.
    std::string deep = R"({"x":)" + std::string(200000, '[') + std::string(200000, ']') + "," +
                       full().encoded().substr(1);
    EXPECT_EQ(SoundMeta::decode(deep), full());
}
