// A window of another program that records the keys it receives (the
// qm_key_recorder client, started in a DesktopSession): tests make one with
// the WM_CLASS, _NET_WM_PID and process name of the program it stands for,
// type at it, and read back what arrived, in order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/DesktopSession.h"
#include "support/TempDir.h"

namespace qm {
class DesktopWindows;
}

namespace qm::test {

struct RecordedKey {
    bool press = false;
    std::string keysym;      // the key's first-level keysym, "space", "KP_Enter"
    unsigned state = 0;      // modifier state of the event
    int64_t monotonicNs = 0; // when it arrived (CLOCK_MONOTONIC, steady_clock's clock)
};

class KeyRecorder {
public:
    struct Options {
        std::string instance = "qmrecorder";
        std::string windowClass = "QmRecorder";
        std::string processName = {};  // empty: the client's own
        int netWmPid = -1;        // -1: its own pid; 0: none
        bool takesFocus = true;   // false: WM_HINTS input False
        int x = 50, y = 50;
    };

    KeyRecorder(DesktopSession& session, Options options);
    ~KeyRecorder();
    KeyRecorder(const KeyRecorder&) = delete;
    KeyRecorder& operator=(const KeyRecorder&) = delete;

    // The window is managed and shown (else failure() says why).
    bool ok() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    unsigned long window() const { return window_; }
    pid_t pid() const { return pid_; }

    // Every key received so far, in order.
    std::vector<RecordedKey> keys() const;
    // Waits until at least `count` keys have arrived.
    bool waitForKeys(size_t count, double seconds = 10) const;
    // Brings the window to the front and waits until it is active.
    bool activate();

private:
    DesktopSession& session_;
    TempDir folder_;
    std::string failure_;
    pid_t pid_ = -1;
    unsigned long window_ = 0;
};

}  // namespace qm::test
