// Reading single JSON values by their kind, for every record decoder.
//
// nlohmann::json converts between number kinds silently (1.5 read as an
// integer gives 1, true read as a number gives 1). Stored documents are
// decoded key by key: tolerant decoders (the settings) give a value of the
// wrong kind the key's default, strict ones (a profile, the pins) fail. The
// value readers below check the kind first and answer nothing for a missing
// key, a null, or a value of another kind; FieldReader is the strict way,
// which fails with a text naming the record and the key. Enumerations are
// read through their TextTable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "audio/TextTable.h"

namespace qm::jsonfields {

// The member `key` of an object, or null when `obj` is not an object, lacks
// the key, or holds null under it.
const nlohmann::json* member(const nlohmann::json& obj, std::string_view key);

// A JSON number (integer or not); booleans are not numbers.
std::optional<double> number(const nlohmann::json* v);
// A JSON integer, or a number with an integral value that fits 64 bits.
std::optional<int64_t> integer(const nlohmann::json* v);
std::optional<bool> boolean(const nlohmann::json* v);
std::optional<std::string> string(const nlohmann::json* v);

// A value that must be a string naming a case of `table`. Throws
// nlohmann::json::type_error (302) "<what> must be a string" or other_error
// (501) "unknown <what>".
[[noreturn]] void failText(const nlohmann::json& j, std::string_view what, bool isString);
template <class E, std::size_t N>
E textValue(const nlohmann::json& j, const TextTable<E, N>& table, std::string_view what) {
    if (!j.is_string()) failText(j, what, false);
    if (auto v = table.value(j.get_ref<const std::string&>())) return *v;
    failText(j, what, true);
}

// Strict reading of one object: every key asked for must be there with its
// kind. A failure throws nlohmann::json::other_error (501) with the text
// "<record>: <what is wrong>", e.g. "output profile: missing id".
class FieldReader {
public:
    // Throws unless `j` is an object.
    FieldReader(const nlohmann::json& j, std::string_view record);

    const nlohmann::json& required(std::string_view key) const;
    // The member, or null when it is missing or null.
    const nlohmann::json* optional(std::string_view key) const { return member(j_, key); }
    double number(std::string_view key) const;
    // An integer, or a number with an integral value that fits 64 bits.
    int64_t integer(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::string string(std::string_view key) const;
    // A string naming a case of `table`; "unknown <key>" otherwise.
    template <class E, std::size_t N>
    E text(std::string_view key, const TextTable<E, N>& table) const {
        auto v = table.value(string(key));
        if (!v) fail("unknown " + std::string(key));
        return *v;
    }
    // An array of values each read by `read` (one of the value readers
    // above); "<key> is not an array" or "<key> holds <kind>" otherwise.
    template <class T>
    std::vector<T> array(std::string_view key, std::optional<T> (*read)(const nlohmann::json*),
                         std::string_view kind) const {
        const nlohmann::json& a = required(key);
        if (!a.is_array()) fail(std::string(key) + " is not an array");
        std::vector<T> out;
        for (const auto& v : a) {
            auto x = read(&v);
            if (!x) fail(std::string(key) + " holds a value that is not " + std::string(kind));
            out.push_back(std::move(*x));
        }
        return out;
    }

    [[noreturn]] void fail(const std::string& what) const;

private:
    const nlohmann::json& j_;
    std::string record_;
};

}  // namespace qm::jsonfields
