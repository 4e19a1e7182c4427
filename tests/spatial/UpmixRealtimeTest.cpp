// The upmix kernel on the audio thread: no allocation, no lock, no system
// call while processing, and plans swapped by another thread while it runs.
#include "spatial/Upmixer.h"
#include "platform/Sanitizers.h"
#include "rt/mn_mix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "support/Timeouts.h"

// ThreadSanitizer traps signals and system calls of its own, and the strict
// seccomp child is x86-64's.
#if !defined(QM_SANITIZE_THREAD) && defined(__x86_64__)
#define QM_COUNT_REALTIME_CALLS 1
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/CallCounters.h"
#endif

namespace qm {
namespace {

using S = SpeakerID;

struct Rig {
    ManualMainQueue retired;
    std::shared_ptr<Upmixer> up;
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> ip;
    std::vector<float*> op;
    int block;

    Rig(LayoutID target, UpmixPreset preset, int block_) : block(block_) {
        const auto T = layout::speakers(target);
        up = Upmixer::create(2, static_cast<int>(T.size()), 48000, retired);
        up->apply({{S::L, S::R}, T, upmixPreset::params(preset)});
        in.assign(2, std::vector<float>(block));
        out.assign(T.size(), std::vector<float>(block));
        for (auto& v : in) ip.push_back(v.data());
        for (auto& v : out) op.push_back(v.data());
    }
    // A sine on the left and a sine of another frequency on the right.
    void fill(long start) {
        for (int i = 0; i < block; ++i) {
            in[0][i] = 0.5f * std::sin(0.0575f * float(start + i));
            in[1][i] = 0.5f * std::sin(0.0413f * float(start + i));
        }
    }
    void process() { mn_upmix_process(up->raw(), ip.data(), block, op.data()); }
};

#if defined(QM_COUNT_REALTIME_CALLS)
TEST(UpmixRealtime, ProcessAllocatesLocksAndCallsNothing) {
    // The film preset uses every stage: curves, decorrelation, delays and
    // the LFE split.
    Rig rig(LayoutID::l916, UpmixPreset::film, 256);
    for (int i = 0; i < 50; ++i) rig.process();
    {
        test::AllocationCounter counter;
        test::LockCounter locks;
        for (int i = 0; i < 400; ++i) {
            rig.fill(i * 256L);
            rig.process();
        }
        EXPECT_EQ(counter.count(), 0);
        EXPECT_EQ(locks.count(), 0);
    }
    // The lock counter does see locks (where it counts them).
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    {
        test::LockCounter locks;
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
        EXPECT_EQ(locks.count(), test::LockCounter::available() ? 1 : 0);
    }

    // In a child that the kernel kills on any system call but read, write
    // and exit.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) syscall(SYS_exit, 2);
        for (int i = 0; i < 400; ++i) {
            rig.fill(i * 256L);
            rig.process();
        }
        syscall(SYS_exit, 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "exit status");
}
#endif

TEST(UpmixRealtime, PlanSwapsUnderLoad) {
    Rig rig(LayoutID::l714, UpmixPreset::music, 256);
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    double maxAbs = 0, maxStep = 0;
    bool finite = true;
    std::thread render([&] {
        mn_fpu_flush_denormals();
        std::vector<float> last(rig.out.size(), 0.0f);
        long t = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            rig.fill(t);
            rig.process();
            t += rig.block;
            if (t > 4096) {
                for (size_t o = 0; o < rig.out.size(); ++o) {
                    for (float v : rig.out[o]) {
                        finite = finite && std::isfinite(v);
                        maxAbs = std::max(maxAbs, double(std::fabs(v)));
                        maxStep = std::max(maxStep, double(std::fabs(v - last[o])));
                        last[o] = v;
                    }
                }
            } else {
                for (size_t o = 0; o < rig.out.size(); ++o) last[o] = rig.out[o].back();
            }
            frames.store(t, std::memory_order_release);
        }
    });
    // Alternate between presets (the delays, curves and pan tables change)
    // and let the retire queue free replaced plans as it would on the main
    // thread.
    const auto T = layout::speakers(LayoutID::l714);
    const UpmixPreset cycle[] = {UpmixPreset::film, UpmixPreset::hall, UpmixPreset::music, UpmixPreset::game};
    int swaps = 0;
    // At least 1.5 s, 40 swaps and a second of audio rendered, however
    // slowly the machine runs the render thread (within the time-out).
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    const auto timeLimit = std::chrono::steady_clock::now() + test::timeout(std::chrono::seconds(60));
    while ((std::chrono::steady_clock::now() < until || swaps < 40 || frames.load() <= 48000) &&
           std::chrono::steady_clock::now() < timeLimit) {
        rig.up->apply({{S::L, S::R}, T, upmixPreset::params(cycle[swaps % 4])});
        const long swappedAt = frames.load(std::memory_order_acquire);
        ++swaps;
        // The grace period is all that separates the render thread's last
        // read of a plan from its release. The queue's clock runs 30 times
        // faster than the wall clock here, so the test first waits until the
        // render thread has finished the block that may still read the old
        // plan (two blocks on from the new plan's publication; building it
        // may outlast several blocks): however late a loaded machine runs that
        // thread, no plan is freed under it.
        const auto late = std::chrono::steady_clock::now() + test::timeout(std::chrono::seconds(5));
        while (frames.load(std::memory_order_acquire) < swappedAt + 2 * rig.block &&
               std::chrono::steady_clock::now() < late)
            std::this_thread::yield();
        rig.retired.advance(30 * 0.005);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    render.join();
    rig.retired.advance(kRetireSeconds);
    EXPECT_GT(frames.load(), 48000);
    EXPECT_TRUE(finite);
    // Two sines of amplitude 0.5 change by at most 0.03 per sample; the
    // plans' gains, delays and crossfades stay within a few times that.
    EXPECT_LT(maxAbs, 2.0);
    EXPECT_LT(maxStep, 0.1);
    RecordProperty("swaps", swaps);
    RecordProperty("maxStep", std::to_string(maxStep));
}

}  // namespace
}  // namespace qm
