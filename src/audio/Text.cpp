#include "audio/Text.h"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace qm::text {

std::u32string decodeUtf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    auto byte = [&s](size_t k) { return static_cast<uint8_t>(s[k]); };
    while (i < n) {
        uint8_t b = byte(i);
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        int len = 0;
        char32_t cp = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < static_cast<size_t>(len); ++k) {
            if (i + k >= n) break;
            uint8_t c = byte(i + k);
            if (c < lo || c > hi) break;
            lo = 0x80, hi = 0xBF;
            cp = (cp << 6) | (c & 0x3F);
        }
        out.push_back(k == static_cast<size_t>(len) ? cp : 0xFFFD);
        i += k;
    }
    return out;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string encodeUtf8(std::u32string_view cps) {
    std::string out;
    out.reserve(cps.size());
    for (char32_t c : cps) appendUtf8(out, c);
    return out;
}

size_t wellFormedLength(std::string_view s, size_t at) {
    const auto b = static_cast<uint8_t>(s[at]);
    if (b < 0x80) return 1;
    size_t len = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - at < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<uint8_t>(s[at + k]);
        if (c < lo || c > hi) return 0;
        lo = 0x80, hi = 0xBF;
    }
    return len;
}

bool isValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        if (static_cast<uint8_t>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t len = wellFormedLength(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string repairUtf8(std::string_view s) {
    // Valid text, the usual case, needs no decoding.
    if (isValidUtf8(s)) return std::string(s);
    return encodeUtf8(decodeUtf8(s));
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isHorizontalSpace(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string trimWhiteSpace(std::string_view bytes) {
    if (!isValidUtf8(bytes)) return trimWhiteSpace(encodeUtf8(decodeUtf8(bytes)));
    // Valid text: only the code points at the ends are decoded.
    size_t first = 0, last = bytes.size();
    while (first < last) {
        const size_t len = wellFormedLength(bytes, first);
        if (!isWhiteSpace(decodeUtf8(bytes.substr(first, len)).front())) break;
        first += len;
    }
    while (last > first) {
        size_t lead = last - 1;
        while (lead > first && (static_cast<unsigned char>(bytes[lead]) & 0xC0) == 0x80) --lead;
        if (!isWhiteSpace(decodeUtf8(bytes.substr(lead, last - lead)).front())) break;
        last = lead;
    }
    return std::string(bytes.substr(first, last - first));
}

namespace {

locale_t utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

std::string upper(std::string_view bytes) {
    bool ascii = true;
    for (unsigned char c : bytes) ascii = ascii && c < 0x80;
    const locale_t locale = utf8Locale();
    if (ascii || !locale) {
        // Plain ASCII needs no decoding; without the locale object (a system
        // lacking C.UTF-8) only ASCII letters change.
        std::string out = ascii ? std::string(bytes) : repairUtf8(bytes);
        for (char& c : out)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return out;
    }
    std::string out;
    out.reserve(bytes.size());
    for (char32_t c : decodeUtf8(bytes))
        appendUtf8(out, static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale)));
    return out;
}

char32_t upper(char32_t c) {
    if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    const locale_t locale = utf8Locale();
    return locale ? static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale)) : c;
}

std::string asciiLower(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace qm::text
