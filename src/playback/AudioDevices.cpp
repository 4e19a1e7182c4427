#include "playback/AudioDevices.h"

#include "platform/AudioDuplex.h"
#include "platform/AudioOutput.h"

#include <algorithm>
#include <utility>

namespace qm {

namespace {

// The sound server has no object ids; a hash of the UID gives one that stays
// the same while devices come and go.
uint32_t idFor(const std::string& uid) {
    uint32_t h = 2166136261u;
    for (unsigned char c : uid) {
        h ^= c;
        h *= 16777619u;
    }
    return h == 0 ? 1 : h;
}

// The server's endpoints (outputs or sources) with at least one channel.
template <class Endpoint>
std::vector<AudioOutputDevice> devices(const std::vector<Endpoint>& endpoints) {
    std::vector<AudioOutputDevice> out;
    for (const Endpoint& e : endpoints) {
        if (e.channels < 1 || e.uid.empty()) continue;
        AudioOutputDevice d{idFor(e.uid), e.uid, e.name.empty() ? e.uid : e.name, e.channels};
        if constexpr (requires { e.positions; }) {
            d.speakers = AudioDevices::speakersAt(e.positions);
            d.positions = e.positions;
        }
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace

namespace AudioDevices {

std::vector<AudioOutputDevice> allOutputs() { return devices(AudioOutputs::list()); }

std::vector<AudioOutputDevice> allInputs() { return devices(AudioDuplexes::sources()); }

std::string name(const std::optional<std::string>& uid) {
    if (!uid) return "System Output";
    return name(uid, AudioOutputs::list());
}

std::string name(const std::optional<std::string>& uid, const std::vector<OutputEndpoint>& listed) {
    if (!uid) return "System Output";
    for (const auto& d : devices(listed)) {
        if (d.uid == *uid) return d.name;
    }
    return "Unavailable device";
}

std::optional<uint32_t> deviceID(const std::string& uid) {
    for (const auto& d : allOutputs()) {
        if (d.uid == uid) return d.id;
    }
    return std::nullopt;
}

int outputChannels(uint32_t id) {
    for (const auto& d : allOutputs()) {
        if (d.id == id) return d.outputChannels;
    }
    return 0;
}

ChannelSpeakers speakersAt(const std::vector<std::string>& positions) {
    using S = SpeakerID;
    static const std::pair<const char*, S> named[] = {
        {"FL", S::L},    {"FR", S::R},    {"FC", S::C},    {"LFE", S::LFE}, {"SL", S::Ls},   {"SR", S::Rs},
        {"RL", S::Lrs},  {"RR", S::Rrs},  {"FLW", S::Lw},  {"FRW", S::Rw},  {"TFL", S::Ltf}, {"TFR", S::Rtf},
        {"TSL", S::Ltm}, {"TSR", S::Rtm}, {"TRL", S::Ltr}, {"TRR", S::Rtr}, {"FLC", S::Lc},  {"FRC", S::Rc},
        {"RC", S::Cs},   {"TC", S::Tc},
    };
    const bool sides = std::find(positions.begin(), positions.end(), "SL") != positions.end();
    ChannelSpeakers out;
    for (const auto& p : positions) {
        std::optional<SpeakerID> speaker;
        for (const auto& [name, s] : named)
            if (p == name) speaker = s;
        if (!sides && speaker == S::Lrs) speaker = S::Ls;
        if (!sides && speaker == S::Rrs) speaker = S::Rs;
        out.push_back(speaker);
    }
    return out;
}

}  // namespace AudioDevices

}  // namespace qm
