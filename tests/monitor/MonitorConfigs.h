// Node configurations the monitor's tests share.
#pragma once

#include "monitor/MonitorMatrix.h"

namespace qm::test {

// A stereo bus starting at source channel `offset`, upmixed to `target`
// speakers on the device's first channels in layout order.
inline MixConfig stereoUpmixed(LayoutID target, int inputChannels, int deviceChannels, int64_t offset = 0,
                               double volumeDB = 0) {
    MonitorState s;
    s.source = MonitorSource::stereo;
    s.upmix.enabled = true;
    s.sourceOffset = offset;
    s.volumeDB = volumeDB;
    OutputProfile p;
    p.layout = target;
    return MonitorMatrix::build(s, inputChannels, p, deviceChannels);
}

}  // namespace qm::test
