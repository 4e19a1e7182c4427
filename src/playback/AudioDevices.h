// The machine's audio output devices, read afresh from the sound server on
// every call (nothing is cached). Main thread.
#pragma once

#include "audio/Speakers.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioOutput.h"

namespace qm {

struct AudioOutputDevice {
    uint32_t id = 0;         // stable object id derived from the UID, never 0
    std::string uid;         // what output profiles store as deviceUID
    std::string name;        // display name; the UID when the device has none
    int outputChannels = 0;  // at least 1
    // Where each channel plays, when the system says (PipeWire sinks, ALSA
    // devices with a channel map); empty otherwise, and an entry without a
    // value where a position names no speaker of ours.
    ChannelSpeakers speakers = {};
    // The system's names of those positions ("FL", "TFL", "AUX0"), in
    // channel order; empty when it says nothing.
    std::vector<std::string> positions = {};

    bool operator==(const AudioOutputDevice&) const = default;
};

namespace AudioDevices {

// Every device with at least one output channel, in the server's order.
std::vector<AudioOutputDevice> allOutputs();
// Every source a bus can arrive from (a client with audio outputs, ours
// excepted), in the server's order, with its channel count in
// `outputChannels`; the same ids as allOutputs() for the same UID.
std::vector<AudioOutputDevice> allInputs();
// "System Output" for no UID; the name of the first listed device with that
// UID; "Unavailable device" when none has it.
std::string name(const std::optional<std::string>& uid);
// The same, among devices already listed (AudioOutputs::list()).
std::string name(const std::optional<std::string>& uid, const std::vector<OutputEndpoint>& listed);
std::optional<uint32_t> deviceID(const std::string& uid);
// The channel count of the device with that id; 0 when there is none.
int outputChannels(uint32_t id);
// The speakers of a list of PipeWire position names ("FL", "TRL"): the rear
// pair is the surrounds of a layout without side speakers and the rear
// surrounds of one with them; a position we have no speaker for (an AUX
// channel) is none. allOutputs() gives each device its speakers this way.
ChannelSpeakers speakersAt(const std::vector<std::string>& positions);

}  // namespace AudioDevices

}  // namespace qm

template <>
struct std::hash<qm::AudioOutputDevice> {
    size_t operator()(const qm::AudioOutputDevice& d) const noexcept {
        size_t h = std::hash<std::string>()(d.uid);
        h ^= std::hash<std::string>()(d.name) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= (static_cast<size_t>(d.id) << 16) ^ static_cast<size_t>(d.outputChannels);
        return h;
    }
};
