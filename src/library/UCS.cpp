#include "library/UCS.h"

#include <unistd.h>

#include <atomic>
#include <system_error>
#include <vector>

#include "audio/Text.h"
#include "library/SoundMeta.h"
#include "platform/ReadOnlyFile.h"

namespace qm {

namespace {

std::atomic<int> loads{0};


}  // namespace

UCS UCS::fromText(std::string_view text) {
    UCS table;
    // Only UTF-8 text is a table.
    if (!text::isValidUtf8(text)) return table;
    bool header = true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (header) {
            header = false;
            continue;
        }
        std::string_view fields[3];
        size_t count = 0, from = 0;
        while (count < 3) {
            const size_t comma = line.find(',', from);
            fields[count++] = text::trimSpacesAndTabs(line.substr(from, comma == std::string_view::npos ? line.npos : comma - from));
            if (comma == std::string_view::npos) break;
            from = comma + 1;
        }
        if (count < 3) continue;
        Entry entry{std::string(fields[0]), std::string(fields[1]), std::string(fields[2])};
        table.entries_.insert_or_assign(text::upper(entry.catID), std::move(entry));
    }
    return table;
}

UCS UCS::fromFile(const std::filesystem::path& file) {
    ReadOnlyFile in(file);
    const std::optional<uint64_t> length = in.length();
    if (!length || *length > (uint64_t(64) << 20)) return {};
    std::string text(*length, '\0');
    const ssize_t got = in.readAt(text.data(), text.size(), 0);
    if (got < 0) return {};  // a folder, or a read error
    text.resize(static_cast<size_t>(got));
    return fromText(text);
}

std::filesystem::path UCS::resourcePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const std::filesystem::path dir = exe.parent_path();
    for (const std::filesystem::path& candidate :
         {dir / "UCS.csv", dir.parent_path() / "share" / "quillmarsh" / "UCS.csv"})
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    return {};
}

const UCS& UCS::shared() {
    static const UCS table = [] {
        ++loads;
        const std::filesystem::path file = resourcePath();
        return file.empty() ? UCS() : fromFile(file);
    }();
    return table;
}

int UCS::sharedLoads() { return loads.load(); }

std::optional<UCS::Entry> UCS::lookup(std::string_view catID) const {
    auto it = entries_.find(text::upper(catID));
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

namespace {

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isAlnum(char c) { return isUpper(c) || isLower(c) || (c >= '0' && c <= '9'); }

// ^[A-Z]{3,}[A-Za-z0-9]*(-[A-Za-z0-9]+)?$, ASCII and case-sensitive.
bool isCatID(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && isUpper(s[i])) ++i;
    if (i < 3) return false;
    while (i < s.size() && isAlnum(s[i])) ++i;
    if (i == s.size()) return true;
    if (s[i] != '-') return false;
    const size_t suffix = ++i;
    while (i < s.size() && isAlnum(s[i])) ++i;
    return i == s.size() && i > suffix;
}

}  // namespace

std::optional<std::string> SoundMeta::ucsFileName() const {
    if (catID.empty() || fxName.empty()) return std::nullopt;
    std::string name;
    for (const std::string* part : {&catID, &fxName, &designer, &source}) {
        if (part->empty()) continue;
        if (part->find('\0') != std::string::npos) return std::nullopt;
        if (!name.empty()) name += '_';
        for (char c : *part) name += c == '_' ? ' ' : c == '/' ? '-' : c;
    }
    return name;
}

SoundMeta SoundMeta::fromFileName(const std::filesystem::path& url) { return fromFileName(url, UCS::shared()); }

SoundMeta SoundMeta::fromFileName(const std::filesystem::path& url, const UCS& table) {
    // A Linux name is bytes: the record keeps valid UTF-8 only.
    const std::string name = text::repairUtf8(url.stem().string());
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t cut = name.find('_', start);
        parts.emplace_back(std::string_view(name).substr(start, cut == std::string::npos ? name.npos : cut - start));
        if (cut == std::string::npos) break;
        start = cut + 1;
    }
    SoundMeta meta;
    if (parts.size() < 2 || !isCatID(parts[0])) return meta;
    meta.catID = parts[0];
    meta.fxName = parts[1];
    if (parts.size() >= 3) meta.designer = parts[2];
    if (parts.size() >= 4)
        meta.source = name.substr(static_cast<size_t>(parts[3].data() - name.data()));
    if (auto entry = table.lookup(meta.catID)) {
        meta.category = entry->category;
        meta.subCategory = entry->subCategory;
        return meta;
    }
    // The capital block before the first lower-case letter's own capital.
    for (size_t i = 0; i < meta.catID.size(); ++i) {
        if (!isLower(meta.catID[i])) continue;
        meta.category = meta.catID.substr(0, i - 1);
        meta.subCategory = meta.catID.substr(i - 1);
        break;
    }
    return meta;
}

}  // namespace qm
