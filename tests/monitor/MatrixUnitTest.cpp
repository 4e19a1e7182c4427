#include "monitor/MatrixUnit.h"

#include "monitor/MonitorConfigs.h"
#include "monitor/MonitorMatrix.h"
#include "platform/MainQueue.h"
#include "rt/mn_upmix.h"
#include "spatial/Upmixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace qm;
using S = SpeakerID;

namespace {

// Planar inputs holding a different sine on every channel, continuous from
// block to block, and planar outputs pre-filled with garbage.
struct Io {
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
    int64_t at = 0;            // first frame of the next block
    std::vector<bool> quiet;   // channels that carry silence

    Io(int inputs, int outputs, uint32_t frames)
        : in(static_cast<size_t>(inputs), std::vector<float>(frames)),
          out(static_cast<size_t>(outputs), std::vector<float>(frames)),
          quiet(static_cast<size_t>(inputs), false) {
        for (auto& c : in) inPtr.push_back(c.data());
        for (auto& c : out) outPtr.push_back(c.data());
    }
    static float sample(int channel, int64_t frame) {
        return 0.5f * static_cast<float>(
                          std::sin(2 * std::numbers::pi * (110.0 + 37.0 * channel) * static_cast<double>(frame) / 48000.0));
    }
    // Renders one block of `frames` through `unit`.
    void block(MatrixUnit& unit, uint32_t frames) {
        for (size_t c = 0; c < in.size(); ++c)
            for (uint32_t t = 0; t < frames; ++t) in[c][t] = quiet[c] ? 0.0f : sample(static_cast<int>(c), at + t);
        for (auto& c : out) std::fill(c.begin(), c.end(), 7.0f);
        unit.render(frames, inPtr.data(), static_cast<int>(inPtr.size()), outPtr.data(),
                    static_cast<int>(outPtr.size()));
        at += frames;
    }
};

MixConfig plain(int in, int rows, std::vector<float> matrix) {
    MixConfig m;
    m.inChannels = in;
    m.rows = rows;
    m.matrix = std::move(matrix);
    return m;
}

// A random-looking matrix of in x rows gains.
MixConfig dense(int in, int rows, float seed) {
    std::vector<float> g;
    for (int i = 0; i < in * rows; ++i) g.push_back(std::sin(seed + 1.7f * static_cast<float>(i)));
    return plain(in, rows, g);
}

double mixed(const MixConfig& m, const std::vector<std::vector<float>>& in, int row, uint32_t t) {
    double sum = 0;
    for (int c = 0; c < m.inChannels; ++c) sum += double(m.matrix[size_t(row * m.inChannels + c)]) * in[size_t(c)][t];
    return sum;
}

float rampUp(uint32_t t, uint32_t n) { return static_cast<float>(t + 1) * (1.0f / static_cast<float>(n)); }

// The stereo bus upmixed to 7.1.4 speakers one to one on 12 device channels.
MixConfig upmixed714(int64_t offset = 0, double volumeDB = 0) {
    return test::stereoUpmixed(LayoutID::l714, 2, 12, offset, volumeDB);
}

constexpr double tolerance = 2e-6;

}  // namespace

TEST(MatrixUnit, SilenceUntilARecordFitsTheInput) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(2, 48000);
    Io io(2, 3, 64);
    io.block(unit, 64);  // no record yet
    for (auto& c : io.out)
        for (float v : c) ASSERT_EQ(v, 0.0f);
    // A record for six inputs on a two-channel source is silent.
    unit.setConfig(dense(6, 3, 1));
    io.block(unit, 64);
    for (auto& c : io.out)
        for (float v : c) ASSERT_EQ(v, 0.0f);
    // One that fits plays.
    unit.setConfig(plain(2, 3, {1, 0, 0, 1, 0.5f, 0.25f}));
    unit.prepare(2, 48000);  // as at a start: the first block is plain
    io.block(unit, 64);
    for (uint32_t t = 0; t < 64; ++t) {
        EXPECT_EQ(io.out[0][t], io.in[0][t]);
        EXPECT_EQ(io.out[1][t], io.in[1][t]);
        EXPECT_NEAR(io.out[2][t], 0.5 * io.in[0][t] + 0.25 * io.in[1][t], tolerance);
    }
}

TEST(MatrixUnit, PlainBlocksAtTheEdgesOfTheLimits) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    // Rows beyond the record's row count stay silent; a record of more rows
    // than output buffers computes only those there are.
    unit.prepare(3, 48000);
    unit.setConfig(dense(3, 2, 0.3f));
    Io io(3, 4, 256);
    io.block(unit, 256);
    const MixConfig m = dense(3, 2, 0.3f);
    for (uint32_t t = 0; t < 256; ++t) {
        EXPECT_NEAR(io.out[0][t], mixed(m, io.in, 0, t), tolerance);
        EXPECT_NEAR(io.out[1][t], mixed(m, io.in, 1, t), tolerance);
        EXPECT_EQ(io.out[2][t], 0.0f);
        EXPECT_EQ(io.out[3][t], 0.0f);
    }
    unit.setConfig(dense(3, 8, 0.9f));
    unit.prepare(3, 48000);
    io.block(unit, 256);
    for (uint32_t t = 0; t < 256; ++t) EXPECT_NEAR(io.out[3][t], mixed(dense(3, 8, 0.9f), io.in, 3, t), tolerance);

    // An output without memory is rendered through the node's own buffer;
    // the others are unaffected. An input without memory is silent.
    io.outPtr[1] = nullptr;
    io.inPtr[0] = nullptr;
    io.block(unit, 256);
    auto in = io.in;
    std::fill(in[0].begin(), in[0].end(), 0.0f);
    for (uint32_t t = 0; t < 256; ++t) {
        EXPECT_NEAR(io.out[0][t], mixed(dense(3, 8, 0.9f), in, 0, t), tolerance);
        EXPECT_EQ(io.out[1][t], 7.0f);  // untouched: not handed in
        EXPECT_NEAR(io.out[2][t], mixed(dense(3, 8, 0.9f), in, 2, t), tolerance);
    }
    // Fewer inputs handed in than the node was prepared for: the rest are silent.
    io.inPtr[0] = io.in[0].data();
    io.outPtr[1] = io.out[1].data();
    unit.render(256, io.inPtr.data(), 1, io.outPtr.data(), 4);
    for (uint32_t t = 0; t < 256; ++t) {
        const auto& g = dense(3, 8, 0.9f).matrix;
        EXPECT_NEAR(io.out[1][t], g[3] * io.in[0][t], tolerance);
    }

    // A block longer than 4096 frames carries sound in its first 4096 only.
    Io big(3, 2, 5000);
    big.block(unit, 5000);
    EXPECT_NEAR(big.out[0][4095], mixed(dense(3, 8, 0.9f), big.in, 0, 4095), tolerance);
    EXPECT_NE(big.out[0][4095], 0.0f);
    for (uint32_t t = 4096; t < 5000; ++t) ASSERT_EQ(big.out[0][t], 0.0f);
}

TEST(MatrixUnit, MoreThanSixtyFourInputsUsesTheFirstSixtyFour) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(80, 48000);
    Io io(80, 2, 128);
    unit.setConfig(dense(80, 2, 0.1f));  // asks for all 80: no record fits
    io.block(unit, 128);
    for (float v : io.out[0]) ASSERT_EQ(v, 0.0f);
    std::vector<float> g(2 * 64, 0.0f);
    g[63] = 1.0f;         // row 0 takes input 63
    g[64 + 0] = 1.0f;     // row 1 takes input 0
    unit.setConfig(plain(64, 2, g));
    unit.prepare(80, 48000);
    io.block(unit, 128);
    for (uint32_t t = 0; t < 128; ++t) {
        EXPECT_EQ(io.out[0][t], io.in[63][t]);
        EXPECT_EQ(io.out[1][t], io.in[0][t]);
    }
}

// old × rampDown + new × rampUp, frame by frame, whatever the block length.
TEST(MatrixUnit, AChangeCrossfadesOverExactlyOneBlock) {
    for (uint32_t n : {256u, 7u, 1u}) {
        ManualMainQueue queue;
        MatrixUnit unit(queue);
        unit.prepare(4, 48000);
        const MixConfig a = dense(4, 3, 0.5f), b = dense(4, 3, 2.5f);
        unit.setConfig(a);
        Io io(4, 3, n);
        io.block(unit, n);
        io.block(unit, n);
        unit.setConfig(b);
        io.block(unit, 0);  // an empty block leaves the change to the next one
        io.block(unit, n);
        for (int o = 0; o < 3; ++o) {
            for (uint32_t t = 0; t < n; ++t) {
                const float up = rampUp(t, n);
                const double want = mixed(a, io.in, o, t) * (1.0f - up) + mixed(b, io.in, o, t) * up;
                ASSERT_NEAR(io.out[size_t(o)][t], want, tolerance) << "block " << n << " frame " << t;
            }
        }
        if (n == 1) {
            for (int o = 0; o < 3; ++o) EXPECT_NEAR(io.out[size_t(o)][0], mixed(b, io.in, o, 0), tolerance);
        }
        // Only that block: the next is plain.
        io.block(unit, n);
        for (uint32_t t = 0; t < n; ++t) ASSERT_NEAR(io.out[0][t], mixed(b, io.in, 0, t), tolerance);
    }
}

TEST(MatrixUnit, TwoEqualConfigsGiveOneInaudibleCrossfadeAndKeepTheUpmixer) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(2, 48000);
    unit.setConfig(upmixed714());
    const auto first = unit.upmixer();
    ASSERT_TRUE(first);
    // A second, identical node as the reference of what plain blocks give.
    MatrixUnit ref(queue);
    ref.prepare(2, 48000);
    ref.setConfig(upmixed714());
    Io io(2, 12, 512), rio(2, 12, 512);
    for (int i = 0; i < 4; ++i) {
        io.block(unit, 512);
        rio.block(ref, 512);
    }
    unit.setConfig(upmixed714());
    EXPECT_EQ(unit.upmixer(), first);
    EXPECT_EQ(unit.upmixer()->request(), first->request());
    for (int i = 0; i < 3; ++i) {
        io.block(unit, 512);
        rio.block(ref, 512);
        for (int o = 0; o < 12; ++o)
            for (uint32_t t = 0; t < 512; ++t) ASSERT_NEAR(io.out[size_t(o)][t], rio.out[size_t(o)][t], 1e-6);
    }
    // The same holds without an upmix.
    unit.setConfig(dense(2, 12, 1));
    ref.setConfig(dense(2, 12, 1));
    EXPECT_FALSE(unit.upmixer());
    io.block(unit, 512);
    rio.block(ref, 512);
    unit.setConfig(dense(2, 12, 1));
    io.block(unit, 512);
    rio.block(ref, 512);
    for (int o = 0; o < 12; ++o)
        for (uint32_t t = 0; t < 512; ++t) ASSERT_NEAR(io.out[size_t(o)][t], rio.out[size_t(o)][t], 1e-6);
}

// A silent block forgets the last record; the next usable block fades in.
TEST(MatrixUnit, AfterSilenceTheFirstUsableBlockFadesIn) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(2, 48000);
    const MixConfig a = dense(2, 2, 0.2f), b = dense(2, 2, 1.2f);
    unit.setConfig(a);
    Io io(2, 2, 128);
    io.block(unit, 128);
    ASSERT_NEAR(io.out[0][5], mixed(a, io.in, 0, 5), tolerance);  // plain: first block after prepare
    ASSERT_NE(unit.state()->heard(), nullptr);
    unit.setConfig(dense(3, 2, 0));  // does not fit: silence
    io.block(unit, 128);
    for (float v : io.out[0]) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(unit.state()->heard(), nullptr);
    unit.setConfig(b);
    io.block(unit, 128);
    for (uint32_t t = 0; t < 128; ++t)
        ASSERT_NEAR(io.out[0][t], mixed(b, io.in, 0, t) * rampUp(t, 128), tolerance) << t;
    io.block(unit, 128);
    for (uint32_t t = 0; t < 128; ++t) ASSERT_NEAR(io.out[0][t], mixed(b, io.in, 0, t), tolerance);
    // The same after a stretch with no record at all.
    MatrixUnit other(queue);
    other.prepare(2, 48000);
    io.block(other, 128);
    other.setConfig(a);
    io.block(other, 128);
    for (uint32_t t = 0; t < 128; ++t) ASSERT_NEAR(io.out[1][t], mixed(a, io.in, 1, t) * rampUp(t, 128), tolerance);
}

// Upmix records: a context two records share runs once per block and only
// the matrices crossfade; a context of its own runs on its own buffers.
TEST(MatrixUnit, UpmixContextsSharedOrSeparate) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    unit.prepare(2, 48000);
    const MixConfig loud = upmixed714(0, 0), soft = upmixed714(0, -6);
    unit.setConfig(loud);
    // The reference upmixer runs the same kernel over the same input once per block.
    auto refUp = Upmixer::create(2, 12, 48000, queue);
    refUp->apply(*loud.upmix);
    std::vector<std::vector<float>> up(12, std::vector<float>(512));
    std::vector<float*> upPtr;
    for (auto& c : up) upPtr.push_back(c.data());
    Io io(2, 12, 512);
    auto refBlock = [&] { mn_upmix_process(refUp->raw(), io.inPtr.data(), 512, upPtr.data()); };
    for (int i = 0; i < 4; ++i) {
        io.block(unit, 512);
        refBlock();
    }
    for (uint32_t t = 0; t < 512; ++t) ASSERT_NEAR(io.out[0][t], mixed(loud, up, 0, t), 1e-6);
    ASSERT_GT(std::abs(io.out[0][300]) + std::abs(io.out[4][300]), 0.0f);

    unit.setConfig(soft);
    const auto shared = unit.upmixer();
    io.block(unit, 512);
    refBlock();
    for (int o = 0; o < 12; ++o)
        for (uint32_t t = 0; t < 512; ++t) {
            const float u = rampUp(t, 512);
            ASSERT_NEAR(io.out[size_t(o)][t], mixed(loud, up, o, t) * (1 - u) + mixed(soft, up, o, t) * u, 1e-6);
        }
    // Had the kernel run twice in that block, it would now be a block ahead.
    io.block(unit, 512);
    refBlock();
    for (uint32_t t = 0; t < 512; ++t) ASSERT_NEAR(io.out[3][t], mixed(soft, up, 3, t), 1e-6);

    // To a plain record: the old context still runs in the crossfade block.
    const MixConfig direct = dense(2, 12, 0.7f);
    unit.setConfig(direct);
    EXPECT_FALSE(unit.upmixer());
    io.block(unit, 512);
    refBlock();
    for (uint32_t t = 0; t < 512; ++t) {
        const float u = rampUp(t, 512);
        ASSERT_NEAR(io.out[1][t], mixed(soft, up, 1, t) * (1 - u) + mixed(direct, io.in, 1, t) * u, 1e-6);
    }

    // Back to an upmix: a new context, fed from its own start on its own
    // buffers while the plain record plays on, until it has settled; then
    // the two crossfade.
    unit.setConfig(loud);
    ASSERT_TRUE(unit.upmixer());
    EXPECT_NE(unit.upmixer(), shared);
    auto fresh = Upmixer::create(2, 12, 48000, queue);
    fresh->apply(*loud.upmix);
    const int settling = (mn_upmix_settle(fresh->raw()) + 511) / 512;
    EXPECT_GE(settling, 4);
    for (int b = 0; b < settling; ++b) {
        io.block(unit, 512);
        mn_upmix_process(fresh->raw(), io.inPtr.data(), 512, upPtr.data());
        for (uint32_t t = 0; t < 512; ++t) ASSERT_NEAR(io.out[2][t], mixed(direct, io.in, 2, t), 1e-6) << b;
    }
    io.block(unit, 512);
    mn_upmix_process(fresh->raw(), io.inPtr.data(), 512, upPtr.data());
    for (uint32_t t = 0; t < 512; ++t) {
        const float u = rampUp(t, 512);
        ASSERT_NEAR(io.out[2][t], mixed(direct, io.in, 2, t) * (1 - u) + mixed(loud, up, 2, t) * u, 1e-6);
    }

    // A different target count replaces the upmixer; old and new run side
    // by side while the new one settles, and cross over in one block.
    MonitorState s;
    s.source = MonitorSource::stereo;
    s.upmix.enabled = true;
    OutputProfile p;
    p.layout = LayoutID::l514;
    const MixConfig five = MonitorMatrix::build(s, 2, p, 12);
    ASSERT_EQ(five.inChannels, 10);
    const auto before = unit.upmixer();
    unit.setConfig(five);
    EXPECT_NE(unit.upmixer(), before);
    EXPECT_EQ(unit.upmixer()->outChannels(), 10);
    auto second = Upmixer::create(2, 10, 48000, queue);
    second->apply(*five.upmix);
    std::vector<std::vector<float>> up2(12, std::vector<float>(512));
    std::vector<float*> up2Ptr;
    for (auto& c : up2) up2Ptr.push_back(c.data());
    const int settlingTen = (mn_upmix_settle(second->raw()) + 511) / 512;
    for (int b = 0; b <= settlingTen; ++b) {
        io.block(unit, 512);
        mn_upmix_process(fresh->raw(), io.inPtr.data(), 512, upPtr.data());
        mn_upmix_process(second->raw(), io.inPtr.data(), 512, up2Ptr.data());
        for (uint32_t t = 0; t < 512; ++t) {
            const float u = b < settlingTen ? 0.0f : rampUp(t, 512);
            ASSERT_NEAR(io.out[0][t], mixed(loud, up, 0, t) * (1 - u) + mixed(five, up2, 0, t) * u, 1e-6) << b;
        }
    }
}

TEST(MatrixUnit, TheUpmixerReadsOnlyChannelsInsideTheInput) {
    ManualMainQueue queue;
    // Offset + upmix inputs equal to the channel count: the last channels feed it.
    MatrixUnit unit(queue);
    unit.prepare(4, 48000);
    unit.setConfig(upmixed714(2));
    Io io(4, 12, 1024);
    io.quiet = {true, true, false, false};
    auto energy = [&] {
        double e = 0;
        for (auto& c : io.out)
            for (float v : c) e += double(v) * v;
        return e;
    };
    double total = 0;
    for (int i = 0; i < 4; ++i) {
        io.block(unit, 1024);
        total += energy();
    }
    EXPECT_GT(total, 1.0);

    // One channel past the end, a negative offset, an offset beyond 32
    // bits: unusable records, silent blocks, no read outside the input.
    for (int64_t offset : {int64_t{3}, int64_t{-1}, std::numeric_limits<int64_t>::min(), (int64_t{1} << 32) + 1}) {
        MatrixUnit bad(queue);
        bad.prepare(4, 48000);
        bad.setConfig(upmixed714(offset));
        double e = 0;
        for (int i = 0; i < 3; ++i) {
            io.block(bad, 1024);
            e += energy();
        }
        EXPECT_EQ(e, 0.0) << offset;
        EXPECT_EQ(bad.state()->heard(), nullptr);
    }
    // No upmixer could be made (the kernel refuses 17 inputs): the record is
    // judged as a plain one, and a 12-column record does not fit 4 inputs.
    MixConfig refused = upmixed714();
    refused.upmix->source.assign(17, S::L);
    MatrixUnit none(queue);
    none.prepare(4, 48000);
    none.setConfig(refused);
    EXPECT_FALSE(none.upmixer());
    io.block(none, 1024);
    EXPECT_EQ(energy(), 0.0);
}

// Replaced records (and the upmixers they name) are freed 3 s later on the
// main queue, and not while the render side may still reach them.
TEST(MatrixUnit, ReplacedRecordsLiveThreeSecondsAndWhileTheRenderSideHoldsThem) {
    ManualMainQueue queue;
    auto unit = std::make_unique<MatrixUnit>(queue);
    unit->prepare(2, 48000);
    Io io(2, 12, 256);
    unit->setConfig(upmixed714());
    std::weak_ptr<Upmixer> firstUpmixer = unit->upmixer();
    io.block(*unit, 256);
    EXPECT_EQ(unit->liveRecords(), 1);
    unit->setConfig(dense(2, 12, 3));  // plain: the upmixer is let go of
    EXPECT_EQ(unit->liveRecords(), 2);
    queue.advance(2.9);
    EXPECT_EQ(unit->liveRecords(), 2);
    EXPECT_FALSE(firstUpmixer.expired());
    // The render side has not run since: its last block used the old record.
    queue.advance(0.2);
    EXPECT_EQ(unit->liveRecords(), 2);
    EXPECT_FALSE(firstUpmixer.expired()) << "the held record names it";
    queue.advance(30);
    EXPECT_EQ(unit->liveRecords(), 2);
    // One block crossfades from it and moves on; at the next look it is gone.
    io.block(*unit, 256);
    queue.advance(3.0);
    EXPECT_EQ(unit->liveRecords(), 1);
    EXPECT_TRUE(firstUpmixer.expired());

    // A steady render side: the record goes after exactly 3 s.
    unit->setConfig(dense(2, 12, 4));
    io.block(*unit, 256);
    queue.advance(2.999);
    EXPECT_EQ(unit->liveRecords(), 2);
    queue.advance(0.002);
    EXPECT_EQ(unit->liveRecords(), 1);

    // The node goes while its State lives on with a callback: the slot is
    // emptied, blocks are silent, and the last record still waits its turn.
    std::shared_ptr<MatrixUnit::State> state = unit->state();
    unit.reset();
    std::vector<float*> outs(io.outPtr);
    state->render(256, io.inPtr.data(), 2, outs.data(), 12);
    for (float v : io.out[0]) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(state->heard(), nullptr);
    queue.advance(3.1);
    EXPECT_EQ(queue.pending(), 0u);
}

// prepare() sets the width blocks are judged against and the rate new
// upmixers run at; a rate change replaces the upmixer at the next config.
TEST(MatrixUnit, PrepareSetsWidthAndRate) {
    ManualMainQueue queue;
    MatrixUnit unit(queue);
    EXPECT_EQ(unit.state()->inChannels(), 2);
    unit.prepare(6, 96000);
    EXPECT_EQ(unit.state()->inChannels(), 6);
    EXPECT_EQ(unit.sampleRate(), 96000);
    unit.setConfig(upmixed714());
    ASSERT_TRUE(unit.upmixer());
    EXPECT_EQ(unit.upmixer()->sampleRate(), 96000);
    EXPECT_EQ(unit.upmixer()->fftSize(), 2048);
    const auto at96 = unit.upmixer();
    unit.prepare(6, 48000);
    unit.setConfig(upmixed714());
    EXPECT_NE(unit.upmixer(), at96);
    EXPECT_EQ(unit.upmixer()->sampleRate(), 48000);
    unit.prepare(-3, 0);
    EXPECT_EQ(unit.state()->inChannels(), 0);
    EXPECT_EQ(unit.sampleRate(), 48000);
}
