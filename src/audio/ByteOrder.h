// Integers as a file stores them, read from its bytes (of any byte type).
#pragma once

#include <cstdint>

namespace qm::byteorder {

inline uint16_t le16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline uint32_t le32(const void* p) {
    return le16(p) | static_cast<uint32_t>(le16(static_cast<const uint8_t*>(p) + 2)) << 16;
}
inline uint64_t le64(const void* p) {
    return le32(p) | static_cast<uint64_t>(le32(static_cast<const uint8_t*>(p) + 4)) << 32;
}
inline uint16_t be16(const void* p) {
    const auto* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}
inline uint32_t be32(const void* p) {
    return static_cast<uint32_t>(be16(p)) << 16 | be16(static_cast<const uint8_t*>(p) + 2);
}

}  // namespace qm::byteorder
