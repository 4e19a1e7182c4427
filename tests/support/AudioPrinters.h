// Readable GoogleTest output for the audio vocabulary.
#pragma once

#include <ostream>

#include "audio/SourceFormat.h"

namespace qm {

inline void PrintTo(SpeakerID s, std::ostream* os) { *os << speaker::rawValue(s); }

inline void PrintTo(const SourceFormat& f, std::ostream* os) {
    *os << f.displayName();
    if (auto* list = f.speakerList()) {
        *os << " [";
        for (size_t i = 0; i < list->size(); ++i) *os << (i ? " " : "") << speaker::rawValue((*list)[i]);
        *os << "]";
    }
}

}  // namespace qm
