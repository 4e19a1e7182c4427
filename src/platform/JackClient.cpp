#include "platform/JackClient.h"

#include "rt/mn_mix.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace qm::jackclient {

namespace {

// Our clients that are open, in the order opened, and those left open after
// their owners went (see closeClient).
struct Registry {
    struct Lingering {
        jack_client_t* client;
        std::shared_ptr<Watch> watch;
    };
    std::mutex lock;
    std::vector<jack_client_t*> open;
    std::vector<Lingering> lingering;
};

pid_t currentThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

Registry& registry() {
    static Registry* all = new Registry;  // never destroyed: clients may close at exit
    return *all;
}

// Whether the server of an open client of ours still serves it. The library
// refuses every request once any of its clients learned that the server
// went away, which is also when opening a new client would free the open
// ones; a request that fails says so before an open does harm.
bool serverAnswers(jack_client_t* client) {
    char* uuid = jack_get_uuid_for_client_name(client, jack_get_client_name(client));
    if (!uuid) return false;
    jack_free(uuid);
    return true;
}

}  // namespace

// No thread that delivered the client's notifications runs any more.
bool reapable(const Watch& watch) {
    for (const auto& t : watch.threads_) {
        const pid_t tid = t.load();
        if (tid != 0 && std::filesystem::exists("/proc/self/task/" + std::to_string(tid))) return false;
    }
    return true;
}

namespace {

// Closes the clients left open whose notification threads have ended, and
// those whose server answers after all (a request that failed for another
// reason: their notification threads would never end).
void reap() {
    std::vector<jack_client_t*> done;
    {
        Registry& r = registry();
        std::lock_guard guard(r.lock);
        std::erase_if(r.lingering, [&](const Registry::Lingering& l) {
            if (!reapable(*l.watch) && (l.watch->serverGone() || !serverAnswers(l.client))) return false;
            done.push_back(l.client);
            return true;
        });
    }
    for (jack_client_t* c : done) jack_client_close(c);
}

}  // namespace

Watch::Watch(void* owner) : owner_(owner), ownerThread_(currentThread()) {}

Watch::Access Watch::enter() {
    const pid_t self = currentThread();
    // The library calls some callbacks once on the thread that sets them,
    // which is no notification thread.
    for (auto& t : threads_) {
        if (self == ownerThread_) break;
        pid_t seen = t.load();
        if (seen == self) break;
        if (seen == 0 && t.compare_exchange_strong(seen, self)) break;
        if (seen == self) break;  // another callback of this thread won the slot
    }
    std::unique_lock hold(lock_);
    return Access{std::move(hold), owner_};
}

void Watch::release() {
    std::lock_guard guard(lock_);
    owner_ = nullptr;
}

jack_client_t* openClient(const char* name, jack_status_t* statusOut) {
    static const bool quiet = [] {
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        return true;
    }();
    (void)quiet;
    reap();
    Registry& r = registry();
    auto status = static_cast<jack_status_t>(JackFailure | JackServerFailed);
    bool waiting = false;
    jack_client_t* probe = nullptr;
    {
        std::lock_guard guard(r.lock);
        waiting = !r.lingering.empty();
        if (!r.open.empty()) probe = r.open.front();
    }
    if (waiting || (probe && !serverAnswers(probe))) {
        if (statusOut) *statusOut = status;
        return nullptr;
    }
    std::minstd_rand rng(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 41));
        jack_client_t* c = jack_client_open(name, JackNoStartServer, &status);
        if (c) {
            std::lock_guard guard(r.lock);
            r.open.push_back(c);
            return c;
        }
        if (status & JackServerFailed) break;  // no server to ask again
    }
    if (statusOut) *statusOut = status;
    return nullptr;
}

void closeClient(jack_client_t* client, std::shared_ptr<Watch> watch) {
    if (!client) return;
    Registry& r = registry();
    {
        std::lock_guard guard(r.lock);
        std::erase(r.open, client);
    }
    if (watch) watch->release();
    const bool gone = watch && (watch->serverGone() || !serverAnswers(client));
    if (gone && !reapable(*watch)) {
        // Stops the process callback, which reaches the owner directly.
        jack_deactivate(client);
        std::lock_guard guard(r.lock);
        r.lingering.push_back({client, std::move(watch)});
        return;
    }
    jack_client_close(client);
}

void setStreamCallbacks(jack_client_t* client, Watch* watch, void (*serverGone)(void* owner)) {
    watch->onServerGone = serverGone;
    jack_on_info_shutdown(
        client,
        [](jack_status_t, const char*, void* arg) {
            auto* w = static_cast<Watch*>(arg);
            auto access = w->enter();
            w->noteServerGone();
            if (access.owner && w->onServerGone) w->onServerGone(access.owner);
        },
        watch);
    jack_set_thread_init_callback(client, [](void*) { mn_fpu_flush_denormals(); }, nullptr);
    jack_set_xrun_callback(
        client,
        [](void* arg) {
            auto* w = static_cast<Watch*>(arg);
            auto access = w->enter();
            w->xruns.fetch_add(1);
            return 0;
        },
        watch);
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
