#include "platform/JackClient.h"

#include "rt/mn_mix.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>
#include <thread>

namespace qm::jackclient {

jack_client_t* openClient(const char* name, jack_status_t* statusOut) {
    static const bool quiet = [] {
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        return true;
    }();
    (void)quiet;
    std::minstd_rand rng(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    jack_status_t status{};
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 41));
        jack_client_t* c = jack_client_open(name, JackNoStartServer, &status);
        if (c) return c;
    }
    if (statusOut) *statusOut = status;
    return nullptr;
}

void setStreamCallbacks(jack_client_t* client, std::atomic<int64_t>* xruns) {
    jack_set_thread_init_callback(client, [](void*) { mn_fpu_flush_denormals(); }, nullptr);
    jack_set_xrun_callback(
        client,
        [](void* arg) {
            static_cast<std::atomic<int64_t>*>(arg)->fetch_add(1);
            return 0;
        },
        xruns);
}

std::string clientOf(std::string_view port) {
    const auto colon = port.find(':');
    return std::string(colon == std::string_view::npos ? port : port.substr(0, colon));
}

bool isOwnClient(std::string_view client) {
    for (std::string_view own : {std::string_view(playbackName), std::string_view(monitorName)}) {
        if (client == own) return true;
        if (client.size() > own.size() + 1 && client.substr(0, own.size()) == own && client[own.size()] == '-' &&
            std::all_of(client.begin() + static_cast<std::ptrdiff_t>(own.size()) + 1, client.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
            return true;
    }
    return false;
}

std::vector<ClientPorts> ports(jack_client_t* client, unsigned long flags) {
    std::vector<ClientPorts> out;
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, flags);
    if (!names) return out;
    for (const char** p = names; *p; ++p) {
        std::string owner = clientOf(*p);
        auto it = std::find_if(out.begin(), out.end(), [&](const ClientPorts& c) { return c.client == owner; });
        if (it == out.end()) it = out.insert(out.end(), ClientPorts{std::move(owner), {}});
        it->ports.emplace_back(*p);
    }
    jack_free(names);
    return out;
}

}  // namespace qm::jackclient
