#include "support/Signals.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>

#include <sndfile.h>

namespace qm::test {

double dbToAmp(double db) { return std::pow(10.0, db / 20.0); }

std::vector<float> sine(double freq, double amp, double sr, size_t n, double phase) {
    std::vector<float> x(n);
    const double w = 2 * std::numbers::pi * freq / sr;
    for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amp * std::sin(w * i + phase));
    return x;
}

void appendSine(std::vector<float>& x, double freq, double dbfs, double sr, double seconds) {
    const size_t start = x.size();
    const size_t n = static_cast<size_t>(std::llround(seconds * sr));
    const double w = 2 * std::numbers::pi * freq / sr;
    const double a = dbToAmp(dbfs);
    x.reserve(start + n);
    for (size_t i = 0; i < n; ++i) x.push_back(static_cast<float>(a * std::sin(w * (start + i))));
}

double uniformNoise(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;
}

std::vector<float> noise(double amp, size_t n, uint64_t seed) {
    std::vector<float> x(n);
    for (auto& v : x) v = static_cast<float>(amp * uniformNoise(seed));
    return x;
}

PlanarFile readWav(const std::filesystem::path& file) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) throw std::runtime_error("cannot read " + file.string());
    std::vector<float> inter(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, inter.data(), info.frames);
    sf_close(f);
    PlanarFile out;
    out.sampleRate = info.samplerate;
    out.channels.assign(static_cast<size_t>(info.channels), std::vector<float>(static_cast<size_t>(got)));
    for (sf_count_t i = 0; i < got; ++i)
        for (int c = 0; c < info.channels; ++c)
            out.channels[c][i] = inter[static_cast<size_t>(i * info.channels + c)];
    return out;
}

namespace {

void putVarLen(std::string& s, uint32_t v) {
    char buf[5];
    int n = 0;
    buf[n++] = static_cast<char>(v & 0x7F);
    while (v >>= 7) buf[n++] = static_cast<char>((v & 0x7F) | 0x80);
    while (n) s.push_back(buf[--n]);
}

void putBE(std::string& s, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

void writeMidi(const std::filesystem::path& file, const MidiSong& song) {
    constexpr int ppq = 480;
    // Events by tick; note-offs sort before note-ons at the same tick.
    std::multimap<std::pair<uint32_t, int>, std::string> events;
    for (const auto& [ch, prog] : song.programs)
        events.insert({{0, 0}, {static_cast<char>(0xC0 | (ch & 15)), static_cast<char>(prog & 127)}});
    for (const auto& n : song.notes) {
        const auto on = static_cast<uint32_t>(std::llround(n.beat * ppq));
        const auto off = static_cast<uint32_t>(std::llround((n.beat + n.length) * ppq));
        const char ch = static_cast<char>(n.channel & 15);
        events.insert({{on, 2}, {static_cast<char>(0x90 | ch), static_cast<char>(n.key & 127),
                                 static_cast<char>(n.velocity & 127)}});
        events.insert({{off, 1}, {static_cast<char>(0x80 | ch), static_cast<char>(n.key & 127), 0}});
    }
    std::string track;
    putVarLen(track, 0);
    track += "\xFF\x51\x03";
    putBE(track, static_cast<uint32_t>(std::llround(60e6 / song.bpm)), 3);
    uint32_t last = 0;
    for (const auto& [key, bytes] : events) {
        putVarLen(track, key.first - last);
        last = key.first;
        track += bytes;
    }
    putVarLen(track, ppq);  // let the last notes ring for a beat
    track += std::string("\xFF\x2F\x00", 3);

    std::string out = "MThd";
    putBE(out, 6, 4);
    putBE(out, 0, 2);
    putBE(out, 1, 2);
    putBE(out, ppq, 2);
    out += "MTrk";
    putBE(out, static_cast<uint32_t>(track.size()), 4);
    out += track;
    std::ofstream(file, std::ios::binary) << out;
}

std::optional<std::filesystem::path> soundFont() {
    for (const char* p : {"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf2/default-GM.sf2"})
        if (std::filesystem::exists(p)) return std::filesystem::path(p);
    return std::nullopt;
}

std::vector<std::filesystem::path> soundFonts() {
    std::vector<std::filesystem::path> out;
    for (const char* p : {"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3"})
        if (std::filesystem::exists(p)) out.emplace_back(p);
    return out;
}

bool renderMidi(const std::filesystem::path& midi, const std::filesystem::path& wav, int sampleRate,
                const std::optional<std::filesystem::path>& chosen) {
    const auto font = chosen ? chosen : soundFont();
    if (!font) return false;
    const std::string cmd = "fluidsynth -ni -q -R 0 -C 0 -g 0.5 -F '" + wav.string() + "' -r " +
                            std::to_string(sampleRate) + " '" + font->string() + "' '" +
                            midi.string() + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 && std::filesystem::exists(wav) &&
           std::filesystem::file_size(wav) > 1000;
}

}  // namespace qm::test
