#include "library/RIFFMeta.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "audio/ByteOrder.h"
#include "audio/Text.h"
#include "platform/ReadOnlyFile.h"

namespace qm::RIFFMeta {

namespace {

using byteorder::le32;

// Walks the chunk headers, handing each chunk to `visit` until it answers
// false or kMaxChunks were listed (or, with `endAtOpenData`, a data chunk
// declaring 0 bytes with bytes after it was listed). False when the file is
// not RIFF/WAVE.
bool walk(const ReadOnlyFile& file, const std::function<bool(Chunk&&)>& visit, bool endAtOpenData = false) {
    char header[12];
    if (file.readAt(header, 12, 0) != 12) return false;
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) return false;
    const std::optional<uint64_t> end = file.length();
    if (!end || *end < 20) return true;
    uint64_t pos = 12;
    for (size_t listed = 0; listed < kMaxChunks && pos + 8 <= *end; ++listed) {
        char h[8];
        if (file.readAt(h, 8, pos) != 8) break;
        const uint32_t declared = le32(h + 4);
        Chunk chunk;
        chunk.id = text::repairUtf8({h, 4});
        std::memcpy(chunk.raw.data(), h, 4);
        chunk.offset = pos + 8;
        chunk.size = std::min<uint64_t>(declared, *end - pos - 8);
        chunk.declared = declared;
        const bool open = endAtOpenData && declared == 0 && pos + 8 < *end && chunk.id == "data";
        if (!visit(std::move(chunk)) || open) break;
        // The next header follows the declared size, not the clamped one.
        pos += 8 + static_cast<uint64_t>(declared) + (declared & 1u);
    }
    return true;
}

// The position just past the first `terminator` at or after `from`, or npos.
size_t pastNext(std::string_view xml, std::string_view terminator, size_t from) {
    const size_t at = xml.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
}

// The "<" of the next start or end tag at or after `from`: comments, CDATA
// sections, processing instructions and declarations (a DOCTYPE with its
// internal subset) are passed over whole; one that never ends hides the
// rest of the text.
size_t nextTag(std::string_view xml, size_t from) {
    constexpr size_t npos = std::string_view::npos;
    for (size_t p = xml.find('<', from); p != npos; p = xml.find('<', p)) {
        const std::string_view rest = xml.substr(p);
        if (rest.starts_with("<!--")) {
            p = pastNext(xml, "-->", p + 4);
        } else if (rest.starts_with("<![CDATA[")) {
            p = pastNext(xml, "]]>", p + 9);
        } else if (rest.starts_with("<?")) {
            p = pastNext(xml, "?>", p + 2);
        } else if (rest.starts_with("<!")) {
            p = xml.find_first_of("[>", p + 2);
            if (p != npos && xml[p] == '[') p = xml.find(']', p);
            if (p != npos) p = pastNext(xml, ">", p);
        } else {
            return p;
        }
        if (p == npos) return npos;
    }
    return npos;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    size_t start = 0;
    for (size_t at; (at = s.find(from, start)) != std::string::npos; start = at + from.size()) {
        out.append(s, start, at - start);
        out += to;
    }
    if (start == 0) return;
    out.append(s, start);
    s = std::move(out);
}

constexpr size_t kTags = 15;

// The row of the tag table whose tag equals `name`, or kTags.
size_t tagIndex(std::string_view name) {
    const auto& tags = SoundMeta::ixmlTags();
    for (size_t i = 0; i < kTags; ++i)
        if (tags[i].tag == name) return i;
    return kTags;
}

// The element form: for each tag, the first "<TAG>" of the block.
std::array<size_t, kTags> firstOpenings(std::string_view user) {
    std::array<size_t, kTags> at;
    at.fill(std::string_view::npos);
    for (size_t lt = nextTag(user, 0); lt != std::string_view::npos; lt = nextTag(user, lt + 1)) {
        const size_t gt = user.find_first_of("<>", lt + 1);
        if (gt == std::string_view::npos) break;
        if (user[gt] != '>' || gt - lt - 1 > 14) continue;
        const size_t i = tagIndex(user.substr(lt + 1, gt - lt - 1));
        if (i < kTags && at[i] == std::string_view::npos) at[i] = lt;
    }
    return at;
}

// The stretches of the block inside closed elements (from a start tag to
// the first end tag of its name after it), in order and merged: a line there
// is an element's value, not a line of its own.
std::vector<std::pair<size_t, size_t>> elementContents(std::string_view user) {
    struct Tag {
        size_t at;
        std::string_view name;
        bool end;
    };
    std::vector<Tag> tags;
    for (size_t lt = nextTag(user, 0); lt != std::string_view::npos; lt = nextTag(user, lt + 1)) {
        const bool end = lt + 1 < user.size() && user[lt + 1] == '/';
        const size_t from = lt + 1 + (end ? 1 : 0);
        const size_t stop = user.find_first_of(" \t\r\n/>", from);
        if (stop == std::string_view::npos) break;
        tags.push_back({lt, user.substr(from, stop - from), end});
    }
    std::vector<std::pair<size_t, size_t>> spans;
    std::map<std::string_view, size_t> nextEnd;
    for (auto it = tags.rbegin(); it != tags.rend(); ++it) {
        if (it->end) nextEnd[it->name] = it->at;
        else if (const auto e = nextEnd.find(it->name); e != nextEnd.end()) spans.emplace_back(it->at, e->second);
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<size_t, size_t>> merged;
    for (const auto& s : spans) {
        if (!merged.empty() && s.first <= merged.back().second) merged.back().second = std::max(merged.back().second, s.second);
        else merged.push_back(s);
    }
    return merged;
}

// The line form: for each tag, the rest of the first line that, upper-cased,
// starts with the tag and "=" or ":". Lines are split at LF, a trailing CR
// is dropped (a block written with CR LF reads like one written with LF).
// A line that begins inside a closed element is part of that element's
// value (which may well hold "TAG=" text) and is passed over. The tag ends
// where the line's first "=" or ":" stands, so each line is looked at once.
std::array<std::optional<std::string_view>, kTags> lineValues(std::string_view user) {
    std::array<std::optional<std::string_view>, kTags> values;
    const auto inside = elementContents(user);
    auto span = inside.begin();
    size_t start = 0;
    while (start < user.size()) {
        size_t end = user.find('\n', start);
        if (end == std::string_view::npos) end = user.size();
        std::string_view line = user.substr(start, end - start);
        const size_t lineStart = start;
        start = end + 1;
        while (span != inside.end() && span->second <= lineStart) ++span;
        if (span != inside.end() && span->first < lineStart) continue;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Upper-casing may turn a non-ASCII letter ("ı", "ſ") into an ASCII
        // one, so the head is read code point by code point.
        std::string head;
        size_t pos = 0;
        while (pos < line.size() && head.size() <= 14) {
            const auto b = static_cast<unsigned char>(line[pos]);
            const size_t len = text::wellFormedLength(line, pos);  // the text is valid
            const char32_t c = b < 0x80 ? b : text::decodeUtf8(line.substr(pos, len)).front();
            if (c == U'=' || c == U':') {
                const size_t i = tagIndex(head);
                if (i < kTags && !values[i]) values[i] = line.substr(pos + 1);
                break;
            }
            const char32_t u = text::upper(c);
            if (u >= 0x80) break;  // no tag holds it
            head += static_cast<char>(u);
            pos += len;
        }
    }
    return values;
}

std::optional<int64_t> decimal(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return std::nullopt;
    }
    const size_t digitsFrom = !s.empty() && s.front() == '-' ? 1 : 0;
    if (s.size() == digitsFrom) return std::nullopt;
    for (size_t i = digitsFrom; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    int64_t v = 0;
    const auto result = std::from_chars(s.data(), s.data() + s.size(), v);
    if (result.ec != std::errc() || result.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::vector<Chunk>> chunks(const ReadOnlyFile& file, bool endAtOpenData) {
    std::vector<Chunk> list;
    if (!walk(
            file,
            [&](Chunk&& c) {
                list.push_back(std::move(c));
                return true;
            },
            endAtOpenData))
        return std::nullopt;
    return list;
}

size_t findTag(std::string_view xml, std::string_view tag, size_t from) {
    for (size_t p = nextTag(xml, from); p != std::string_view::npos; p = nextTag(xml, p + 1))
        if (xml.substr(p).starts_with(tag)) return p;
    return std::string_view::npos;
}

std::optional<std::pair<size_t, size_t>> userSpan(std::string_view xml) {
    const size_t open = findTag(xml, "<USER>");
    if (open == std::string_view::npos) return std::nullopt;
    const size_t close = findTag(xml, "</USER>", open + 6);
    if (close == std::string_view::npos) return std::nullopt;
    return std::pair{open, close + 7};
}

std::string unescape(std::string_view value) {
    std::string s(value);
    replaceAll(s, "&lt;", "<");
    replaceAll(s, "&gt;", ">");
    replaceAll(s, "&quot;", "\"");
    replaceAll(s, "&apos;", "'");
    replaceAll(s, "&amp;", "&");
    return text::trimWhiteSpace(s);
}

SoundMeta parseUSER(std::string_view xml) {
    // The line form counts characters: it works on valid UTF-8.
    if (!text::isValidUtf8(xml)) return parseUSER(text::repairUtf8(xml));
    SoundMeta meta;
    const auto span = userSpan(xml);
    if (!span) return meta;
    const std::string_view user = xml.substr(span->first + 6, span->second - span->first - 13);

    const std::array<size_t, kTags> openings = firstOpenings(user);
    std::optional<std::array<std::optional<std::string_view>, kTags>> lines;
    for (size_t i = 0; i < kTags; ++i) {
        const SoundMeta::IxmlTag& row = SoundMeta::ixmlTags()[i];
        if (openings[i] != std::string_view::npos) {
            const size_t valueStart = openings[i] + row.tag.size() + 2;
            const size_t end = findTag(user, "</" + std::string(row.tag) + ">", valueStart);
            if (end != std::string_view::npos) {
                meta.*row.field = unescape(user.substr(valueStart, end - valueStart));
                continue;
            }
        }
        if (!lines) lines = lineValues(user);
        if ((*lines)[i]) meta.*row.field = unescape(*(*lines)[i]);
    }

    const size_t ratingOpen = findTag(user, "<RATING>");
    const size_t ratingClose = findTag(user, "</RATING>");
    if (ratingOpen != std::string_view::npos && ratingClose != std::string_view::npos &&
        ratingClose >= ratingOpen + 8)
        meta.rating = decimal(text::trimSpacesAndTabs(user.substr(ratingOpen + 8, ratingClose - ratingOpen - 8))).value_or(0);
    return meta;
}

SoundMeta read(const std::filesystem::path& url) {
    ReadOnlyFile file(url);
    return read(file);
}

SoundMeta read(const ReadOnlyFile& file) {
    if (!file) return {};
    std::optional<Chunk> ixml, bext;
    const bool isWave = walk(file, [&](Chunk&& c) {
        if (!ixml && c.id == "iXML") ixml = c;
        if (!bext && c.id == "bext") bext = c;
        return !(ixml && bext);  // nothing later is read
    });
    if (!isWave) return {};

    SoundMeta meta;
    if (ixml) {
        std::string bytes(std::min(ixml->size, kMaxIXMLBytes), '\0');
        const ssize_t got = file.readAt(bytes.data(), bytes.size(), ixml->offset);
        if (got > 0) {
            bytes.resize(static_cast<size_t>(got));
            meta = parseUSER(text::repairUtf8(bytes));
        }
    }
    if (meta.description.empty() && bext) {
        // A short bext chunk holds only what it declares: the bytes after it
        // are the next chunk's header, never a description.
        char body[kBextDescriptionBytes];
        const ssize_t got = file.readAt(body, std::min(bext->size, kBextDescriptionBytes), bext->offset);
        if (got > 0) meta.description = RIFFReader::descriptionText({body, static_cast<size_t>(got)});
    }
    return meta;
}

}  // namespace qm::RIFFMeta
