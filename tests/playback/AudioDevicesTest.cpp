#include "playback/AudioDevices.h"

#include "support/JackServer.h"
#include "support/JackTestDevice.h"

#include <gtest/gtest.h>

#include <jack/jack.h>

using namespace qm;

TEST(AudioDevicesJack, ListsDevicesInServerOrderAndAnswersByUidAndId) {
    if (!test::sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    // Registered after the server's own driver, so listed after it, never sorted
    // ("aaa" would sort first).
    test::JackTestDevice dev("aaadevice", 6, 16);
    ASSERT_TRUE(dev.ok());
    auto all = AudioDevices::allOutputs();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].uid, "jack:system");
    EXPECT_EQ(all[1].uid, "jack:aaadevice");
    EXPECT_EQ(all[1].name, "JACK: aaadevice");
    EXPECT_EQ(all[1].outputChannels, 6);
    EXPECT_NE(all[0].id, all[1].id);
    EXPECT_NE(all[1].id, 0u);

    EXPECT_EQ(AudioDevices::name(std::string("jack:aaadevice")), "JACK: aaadevice");
    EXPECT_EQ(AudioDevices::name(std::string("jack:gone")), "Unavailable device");
    EXPECT_EQ(AudioDevices::name(std::nullopt), "System Output");
    EXPECT_EQ(AudioDevices::deviceID("jack:aaadevice"), all[1].id);
    EXPECT_EQ(AudioDevices::deviceID("jack:gone"), std::nullopt);
    EXPECT_EQ(AudioDevices::outputChannels(all[1].id), 6);
    EXPECT_EQ(AudioDevices::outputChannels(12345), 0);

    // Ids are stable across reads; a device gone is gone from the next read.
    dev.close();
    auto after = AudioDevices::allOutputs();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], all[0]);
}

TEST(AudioDevicesJack, ACaptureOnlyDeviceIsNotListed) {
    if (!test::sharedJackServer().running()) GTEST_SKIP() << "jackd could not be started";
    jack_client_t* mic = jack_client_open("qmmic", JackNoStartServer, nullptr);
    ASSERT_NE(mic, nullptr);
    // Physical ports that deliver sound into the server are capture ports.
    jack_port_register(mic, "capture_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput | JackPortIsPhysical, 0);
    jack_port_register(mic, "capture_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput | JackPortIsPhysical, 0);
    ASSERT_EQ(jack_activate(mic), 0);
    auto all = AudioDevices::allOutputs();
    jack_client_close(mic);
    for (const auto& d : all) EXPECT_NE(d.uid, "jack:qmmic");
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].uid, "jack:system");
}

TEST(AudioDevices, PositionsBecomeSpeakersAsTheLayoutMeansThem) {
    using S = SpeakerID;
    const std::vector<std::optional<S>> none;
    EXPECT_EQ(AudioDevices::speakersAt({}), none);
    // 5.1 names its surrounds the rear pair; with side speakers (7.1) the rear
    // pair is the rear surrounds.
    EXPECT_EQ(AudioDevices::speakersAt({"FL", "FR", "FC", "LFE", "RL", "RR"}),
              (std::vector<std::optional<S>>{S::L, S::R, S::C, S::LFE, S::Ls, S::Rs}));
    EXPECT_EQ(AudioDevices::speakersAt({"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR", "TFL", "TFR", "TRL", "TRR",
                                        "FLW", "FRW", "TSL", "TSR"}),
              (std::vector<std::optional<S>>{S::L, S::R, S::C, S::LFE, S::Lrs, S::Rrs, S::Ls, S::Rs, S::Ltf, S::Rtf,
                                             S::Ltr, S::Rtr, S::Lw, S::Rw, S::Ltm, S::Rtm}));
    EXPECT_EQ(AudioDevices::speakersAt({"FLC", "FRC", "RC", "TC", "AUX0", "MONO", ""}),
              (std::vector<std::optional<S>>{S::Lc, S::Rc, S::Cs, S::Tc, std::nullopt, std::nullopt, std::nullopt}));
}
