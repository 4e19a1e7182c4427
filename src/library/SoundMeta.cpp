#include "library/SoundMeta.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "audio/Text.h"

#include "audio/JsonFields.h"

namespace qm {

const std::array<SoundMeta::IxmlTag, 15>& SoundMeta::ixmlTags() {
    static constexpr std::array<IxmlTag, 15> table = {{
        {"DESCRIPTION", &SoundMeta::description},
        {"CATEGORY", &SoundMeta::category},
        {"SUBCATEGORY", &SoundMeta::subCategory},
        {"CATID", &SoundMeta::catID},
        {"FXNAME", &SoundMeta::fxName},
        {"KEYWORDS", &SoundMeta::keywords},
        {"LIBRARY", &SoundMeta::library},
        {"DESIGNER", &SoundMeta::designer},
        {"SOURCEID", &SoundMeta::source},
        {"MICROPHONE", &SoundMeta::microphone},
        {"MICPERSPECTIVE", &SoundMeta::micPerspective},
        {"LOCATION", &SoundMeta::location},
        {"NOTES", &SoundMeta::notes},
        {"TRACKTITLE", &SoundMeta::trackTitle},
        {"USERCATEGORY", &SoundMeta::userCategory},
    }};
    return table;
}

const SoundMeta::IxmlTag* SoundMeta::ixmlTag(std::string_view tag) {
    for (const IxmlTag& row : ixmlTags())
        if (row.tag == tag) return &row;
    return nullptr;
}

namespace {

// JSON keys are the field names; the rating is handled on its own.
struct JsonKey {
    std::string_view key;
    std::string SoundMeta::*field;
};
constexpr std::array<JsonKey, 15> kJsonKeys = {{
    {"description", &SoundMeta::description},
    {"category", &SoundMeta::category},
    {"subCategory", &SoundMeta::subCategory},
    {"catID", &SoundMeta::catID},
    {"fxName", &SoundMeta::fxName},
    {"keywords", &SoundMeta::keywords},
    {"library", &SoundMeta::library},
    {"designer", &SoundMeta::designer},
    {"source", &SoundMeta::source},
    {"microphone", &SoundMeta::microphone},
    {"micPerspective", &SoundMeta::micPerspective},
    {"location", &SoundMeta::location},
    {"notes", &SoundMeta::notes},
    {"trackTitle", &SoundMeta::trackTitle},
    {"userCategory", &SoundMeta::userCategory},
}};

}  // namespace

std::string SoundMeta::searchText() const {
    static constexpr std::array<std::string SoundMeta::*, 13> fields = {
        &SoundMeta::description, &SoundMeta::category, &SoundMeta::subCategory,
        &SoundMeta::catID,       &SoundMeta::fxName,   &SoundMeta::keywords,
        &SoundMeta::library,     &SoundMeta::designer, &SoundMeta::microphone,
        &SoundMeta::location,    &SoundMeta::notes,    &SoundMeta::trackTitle,
        &SoundMeta::userCategory};
    std::string out;
    for (auto field : fields) {
        const std::string& value = this->*field;
        if (value.empty()) continue;
        if (!out.empty()) out += ' ';
        out += value;
    }
    return out;
}

void SoundMeta::applyChanges(const std::map<std::string, std::string>& tags, std::optional<int64_t> newRating) {
    for (const auto& [tag, value] : tags)
        if (const IxmlTag* t = ixmlTag(tag)) this->*(t->field) = value;
    if (newRating) rating = *newRating;
}

void SoundMeta::fill(const SoundMeta& other) {
    for (const IxmlTag& row : ixmlTags())
        if ((this->*row.field).empty()) this->*row.field = other.*row.field;
    if (rating == 0) rating = other.rating;
}

nlohmann::json SoundMeta::toJSON() const {
    nlohmann::json j = nlohmann::json::object();
    for (const JsonKey& k : kJsonKeys) j[std::string(k.key)] = this->*k.field;
    j["rating"] = rating;
    return j;
}

std::string SoundMeta::encoded() const {
    // Texts read from files may hold broken UTF-8; replacing those bytes
    // keeps the rest of the record instead of failing the whole text.
    return toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// A strict reader of one JSON text into a record, written for speed: the
// catalog decodes one record per search hit, and a general JSON library
// spent several times the query's own time on 2000 hits. It accepts what
// RFC 8259 accepts (and a leading byte-order mark, as nlohmann does), with
// the same verdicts as decoding the document with nlohmann::json and
// jsonfields (tests/library/SoundMetaTest.cpp compares the two): a
// repeated key counts with its last value.
class StrictReader {
public:
    StrictReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<SoundMeta> read(std::string* failure) {
        const bool parsed = object();
        if (failure) failure->clear();
        if (!parsed) return std::nullopt;
        for (size_t k = 0; k < kJsonKeys.size(); ++k)
            if (!(good_ & (1u << k))) {
                if (failure) *failure = std::string(kJsonKeys[k].key);
                return std::nullopt;
            }
        if (!(good_ & (1u << kRating))) {
            if (failure) *failure = "rating";
            return std::nullopt;
        }
        return std::move(meta_);
    }

private:
    static constexpr unsigned kRating = 15;

    void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool take(char c) {
        ws();
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    bool object() {
        if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF") p_ += 3;
        if (!take('{')) return false;
        if (!take('}')) {
            do {
                ws();
                std::string key;
                if (!string(key) || !take(':')) return false;
                ws();
                if (!member(key)) return false;
            } while (take(','));
            if (!take('}')) return false;
        }
        ws();
        return p_ == end_;
    }

    // One value of the top-level object; a value of the wrong kind under a
    // known key marks the key bad until a later value of the key replaces it.
    bool member(const std::string& key) {
        int index = key == "rating" ? static_cast<int>(kRating) : -1;
        for (size_t i = 0; i < kJsonKeys.size() && index < 0; ++i)
            if (key == kJsonKeys[i].key) index = static_cast<int>(i);
        if (index < 0) return skipValue();
        const uint32_t bit = 1u << index;
        if (index == static_cast<int>(kRating)) {
            if (p_ < end_ && (*p_ == '-' || (*p_ >= '0' && *p_ <= '9'))) {
                std::optional<int64_t> value;
                if (!number(value)) return false;
                good_ = value ? good_ | bit : good_ & ~bit;
                if (value) meta_.rating = *value;
                return true;
            }
        } else if (p_ < end_ && *p_ == '"') {
            if (!string(meta_.*kJsonKeys[static_cast<size_t>(index)].field)) return false;
            good_ |= bit;
            return true;
        }
        good_ &= ~bit;
        return skipValue();
    }

    // A JSON string into `out` (replaced); the reader stands on its quote.
    bool string(std::string& out) {
        if (p_ >= end_ || *p_ != '"') return false;
        ++p_;
        out.clear();
        while (p_ < end_) {
            const char* run = p_;
            while (p_ < end_ && static_cast<unsigned char>(*p_) >= 0x20 && static_cast<unsigned char>(*p_) < 0x80 &&
                   *p_ != '"' && *p_ != '\\')
                ++p_;
            out.append(run, static_cast<size_t>(p_ - run));
            if (p_ >= end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (!escape(out)) return false;
                continue;
            }
            if (!utf8(out)) return false;
        }
        return false;
    }

    bool escape(std::string& out) {
        if (end_ - p_ < 2) return false;
        const char e = p_[1];
        p_ += 2;
        switch (e) {
            case '"': out += '"'; return true;
            case '\\': out += '\\'; return true;
            case '/': out += '/'; return true;
            case 'b': out += '\b'; return true;
            case 'f': out += '\f'; return true;
            case 'n': out += '\n'; return true;
            case 'r': out += '\r'; return true;
            case 't': out += '\t'; return true;
            case 'u': break;
            default: return false;
        }
        char32_t unit = 0;
        if (!hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            char32_t low = 0;
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        text::appendUtf8(out, unit);
        return true;
    }

    bool hex4(char32_t& unit) {
        if (end_ - p_ < 4) return false;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
            unit <<= 4;
            if (c >= '0' && c <= '9') unit |= static_cast<char32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') unit |= static_cast<char32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') unit |= static_cast<char32_t>(c - 'A' + 10);
            else return false;
        }
        return true;
    }

    // One well-formed UTF-8 sequence, copied.
    bool utf8(std::string& out) {
        const size_t len = text::wellFormedLength(std::string_view(p_, static_cast<size_t>(end_ - p_)), 0);
        if (len == 0) return false;
        out.append(p_, len);
        p_ += len;
        return true;
    }

    // A JSON number; `value` is set when it is an integer of the signed
    // 64-bit range (also when written with a fraction or exponent, 3.0, 1e2).
    bool number(std::optional<int64_t>& value) {
        const char* start = p_;
        if (p_ < end_ && *p_ == '-') ++p_;
        if (p_ >= end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        } else {
            return false;
        }
        bool integral = true;
        if (p_ < end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (p_ >= end_ || *p_ < '0' || *p_ > '9') return false;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ >= end_ || *p_ < '0' || *p_ > '9') return false;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        value.reset();
        if (integral) {
            int64_t v = 0;
            if (std::from_chars(start, p_, v).ec == std::errc()) {
                value = v;
                return true;
            }
        }
        // Beyond 64 bits, or a fraction or exponent: judged as a double. A
        // number too large for one is not JSON this reader (or nlohmann)
        // takes; one too small is 0.
        double d = 0;
        const auto result = std::from_chars(start, p_, d);
        if (result.ec == std::errc::result_out_of_range) {
            const std::string_view digits(start, static_cast<size_t>(p_ - start));
            const bool tiny = digits.find("e-") != std::string_view::npos ||
                              digits.find("E-") != std::string_view::npos || digits.starts_with("0") ||
                              digits.starts_with("-0");
            if (!tiny) return false;
            d = 0;
        } else if (result.ec != std::errc()) {
            return false;
        }
        nlohmann::json number = d;
        value = jsonfields::integer(&number);
        return true;
    }

    bool literal(std::string_view word) {
        if (end_ - p_ < static_cast<ptrdiff_t>(word.size()) || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    // Skips one value of any kind; nesting is followed with a stack of its
    // own, so no input can exhaust the call stack.
    bool skipValue() {
        std::string open;
        std::string scratch;
        for (;;) {
            ws();
            if (p_ >= end_) return false;
            bool scalar = true;
            switch (*p_) {
                case '{':
                    ++p_;
                    if (take('}')) break;
                    ws();
                    if (!string(scratch) || !take(':')) return false;
                    open += '{';
                    scalar = false;
                    break;
                case '[':
                    ++p_;
                    if (take(']')) break;
                    open += '[';
                    scalar = false;
                    break;
                case '"':
                    if (!string(scratch)) return false;
                    break;
                case 't':
                    if (!literal("true")) return false;
                    break;
                case 'f':
                    if (!literal("false")) return false;
                    break;
                case 'n':
                    if (!literal("null")) return false;
                    break;
                default: {
                    std::optional<int64_t> ignored;
                    if (!number(ignored)) return false;
                }
            }
            if (!scalar) continue;
            // After a value: close containers or go on to the next member.
            for (;;) {
                if (open.empty()) return true;
                if (take(',')) {
                    if (open.back() == '{') {
                        ws();
                        if (!string(scratch) || !take(':')) return false;
                    }
                    break;
                }
                if (!take(open.back() == '{' ? '}' : ']')) return false;
                open.pop_back();
            }
        }
    }

    const char* p_;
    const char* end_;
    SoundMeta meta_;
    uint32_t good_ = 0;
};

}  // namespace

std::optional<SoundMeta> SoundMeta::decode(std::string_view json, std::string* failure) {
    return StrictReader(json).read(failure);
}

}  // namespace qm

size_t std::hash<qm::SoundMeta>::operator()(const qm::SoundMeta& meta) const noexcept {
    size_t h = 0;
    auto mix = [&h](size_t v) { h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
    for (const auto& row : qm::SoundMeta::ixmlTags()) mix(std::hash<std::string>()(meta.*row.field));
    mix(std::hash<int64_t>()(meta.rating));
    return h;
}
