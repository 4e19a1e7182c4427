// The UCS category table: CatID -> (category, subcategory), read from the
// text file "UCS.csv" (CatID,Category,SubCategory per line after a header
// line; no quoting, so every comma separates; blank lines and lines with
// fewer than three fields are skipped; a line's trailing CR is dropped; a
// later line with the same CatID, compared upper-cased, replaces an earlier
// one). Lookups ignore case.
//
// shared() is the table of the shipped file, found beside the running
// program or in its share folder (../share/quillmarsh/UCS.csv); it is built
// once, under a once-guard, on first use from any thread, and only read
// afterwards. A missing or unreadable file gives the empty table.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qm {

class UCS {
public:
    struct Entry {
        std::string catID;  // as the file writes it, trimmed
        std::string category;
        std::string subCategory;
        bool operator==(const Entry&) const = default;
    };

    static const UCS& shared();
    // How many times shared() built its table (never more than once).
    static int sharedLoads();
    // Where shared() reads the table from; empty when no file is found.
    static std::filesystem::path resourcePath();

    static UCS fromText(std::string_view text);
    static UCS fromFile(const std::filesystem::path& file);

    // The entry whose CatID equals `catID` ignoring case.
    std::optional<Entry> lookup(std::string_view catID) const;
    // Keyed by the upper-cased CatID.
    const std::unordered_map<std::string, Entry>& entries() const { return entries_; }

private:
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qm
