// The streams of each sound system behind AudioOutputs and AudioDuplexes,
// which choose among them: JACK when a server answers, else PipeWire when a
// daemon answers, else ALSA's "default" device (no monitor), else the silent
// output. For the platform layer's own files only.
#pragma once

#include "platform/AudioDuplex.h"
#include "platform/AudioOutput.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::backends {

// A device's UID begins with its system's prefix.
inline constexpr const char* jackPrefix = "jack:";
inline constexpr const char* pipewirePrefix = "pw:";
inline constexpr const char* alsaPrefix = "alsa:";

// The PipeWire node a "pw:" device or source stands for.
inline std::string pipewireNodeName(const std::string& uid) { return uid.substr(std::string_view(pipewirePrefix).size()); }

// Each system's playback devices in its order, or none when it does not
// answer (no server, no daemon, no device).
std::optional<std::vector<OutputEndpoint>> jackOutputs();
std::optional<std::vector<OutputEndpoint>> pipewireOutputs();
std::optional<std::vector<OutputEndpoint>> alsaOutputs();

std::unique_ptr<AudioOutput> openJackOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                            std::function<void()> onChange);
std::unique_ptr<AudioOutput> openPipeWireOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                                std::function<void()> onChange);
std::unique_ptr<AudioOutput> openAlsaOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                            std::function<void()> onChange);

// The sources of JACK and of PipeWire, or none when the system does not answer.
std::optional<std::vector<SourceEndpoint>> jackSources();
std::optional<std::vector<SourceEndpoint>> pipewireSources();

std::unique_ptr<AudioDuplex> openJackDuplex(const SourceEndpoint& source, const OutputEndpoint& output,
                                            DuplexProcessFn process, void* user,
                                            std::function<void(DuplexChange)> onChange);
std::unique_ptr<AudioDuplex> openPipeWireDuplex(const SourceEndpoint& source, const OutputEndpoint& output,
                                                DuplexProcessFn process, void* user,
                                                std::function<void(DuplexChange)> onChange);

}  // namespace qm::backends
