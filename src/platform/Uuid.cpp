#include "platform/Uuid.h"

#include <sys/random.h>

#include <random>

namespace qm {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

Uuid Uuid::random() {
    Uuid u;
    std::size_t got = 0;
    while (got < u.bytes.size()) {
        ssize_t n = getrandom(u.bytes.data() + got, u.bytes.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < u.bytes.size()) {
        // The kernel source is always there on supported systems; this is
        // only a guard against an exotic sandbox.
        std::random_device rd;
        for (auto& b : u.bytes) b = static_cast<uint8_t>(rd());
    }
    u.bytes[6] = static_cast<uint8_t>((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = static_cast<uint8_t>((u.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return u;
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || isHyphenPosition(i + 1)) return std::nullopt;
        u.bytes[byte++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return u;
}

std::string Uuid::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0x0F]);
    }
    return s;
}

}  // namespace qm

std::size_t std::hash<qm::Uuid>::operator()(const qm::Uuid& u) const noexcept {
    // FNV-1a over the 16 bytes.
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : u.bytes) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h);
}
