// Strict reading of single JSON values for the tolerant record decoders.
//
// nlohmann::json converts between number kinds silently (1.5 read as an
// integer gives 1, true read as a number gives 1). Stored documents are
// decoded key by key, and a value of the wrong kind must take the key's
// default instead; these helpers check the kind first and answer nothing
// for a missing key, a null, or a value of another kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

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

}  // namespace qm::jsonfields
