#include "support/PipeWireDaemon.h"

#include "support/Timeouts.h"

#include <nlohmann/json.hpp>
#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The sink's line of the daemon's configuration: a null sink that drives its
// own graph (without node.driver a client playing to it never advances).
std::string sinkObject(const PipeWireDaemon::Sink& s, bool isDefault) {
    std::string positions;
    for (const auto& p : s.positions) positions += (positions.empty() ? "" : " ") + p;
    return "{ factory.name = support.null-audio-sink node.name = \"" + s.name + "\" node.description = \"" +
           s.description + "\" media.class = Audio/Sink object.linger = true node.driver = true" +
           (isDefault ? " priority.session = 2000 priority.driver = 2000" : " priority.session = 1000") +
           " audio.position = [ " + positions + " ] }";
}

void stopProcess(pid_t& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    const auto end = std::chrono::steady_clock::now() + timeout(std::chrono::seconds(5));
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    pid = -1;
}

}  // namespace

const std::vector<PipeWireDaemon::Sink>& PipeWireDaemon::sinks() {
    static const std::vector<Sink> all{
        {"qm-stereo", "Test Stereo", {"FL", "FR"}},
        {"qm-51", "Test 5.1", {"FL", "FR", "FC", "LFE", "RL", "RR"}},
        {"qm-714", "Test 7.1.4", {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR", "TFL", "TFR", "TRL", "TRR"}},
        {"qm-916",
         "Test 9.1.6",
         {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR", "TFL", "TFR", "TRL", "TRR", "FLW", "FRW", "TSL", "TSR"}},
    };
    return all;
}

PipeWireDaemon::PipeWireDaemon() {
    runtime_ = (dir_ / "run").string();
    fs::create_directories(runtime_);
    fs::permissions(runtime_, fs::perms::owner_all, fs::perm_options::replace);
    fs::create_directories(dir_ / "config" / "pipewire" / "pipewire.conf.d");
    fs::create_directories(dir_ / "state");
    fs::create_directories(dir_ / "home");
    std::ofstream conf(dir_ / "config" / "pipewire" / "pipewire.conf.d" / "quillmarsh-test.conf");
    conf << "context.objects = [\n";
    for (size_t i = 0; i < sinks().size(); ++i)
        conf << "  { factory = adapter args = " << sinkObject(sinks()[i], i == 0) << " }\n";
    conf << "]\n";
    conf.close();
    // A session bus that starts no services: the session manager wants one.
    std::ofstream bus(dir_ / "bus.conf");
    bus << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << runtime_ << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
        << "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
        << "</policy></busconfig>\n";
    bus.close();
    if (const char* old = std::getenv("PIPEWIRE_RUNTIME_DIR")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("PIPEWIRE_RUNTIME_DIR", runtime_.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    bus_ = spawn({"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(), "--nofork"});
    const auto end = std::chrono::steady_clock::now() + timeout(5s);
    while (!fs::exists(runtime_ + "/bus") && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    start();
}

PipeWireDaemon::~PipeWireDaemon() {
    stop(SIGTERM);
    stopProcess(bus_, SIGTERM);
    if (hadPrevious_)
        setenv("PIPEWIRE_RUNTIME_DIR", previous_.c_str(), 1);
    else
        unsetenv("PIPEWIRE_RUNTIME_DIR");
}

std::vector<std::string> PipeWireDaemon::environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string var(*e);
        const std::string key = var.substr(0, var.find('='));
        if (key == "XDG_RUNTIME_DIR" || key == "PIPEWIRE_RUNTIME_DIR" || key == "XDG_CONFIG_HOME" ||
            key == "XDG_STATE_HOME" || key == "HOME" || key == "DBUS_SESSION_BUS_ADDRESS" || key == "DISPLAY" ||
            key == "PIPEWIRE_REMOTE")
            continue;
        env.push_back(var);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtime_);
    env.push_back("PIPEWIRE_RUNTIME_DIR=" + runtime_);
    env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
    env.push_back("XDG_STATE_HOME=" + (dir_ / "state").string());
    env.push_back("HOME=" + (dir_ / "home").string());
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus");
    return env;
}

pid_t PipeWireDaemon::spawn(const std::vector<std::string>& argv) const {
    const std::vector<std::string> env = environment();
    const std::string log = (dir_ / (fs::path(argv[0]).filename().string() + ".log")).string();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // A test that crashes takes its daemon with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        std::vector<char*> args, vars;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& v : env) vars.push_back(const_cast<char*>(v.c_str()));
        vars.push_back(nullptr);
        execvpe(args[0], args.data(), vars.data());
        _exit(127);
    }
    return pid;
}

bool PipeWireDaemon::start() {
    if (daemon_ > 0) return true;
    daemon_ = spawn({"pipewire"});
    auto end = std::chrono::steady_clock::now() + timeout(5s);
    while (!fs::exists(runtime_ + "/pipewire-0") && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    manager_ = spawn({"wireplumber"});
    end = std::chrono::steady_clock::now() + timeout(10s);
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(20ms);
    }
    stop(SIGTERM);
    return false;
}

void PipeWireDaemon::stop(int signal) {
    stopProcess(manager_, signal);
    stopProcess(daemon_, signal);
    // A killed daemon leaves its socket behind, which the next start would
    // take for the new daemon's before that one listens.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(runtime_, ignored))
        if (entry.path().filename().string().rfind("pipewire-0", 0) == 0) fs::remove(entry.path(), ignored);
}

std::optional<std::string> PipeWireDaemon::run(const std::string& command) const {
    std::string line = "env XDG_RUNTIME_DIR='" + runtime_ + "' PIPEWIRE_RUNTIME_DIR='" + runtime_ + "' " + command +
                       " 2>/dev/null";
    FILE* p = popen(line.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof(buffer), p)) out.append(buffer, n);
    if (pclose(p) != 0) return std::nullopt;
    return out;
}

bool PipeWireDaemon::removeSink(const std::string& name) const {
    return run("pw-cli destroy '" + name + "'").has_value();
}

bool PipeWireDaemon::addSink(const Sink& sink) const {
    return run("pw-cli create-node adapter '" + sinkObject(sink, false) + "'").has_value();
}

void PipeWireDaemon::forceQuantum(int frames) const {
    run("pw-metadata -n settings 0 clock.force-quantum " + std::to_string(frames));
}

bool PipeWireDaemon::ready() const {
    const std::optional<std::string> dump = run("pw-dump");
    if (!dump) return false;
    const auto all = nlohmann::json::parse(*dump, nullptr, false);
    if (!all.is_array()) return false;
    bool hasDefault = false;
    std::vector<int> ids(sinks().size(), -1);
    std::vector<int> ports(sinks().size(), 0);
    for (const auto& o : all) {
        const std::string type = o.value("type", "");
        if (type.find("Metadata") != std::string::npos && o.contains("metadata")) {
            for (const auto& m : o["metadata"])
                if (m.value("key", "") == "default.audio.sink") hasDefault = true;
        }
        if (!o.contains("info") || !o["info"].is_object() || !o["info"].contains("props")) continue;
        const auto& props = o["info"]["props"];
        if (type.find("Node") != std::string::npos) {
            for (size_t i = 0; i < sinks().size(); ++i)
                if (props.value("node.name", "") == sinks()[i].name) ids[i] = o.value("id", -1);
        }
    }
    for (const auto& o : all) {
        if (o.value("type", "").find("Port") == std::string::npos || !o.contains("info")) continue;
        const auto& props = o["info"]["props"];
        if (props.value("port.direction", "") != "in") continue;
        const int node = props.value("node.id", -2);
        for (size_t i = 0; i < sinks().size(); ++i) ports[i] += node == ids[i];
    }
    for (size_t i = 0; i < sinks().size(); ++i)
        if (ports[i] != static_cast<int>(sinks()[i].positions.size())) return false;
    return hasDefault;
}

PipeWireDaemon& sharedPipeWire() {
    static PipeWireDaemon daemon;
    return daemon;
}

namespace {

std::optional<std::string> variable(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

}  // namespace

OnlySound::OnlySound(System system)
    : system_(system), jack_(variable("JACK_DEFAULT_SERVER")), pipewire_(variable("PIPEWIRE_RUNTIME_DIR")),
      alsa_(variable("ALSA_CONFIG_PATH")) {
    writeBytes(dir_ / "asound.conf", "# no device\n");
    setenv("ALSA_CONFIG_PATH", (dir_ / "asound.conf").c_str(), 1);
    if (system == System::pipewire)
        setenv("JACK_DEFAULT_SERVER", ("qm-no-server-" + std::to_string(getpid())).c_str(), 1);
    else if (system == System::jack)
        setenv("PIPEWIRE_RUNTIME_DIR", (dir_ / "no-daemon").c_str(), 1);
}

// The variable of the system left reachable is its own (the daemon may set
// it meanwhile): only the others are restored.
OnlySound::~OnlySound() {
    if (system_ == System::jack) restore("PIPEWIRE_RUNTIME_DIR", pipewire_);
    if (system_ == System::pipewire) restore("JACK_DEFAULT_SERVER", jack_);
    restore("ALSA_CONFIG_PATH", alsa_);
}

std::optional<PipeWireDaemon::Latency> PipeWireDaemon::portLatency(const std::string& node, const std::string& port,
                                                                  const std::string& direction) const {
    const std::optional<std::string> dump = run("pw-dump");
    if (!dump) return std::nullopt;
    const auto all = nlohmann::json::parse(*dump, nullptr, false);
    if (!all.is_array()) return std::nullopt;
    int nodeID = -1;
    for (const auto& o : all) {
        if (o.value("type", "").find("Node") == std::string::npos || !o.contains("info")) continue;
        if (o["info"]["props"].value("node.name", "") == node) nodeID = o.value("id", -1);
    }
    if (nodeID < 0) return std::nullopt;
    for (const auto& o : all) {
        if (o.value("type", "").find("Port") == std::string::npos || !o.contains("info")) continue;
        const auto& info = o["info"];
        if (info["props"].value("node.id", -2) != nodeID || info["props"].value("port.name", "") != port) continue;
        // A port that declares nothing has none, as the graph takes it.
        if (!info.contains("params") || !info["params"].contains("Latency")) return Latency{};
        for (const auto& l : info["params"]["Latency"]) {
            if (l.value("direction", "") != direction) continue;
            return Latency{l.value("minQuantum", 0.0), l.value("maxQuantum", 0.0), l.value("minRate", int64_t{0}),
                           l.value("maxRate", int64_t{0}),  l.value("minNs", int64_t{0}),
                           l.value("maxNs", int64_t{0})};
        }
        return Latency{};
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------

struct PipeWireTestNode::Impl {
    static constexpr size_t kCycles = 1 << 16;

    Kind kind = Kind::recorder;
    std::string name;
    int channels = 0;
    std::vector<std::vector<float>> data;  // the recording, or the signal
    int64_t capacity = 0;
    bool loop = false;
    std::string mediaClass;
    std::atomic<int64_t> frames{0};
    std::vector<int64_t> cycleFrames, cycleClocks, cycleNanos;
    std::atomic<double> rate{48000.0};
    std::atomic<size_t> cycles{0};

    pw_thread_loop* threadLoop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_filter* filter = nullptr;
    spa_hook hook{};
    std::vector<void*> ports;
    bool connected = false;

    static void process(void* arg, spa_io_position* position) {
        auto* self = static_cast<Impl*>(arg);
        if (!position) return;
        const auto n = static_cast<uint32_t>(position->clock.duration);
        const int64_t at = self->frames.load(std::memory_order_relaxed);
        const size_t cycle = self->cycles.load(std::memory_order_relaxed);
        if (cycle < kCycles) {
            self->cycleFrames[cycle] = at;
            self->cycleClocks[cycle] = static_cast<int64_t>(position->clock.position);
            self->cycleNanos[cycle] = static_cast<int64_t>(position->clock.nsec);
            if (position->clock.rate.num > 0)
                self->rate.store(static_cast<double>(position->clock.rate.denom) / position->clock.rate.num,
                                 std::memory_order_relaxed);
            self->cycles.store(cycle + 1, std::memory_order_release);
        }
        for (int c = 0; c < self->channels; ++c) {
            auto* buffer = static_cast<float*>(pw_filter_get_dsp_buffer(self->ports[static_cast<size_t>(c)], n));
            if (!buffer) continue;
            auto& channel = self->data[static_cast<size_t>(c)];
            for (uint32_t t = 0; t < n; ++t) {
                const int64_t f = at + t;
                if (self->kind == Kind::recorder) {
                    if (f < self->capacity) channel[static_cast<size_t>(f)] = buffer[t];
                } else {
                    const auto len = static_cast<int64_t>(channel.size());
                    const int64_t i = self->loop && len > 0 ? f % len : f;
                    buffer[t] = i < len ? channel[static_cast<size_t>(i)] : 0.0f;
                }
            }
        }
        self->frames.store(at + n, std::memory_order_release);
    }

    bool open() {
        pw_init(nullptr, nullptr);
        cycleFrames.assign(kCycles, 0);
        cycleClocks.assign(kCycles, 0);
        cycleNanos.assign(kCycles, 0);
        threadLoop = pw_thread_loop_new("QM.TestNode", nullptr);
        context = pw_context_new(pw_thread_loop_get_loop(threadLoop), nullptr, 0);
        if (!context || pw_thread_loop_start(threadLoop) != 0) return false;
        pw_thread_loop_lock(threadLoop);
        core = pw_context_connect(context, nullptr, 0);
        if (core) {
            pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_NODE_NAME, name.c_str(),
                                                     PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
            if (!mediaClass.empty()) pw_properties_set(props, PW_KEY_MEDIA_CLASS, mediaClass.c_str());
            filter = pw_filter_new(core, name.c_str(), props);
            static const pw_filter_events events = [] {
                pw_filter_events e{};
                e.version = PW_VERSION_FILTER_EVENTS;
                e.process = &Impl::process;
                return e;
            }();
            pw_filter_add_listener(filter, &hook, &events, this);
            for (int c = 0; c < channels; ++c) {
                const std::string port = (kind == Kind::recorder ? "in_" : "out_") + std::to_string(c + 1);
                ports.push_back(pw_filter_add_port(
                    filter, kind == Kind::recorder ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                    PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                    pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, port.c_str(),
                                      nullptr),
                    nullptr, 0));
            }
            connected = pw_filter_connect(filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) == 0;
        }
        pw_thread_loop_unlock(threadLoop);
        return connected;
    }

    ~Impl() {
        if (threadLoop) {
            pw_thread_loop_lock(threadLoop);
            if (filter) pw_filter_destroy(filter);
            if (core) pw_core_disconnect(core);
            pw_thread_loop_unlock(threadLoop);
            pw_thread_loop_stop(threadLoop);
        }
        if (context) pw_context_destroy(context);
        if (threadLoop) pw_thread_loop_destroy(threadLoop);
    }
};

PipeWireTestNode::PipeWireTestNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeWireTestNode::~PipeWireTestNode() = default;

std::unique_ptr<PipeWireTestNode> PipeWireTestNode::recorder(const std::string& name, int channels,
                                                             int64_t capacityFrames, const std::string& mediaClass) {
    auto impl = std::make_unique<Impl>();
    impl->kind = Kind::recorder;
    impl->mediaClass = mediaClass;
    impl->name = name;
    impl->channels = channels;
    impl->capacity = capacityFrames;
    impl->data.assign(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(capacityFrames), 0.0f));
    impl->open();
    return std::unique_ptr<PipeWireTestNode>(new PipeWireTestNode(std::move(impl)));
}

std::unique_ptr<PipeWireTestNode> PipeWireTestNode::source(const std::string& name,
                                                           std::vector<std::vector<float>> signal, bool loop,
                                                           const std::string& mediaClass) {
    auto impl = std::make_unique<Impl>();
    impl->mediaClass = mediaClass;
    impl->kind = Kind::source;
    impl->name = name;
    impl->channels = static_cast<int>(signal.size());
    impl->data = std::move(signal);
    impl->loop = loop;
    impl->open();
    return std::unique_ptr<PipeWireTestNode>(new PipeWireTestNode(std::move(impl)));
}

bool PipeWireTestNode::ok() const { return impl_->connected; }

void PipeWireTestNode::declareLatency(int64_t frames) {
    if (!impl_->connected) return;
    // A source's latency lies upstream of its outputs (the capture side,
    // which the graph's output direction carries downstream), a sink's
    // downstream of its inputs (the playback side, the input direction).
    spa_latency_info info = SPA_LATENCY_INFO(impl_->kind == Kind::source ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT);
    info.min_rate = info.max_rate = static_cast<uint32_t>(frames);
    pw_thread_loop_lock(impl_->threadLoop);
    for (void* port : impl_->ports) {
        uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[1] = {spa_latency_build(&b, SPA_PARAM_Latency, &info)};
        pw_filter_update_params(impl_->filter, port, params, 1);
    }
    pw_thread_loop_unlock(impl_->threadLoop);
}

bool PipeWireTestNode::linkFrom(const PipeWireDaemon& daemon, const std::string& otherPort, int port) const {
    const std::string ours = impl_->name + ":in_" + std::to_string(port);
    for (int attempt = 0; attempt < 100; ++attempt) {  // the node's ports appear once the daemon has it
        if (daemon.run("pw-link '" + otherPort + "' '" + ours + "'")) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

bool PipeWireTestNode::linkTo(const PipeWireDaemon& daemon, int port, const std::string& otherPort) const {
    const std::string ours = impl_->name + ":out_" + std::to_string(port);
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (daemon.run("pw-link '" + ours + "' '" + otherPort + "'")) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

int64_t PipeWireTestNode::frames() const { return impl_->frames.load(std::memory_order_acquire); }

const std::vector<float>& PipeWireTestNode::channel(int c) const { return impl_->data[static_cast<size_t>(c)]; }

int64_t PipeWireTestNode::clockAt(int64_t frame) const {
    const size_t n = impl_->cycles.load(std::memory_order_acquire);
    const auto begin = impl_->cycleFrames.begin(), end = begin + static_cast<std::ptrdiff_t>(n);
    auto it = std::upper_bound(begin, end, frame);
    if (it == begin) return -1;
    --it;
    const size_t i = static_cast<size_t>(it - begin);
    if (i + 1 == n && frame >= frames()) return -1;
    return impl_->cycleClocks[i] + (frame - *it);
}

int64_t PipeWireTestNode::nanosAt(int64_t frame) const {
    const size_t n = impl_->cycles.load(std::memory_order_acquire);
    const auto begin = impl_->cycleFrames.begin(), end = begin + static_cast<std::ptrdiff_t>(n);
    auto it = std::upper_bound(begin, end, frame);
    if (it == begin) return -1;
    const auto i = static_cast<size_t>(it - begin - 1);
    return impl_->cycleNanos[i] + static_cast<int64_t>(static_cast<double>(frame - impl_->cycleFrames[i]) * 1e9 /
                                                         impl_->rate.load(std::memory_order_relaxed));
}

int64_t PipeWireTestNode::frameAt(int64_t clock) const {
    const size_t n = impl_->cycles.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        const int64_t length = (i + 1 < n ? impl_->cycleFrames[i + 1] : frames()) - impl_->cycleFrames[i];
        if (clock >= impl_->cycleClocks[i] && clock < impl_->cycleClocks[i] + length)
            return impl_->cycleFrames[i] + (clock - impl_->cycleClocks[i]);
    }
    return -1;
}

int PipeWireTestNode::missed() const {
    const size_t n = impl_->cycles.load(std::memory_order_acquire);
    int missed = 0;
    for (size_t i = 1; i < n; ++i) {
        const int64_t ran = impl_->cycleFrames[i] - impl_->cycleFrames[i - 1];
        missed += impl_->cycleClocks[i] - impl_->cycleClocks[i - 1] > ran;
    }
    return missed;
}

bool PipeWireTestNode::steadyAt(int64_t clock) const {
    const size_t n = impl_->cycles.load(std::memory_order_acquire);
    for (size_t i = 1; i + 1 < n; ++i) {
        if (clock < impl_->cycleClocks[i] || clock >= impl_->cycleClocks[i + 1]) continue;
        const int64_t ran = impl_->cycleFrames[i] - impl_->cycleFrames[i - 1];
        const int64_t next = impl_->cycleFrames[i + 1] - impl_->cycleFrames[i];
        return impl_->cycleClocks[i] - impl_->cycleClocks[i - 1] == ran &&
               impl_->cycleClocks[i + 1] - impl_->cycleClocks[i] == next;
    }
    return false;
}

int64_t PipeWireTestNode::firstSound(int64_t from) const {
    const int64_t end = std::min(frames(), impl_->capacity);
    for (int64_t f = std::max<int64_t>(from, 0); f < end; ++f)
        for (int c = 0; c < impl_->channels; ++c)
            if (impl_->data[static_cast<size_t>(c)][static_cast<size_t>(f)] != 0.0f) return f;
    return -1;
}

}  // namespace qm::test
