// Drives a running digital audio workstation with its own keyboard
// shortcuts: a command word ("play", "save", "marker", ...) is looked up in
// a table of key combinations per workstation, the combination is parsed
// into a virtual key code and modifier flags, and the keystroke is typed
// into the workstation found among the running applications. The control
// port's "daw" command is the caller; send() answers with the one-line text
// the client gets back. Nothing is thrown and nothing is kept between
// calls: the running applications are read again each time.
//
// An application belongs to a workstation when its WM_CLASS instance or
// class, or its process name, equals one of the workstation's bundle
// identifiers or its raw value ("reaper"), ignoring case: that is how the
// workstations name themselves on this desktop.
//
// Threads: the main thread (the router's). send() may block it for
// Workstations::kRaiseWait while the workstation comes to the front.
#pragma once

#include "platform/desktop/Workstations.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class DAWControl {
public:
    // The supported workstations; the case order matters (runningDAW()).
    enum class DAW { protools, logic, reaper };
    static constexpr std::array<DAW, 3> allDAWs{DAW::protools, DAW::logic, DAW::reaper};

    struct Keystroke {
        uint16_t key = 0;    // virtual key code, US layout
        uint64_t flags = 0;  // kKeyFlag* masks
        bool operator==(const Keystroke&) const = default;
    };

    struct Found {
        DAW daw = DAW::protools;
        RunningApplication application;
        bool operator==(const Found&) const = default;
    };

    static constexpr std::string_view kAccessibilityText = "Quillmarsh needs Accessibility to drive your DAW";
    static constexpr std::string_view kNoDAWText = "No supported DAW is running";

    static std::string_view rawValue(DAW daw);
    // The workstation of a raw value, compared exactly.
    static std::optional<DAW> fromRawValue(std::string_view raw);
    static const std::vector<std::string>& bundleIDs(DAW daw);
    // Command word → combination per workstation (17 commands).
    static const std::map<std::string, std::map<DAW, std::string>, std::less<>>& commands();
    // Key word → virtual key code.
    static const std::map<std::string, uint16_t, std::less<>>& codes();
    // Modifier word → flag.
    static const std::map<std::string, uint64_t, std::less<>>& modifiers();

    // A combination such as "cmd+shift+z", in any letter case: the last
    // non-modifier word decides the key; nothing without a known key.
    static std::optional<Keystroke> parse(std::string_view combination);
    // `application` is one of `daw`'s.
    static bool belongs(const RunningApplication& application, DAW daw);

    explicit DAWControl(Workstations& workstations) : workstations_(workstations) {}

    // A frontmost workstation wins; otherwise the first running one in the
    // search order (the preference first, then the others in case order).
    std::optional<Found> runningDAW(std::optional<DAW> preferred) const;
    // Types the combination of `command` (or `command` itself taken as a
    // combination) into the workstation found, `daw` naming a preference.
    std::string send(const std::string& command, const std::optional<std::string>& daw) const;

private:
    Workstations& workstations_;
};

}  // namespace qm
