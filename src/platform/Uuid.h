// A 128-bit universally unique identifier.
//
// Written and read in the standard 36-character form
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"); the text form is always
// upper-case, reading accepts either case. Fresh identifiers are random
// (version 4). A plain value: any thread may use it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

struct Uuid {
    std::array<uint8_t, 16> bytes{};

    // A fresh random identifier from the system's random source.
    static Uuid random();
    // Parses the 36-character form with hyphens at 8, 13, 18 and 23;
    // nothing for any other text.
    static std::optional<Uuid> fromString(std::string_view text);
    // The 36-character upper-case form.
    std::string uuidString() const;

    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;
};

}  // namespace qm

template <>
struct std::hash<qm::Uuid> {
    std::size_t operator()(const qm::Uuid& u) const noexcept;
};
