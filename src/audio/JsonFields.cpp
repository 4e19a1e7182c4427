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

void failText(const nlohmann::json& j, std::string_view what, bool isString) {
    if (!isString) throw nlohmann::json::type_error::create(302, std::string(what) + " must be a string", &j);
    throw nlohmann::json::other_error::create(501, "unknown " + std::string(what), &j);
}

FieldReader::FieldReader(const nlohmann::json& j, std::string_view record) : j_(j), record_(record) {
    if (!j.is_object()) fail("not an object");
}

void FieldReader::fail(const std::string& what) const {
    throw nlohmann::json::other_error::create(501, record_ + ": " + what, &j_);
}

const nlohmann::json& FieldReader::required(std::string_view key) const {
    const nlohmann::json* v = member(j_, key);
    if (!v) fail("missing " + std::string(key));
    return *v;
}

double FieldReader::number(std::string_view key) const {
    auto v = jsonfields::number(&required(key));
    if (!v) fail(std::string(key) + " is not a number");
    return *v;
}

int64_t FieldReader::integer(std::string_view key) const {
    auto v = jsonfields::integer(&required(key));
    if (!v) fail(std::string(key) + " is not an integer");
    return *v;
}

bool FieldReader::boolean(std::string_view key) const {
    auto v = jsonfields::boolean(&required(key));
    if (!v) fail(std::string(key) + " is not a Boolean");
    return *v;
}

std::string FieldReader::string(std::string_view key) const {
    auto v = jsonfields::string(&required(key));
    if (!v) fail(std::string(key) + " is not a string");
    return std::move(*v);
}

}  // namespace qm::jsonfields
