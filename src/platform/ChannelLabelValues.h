// The published Core Audio channel-label and layout-tag values that the
// readers report and the format detector reads (AudioChannelLabel,
// AudioChannelLayoutTag). A tag's high 16 bits name the layout, its low 16
// bits the channel count.
#pragma once

#include <cstdint>

namespace qm::channel_label {

inline constexpr uint32_t kLeft = 1;
inline constexpr uint32_t kRight = 2;
inline constexpr uint32_t kCenter = 3;
inline constexpr uint32_t kLFEScreen = 4;
inline constexpr uint32_t kLeftSurround = 5;
inline constexpr uint32_t kRightSurround = 6;
inline constexpr uint32_t kLeftCenter = 7;
inline constexpr uint32_t kRightCenter = 8;
inline constexpr uint32_t kCenterSurround = 9;
inline constexpr uint32_t kLeftSurroundDirect = 10;
inline constexpr uint32_t kRightSurroundDirect = 11;
inline constexpr uint32_t kTopCenterSurround = 12;
inline constexpr uint32_t kVerticalHeightLeft = 13;
inline constexpr uint32_t kVerticalHeightCenter = 14;
inline constexpr uint32_t kVerticalHeightRight = 15;
inline constexpr uint32_t kTopBackLeft = 16;
inline constexpr uint32_t kTopBackCenter = 17;
inline constexpr uint32_t kTopBackRight = 18;
inline constexpr uint32_t kRearSurroundLeft = 33;
inline constexpr uint32_t kRearSurroundRight = 34;
inline constexpr uint32_t kLeftWide = 35;
inline constexpr uint32_t kRightWide = 36;
inline constexpr uint32_t kLFE2 = 37;
inline constexpr uint32_t kMono = 42;
inline constexpr uint32_t kLeftTopMiddle = 49;
inline constexpr uint32_t kRightTopMiddle = 51;
inline constexpr uint32_t kAmbisonicW = 200;
inline constexpr uint32_t kAmbisonicX = 201;
inline constexpr uint32_t kAmbisonicY = 202;
inline constexpr uint32_t kAmbisonicZ = 203;
// HOA channel n (ACN order): (2 << 16) | n with SN3D, (3 << 16) | n with N3D.
inline constexpr uint32_t kHOA_ACN_SN3D = 2u << 16;
inline constexpr uint32_t kHOA_ACN_N3D = 3u << 16;

inline constexpr uint32_t kTagUseChannelDescriptions = 0;
inline constexpr uint32_t kTagUseChannelBitmap = 1u << 16;
inline constexpr uint32_t kTagAmbisonicBFormat = (107u << 16) | 4;
inline constexpr uint32_t kTagDiscreteInOrder = 147u << 16;
inline constexpr uint32_t kTagHOA_ACN_SN3D = 190u << 16;
inline constexpr uint32_t kTagHOA_ACN_N3D = 191u << 16;

}  // namespace qm::channel_label
