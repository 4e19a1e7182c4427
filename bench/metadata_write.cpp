// RIFFMeta::write of WAV files of 10 MB and 200 MB (and 2 GB with
// QM_BENCH_LARGE=1), beside the floor, a plain copy of the same file
// (`cp --reflink=never`, then fsync of the copy), and beside ffmpeg writing
// a metadata field into a copy of it (`-c copy`, then fsync), all timed in
// the same iterations, one after the other. Like the rewrite, which
// replaces the file it copies, each peer replaces what it wrote the
// iteration before, so all pay for freeing the old file's blocks. Bytes per
// second are the rewrite's; counters give the peers' MB/s, the ratios
// (rewrite throughput over each peer's throughput) and the rewrite's peak
// resident memory above the process's resident memory before it (the
// kernel's high-water mark, reset before each rewrite), which must not grow
// with the file.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "library/RIFFMeta.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

qm::test::TempDir& folder() {
    static qm::test::TempDir dir;
    return dir;
}

// A WAV file of `megabytes` of noise (a copy of silence could skip holes).
std::filesystem::path wavFile(int megabytes) {
    const auto file = folder() / ("take" + std::to_string(megabytes) + ".wav");
    if (std::filesystem::exists(file)) return file;
    const uint32_t audio = uint32_t(megabytes) * 1000000u;
    std::ofstream out(file, std::ios::binary);
    const std::string head = qm::test::RiffBuilder().fmt(2, 48000, 24).bytes();
    out << "RIFF" << qm::test::le32(uint32_t(head.size() - 8 + 8 + audio)) << head.substr(8) << "data"
        << qm::test::le32(audio);
    std::mt19937_64 rng(7);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t done = 0; done < audio;) {
        for (auto& v : block) v = rng();
        const uint64_t n = std::min<uint64_t>(audio - done, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(n));
        done += n;
    }
    out.close();
    // On disk before the first iteration, which would otherwise pay for it.
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) std::abort();
    ::close(fd);
    return file;
}

// The resident set's high-water mark in bytes; reset() starts it again.
struct PeakMemory {
    static void reset() {
        std::ofstream("/proc/self/clear_refs") << "5";
    }
    static double bytes(const char* key) {
        std::ifstream in("/proc/self/status");
        std::string name;
        double kb = 0;
        while (in >> name) {
            if (name == key) {
                in >> kb;
                return kb * 1024;
            }
            in.ignore(1 << 16, '\n');
        }
        return 0;
    }
};

// Runs a tool to its end, then puts what it wrote at `written` on disk.
void runAndSync(std::vector<const char*> argv, const std::filesystem::path& written) {
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0) std::abort();
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
    const int fd = ::open(written.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) std::abort();
    ::close(fd);
}

void copyAndSync(const std::filesystem::path& from, const std::filesystem::path& to) {
    runAndSync({"cp", "--reflink=never", from.c_str(), to.c_str()}, to);
}

void ffmpegAndSync(const std::filesystem::path& from, const std::filesystem::path& to) {
    runAndSync({"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", from.c_str(), "-map", "0", "-c", "copy",
                "-metadata", "comment=Door slam", to.c_str()},
               to);
}

void BM_RewriteBesideCopy(benchmark::State& state) {
    const auto file = wavFile(int(state.range(0)));
    const auto copy = folder() / "copy.wav";
    const auto tagged = folder() / "ffmpeg.wav";
    qm::SoundMeta meta;
    meta.description = "Door slam";
    meta.category = "DOORS";
    double rewriteSeconds = 0, copySeconds = 0, ffmpegSeconds = 0, peakAbove = 0;
    int n = 0;
    for (auto _ : state) {
        meta.rating = n++ % 5 + 1;
        const double before = PeakMemory::bytes("VmRSS:");
        PeakMemory::reset();
        const auto t0 = Clock::now();
        qm::RIFFMeta::write(meta, file);
        const auto t1 = Clock::now();
        peakAbove = std::max(peakAbove, PeakMemory::bytes("VmHWM:") - before);
        copyAndSync(file, copy);
        const auto t2 = Clock::now();
        ffmpegAndSync(file, tagged);
        const auto t3 = Clock::now();
        const double rewrite = std::chrono::duration<double>(t1 - t0).count();
        rewriteSeconds += rewrite;
        copySeconds += std::chrono::duration<double>(t2 - t1).count();
        ffmpegSeconds += std::chrono::duration<double>(t3 - t2).count();
        state.SetIterationTime(rewrite);
    }
    std::filesystem::remove(copy);
    std::filesystem::remove(tagged);
    const double bytes = double(std::filesystem::file_size(file)) * double(state.iterations());
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["rewrite_MBps"] = bytes / rewriteSeconds / 1e6;
    state.counters["copy_MBps"] = bytes / copySeconds / 1e6;
    state.counters["ratio"] = copySeconds / rewriteSeconds;
    state.counters["ffmpeg_MBps"] = bytes / ffmpegSeconds / 1e6;
    state.counters["ratio_ffmpeg"] = ffmpegSeconds / rewriteSeconds;
    state.counters["peak_above_MB"] = peakAbove / 1e6;
}

BENCHMARK(BM_RewriteBesideCopy)->Arg(10)->Arg(200)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

// 2 GB files outside CI only: each iteration writes 4 GB.
const bool kLarge = [] {
    if (std::getenv("QM_BENCH_LARGE"))
        BENCHMARK(BM_RewriteBesideCopy)->Arg(2000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
