#include "audio/JsonFields.h"

#include <cmath>

namespace qm::jsonfields {

const nlohmann::json* member(const nlohmann::json& obj, std::string_view key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<double> number(const nlohmann::json* v) {
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

std::optional<int64_t> integer(const nlohmann::json* v) {
    if (!v) return std::nullopt;
    if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<int64_t>();
    if (v->is_number_unsigned()) {
        uint64_t u = v->get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (v->is_number_float()) {
        double d = v->get<double>();
        // 2^63 itself does not fit; every double below it with no fraction does.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<bool> boolean(const nlohmann::json* v) {
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<std::string> string(const nlohmann::json* v) {
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

}  // namespace qm::jsonfields
