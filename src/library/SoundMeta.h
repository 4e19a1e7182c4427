// The metadata record of one sound file, as the library knows it: the
// descriptive texts that effects libraries keep in the iXML USER block
// (UCS category, subcategory and CatID, FX name, designer, keywords...)
// plus a star rating. Every metadata path hands this value around: the WAV
// chunk reader fills it, the catalog stores it as JSON and indexes its
// search text, the change log and the inspector name its fields by iXML tag.
//
// A text field is set when it is not empty; there is no null state. The
// JSON form is one object with the sixteen field names as keys; decoding is
// strict (every key, texts as strings, the rating as an integer) because a
// row that does not decode must read as the empty record rather than as a
// half-guessed one.
//
// A plain value: any thread. ixmlTags() is a constant table.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace qm {

class UCS;

struct SoundMeta {
    std::string description;
    std::string category;
    std::string subCategory;
    std::string catID;
    std::string fxName;
    std::string keywords;
    std::string library;
    std::string designer;
    std::string source;
    std::string microphone;
    std::string micPerspective;
    std::string location;
    std::string notes;
    std::string trackTitle;
    std::string userCategory;
    int64_t rating = 0;  // star rating; 0 = not rated

    // One row of the iXML tag table: the upper-case element name and the
    // text field it names.
    struct IxmlTag {
        std::string_view tag;
        std::string SoundMeta::*field;
    };
    // The fifteen text fields in table order ("DESCRIPTION" ... "USERCATEGORY";
    // `source` is "SOURCEID"). The rating has no row.
    static const std::array<IxmlTag, 15>& ixmlTags();
    // The row whose tag equals `tag` exactly, or null.
    static const IxmlTag* ixmlTag(std::string_view tag);

    // The text the catalog indexes as a file's body: thirteen fields (all but
    // `source` and `micPerspective`), the empty ones left out, joined by one
    // space, each taken as it is.
    std::string searchText() const;

    // Fills every empty text field from `other`, and the rating when it is 0.
    void fill(const SoundMeta& other);
    // Sets the fields an edit names by iXML tag (keys that are no tag change
    // nothing) and the rating when one is given.
    void applyChanges(const std::map<std::string, std::string>& tags, std::optional<int64_t> rating);

    // The JSON object; texts that are not valid UTF-8 are repaired (U+FFFD).
    nlohmann::json toJSON() const;
    // The JSON text, compact; never fails.
    std::string encoded() const;
    // Strict decoding of JSON text: nothing (and the offending key in
    // `failure`, empty when the text is not a JSON object) when a key is
    // missing, null or of the wrong kind, or when the rating is a fraction or
    // outside the signed 64-bit range. Other keys are ignored. Reads the text
    // as events, without building a document: the catalog decodes one record
    // per search hit.
    static std::optional<SoundMeta> decode(std::string_view json, std::string* failure = nullptr);

    // The UCS file name, without extension: CatID, FX name, then designer
    // and source where set, each with "_" made a space and "/" a hyphen,
    // joined by "_". Nothing when the CatID or the FX name is empty, or when
    // a part holds a NUL (a rename would cut the name there).
    std::optional<std::string> ucsFileName() const;

    // The record a UCS file name spells (CatID_FXName_Designer_Source...),
    // category and subcategory from the table or, for a CatID it lacks,
    // split where the capital block ends; the empty record when the name is
    // no UCS name. Texts taken from the name are valid UTF-8.
    static SoundMeta fromFileName(const std::filesystem::path& url);
    static SoundMeta fromFileName(const std::filesystem::path& url, const UCS& table);

    bool operator==(const SoundMeta&) const = default;
};

}  // namespace qm

template <>
struct std::hash<qm::SoundMeta> {
    size_t operator()(const qm::SoundMeta& meta) const noexcept;
};
