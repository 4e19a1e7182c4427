// How long a test waits for what should happen soon (a thread to start, a
// server to answer, a stream to play out) before it fails. A time-out is a
// bound against hanging, never a measure of speed: it is generous, and every
// time-out of every test is multiplied by one factor that the build sets
// (QM_TEST_TIME_FACTOR: 1 normally, more under the sanitizers, whose code
// runs several times slower). The ctest time-outs use the same factor.
#pragma once

#include "platform/Sanitizers.h"

#include <chrono>

#ifndef QM_TEST_TIME_FACTOR
#define QM_TEST_TIME_FACTOR 1
#endif

namespace qm::test {

inline constexpr int kTimeFactor = QM_TEST_TIME_FACTOR;

// Whether a sanitizer instruments this build: its allocator then holds freed
// memory back (quarantine, metadata), so resident-memory bounds do not hold.
#if defined(QM_SANITIZE_ADDRESS) || defined(QM_SANITIZE_THREAD)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// `limit` stretched by the build's factor.
template <class Rep, class Period>
constexpr auto timeout(std::chrono::duration<Rep, Period> limit) {
    return limit * kTimeFactor;
}

}  // namespace qm::test
