// The sample rates the system accepts: from the lowest telephone-grade
// rates to eight times 96 kHz. A header may state any 32-bit number; every
// stage that sizes buffers, filters or delays from a rate relies on this
// range, so files outside it are refused where they are opened.
//
// Any thread.
#pragma once

namespace qm::sampleRate {

inline constexpr double kLowest = 1000;
inline constexpr double kHighest = 768000;

inline bool plausible(double hz) { return hz >= kLowest && hz <= kHighest; }

}  // namespace qm::sampleRate
