// Shared pieces of the libFuzzer harnesses: a scratch file for the readers
// that only take paths, and the round-trip check of the JSON decoders.
//
// A harness process runs one input at a time on one thread, so the scratch
// folder (made once per process, under /dev/shm when there is one, removed
// at exit) needs no locking.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qm::fuzz {

inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        auto dir = base / ("qm-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        static struct Remover {
            std::filesystem::path dir;
            ~Remover() {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        } remover{dir};
        return dir;
    }();
    return folder;
}

// Writes the input whole to `name` in the scratch folder and gives its path.
inline std::filesystem::path writeScratch(const std::string& name, const uint8_t* data, size_t size) {
    auto path = scratchFolder() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                   static_cast<std::streamsize>(size));
    return path;
}

inline std::string_view text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input as JSON, or null when it is no JSON at all.
inline nlohmann::json parseOrNull(const uint8_t* data, size_t size) {
    auto j = nlohmann::json::parse(text(data, size), nullptr, false);
    return j.is_discarded() ? nlohmann::json() : j;
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// A value the decoder accepted must come back equal from its own encoding.
template <class T>
void checkRoundTrip(const T& value) {
    T again{};
    nlohmann::json j = value;
    from_json(nlohmann::json::parse(j.dump()), again);
    if (!(again == value)) fail("decoded value does not survive its own encoding");
}

// Decodes the input as a T; what the decoder accepts must round-trip.
template <class T>
void checkDecoder(const uint8_t* data, size_t size) {
    T value{};
    try {
        from_json(parseOrNull(data, size), value);
    } catch (const nlohmann::json::exception&) {
        return;  // refused as documented
    }
    checkRoundTrip(value);
}

}  // namespace qm::fuzz
