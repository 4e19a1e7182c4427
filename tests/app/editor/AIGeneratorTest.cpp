#include "app/editor/AIGenerator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "app/HttpStandIn.h"
#include "analysis/Signal.h"
#include "app/editor/EditorModel.h"
#include "app/core/SettingsStore.h"
#include "playback/PlaybackEngine.h"
#include "platform/MainQueue.h"
#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;
using test::HttpAnswer;
using test::HttpRequest;
using Kind = AIGenerator::Kind;
namespace fs = std::filesystem;

namespace {

using Planar = std::vector<std::vector<float>>;

QJsonObject json(const QByteArray& bytes) { return QJsonDocument::fromJson(bytes).object(); }

HttpAnswer answer(const QJsonObject& o, int status = 200) {
    return {status, QJsonDocument(o).toJson(QJsonDocument::Compact)};
}

QJsonObject done(const QJsonArray& urls) {
    QJsonArray tracks;
    for (const auto& u : urls)
        tracks.append(u.isNull() ? QJsonObject{} : QJsonObject{{"url", u}});
    return {{"status", "done"}, {"tracks", tracks}};
}

// An MP3 take of `seconds` of a 440 Hz tone, made once per shape.
const QByteArray& mp3Take(int channels, double seconds) {
    static std::map<std::pair<int, double>, QByteArray> made;
    auto& bytes = made[{channels, seconds}];
    if (bytes.isEmpty()) {
        test::TempDir dir;
        test::writeAudioFile(dir / "take.mp3",
                             test::sineSignal(channels, int64_t(seconds * 44100), 44100, 440, 0.5f),
                             44100, {.kind = test::FileKind::mp3});
        const std::string s = test::readBytes(dir / "take.mp3");
        bytes = QByteArray(s.data(), qsizetype(s.size()));
    }
    return bytes;
}

// The remote service as the protocol describes it: clip uploads, the
// generation request, polls that finish after `pollsBeforeDone`, takes
// under /takes/N. Each test replaces the answers it is about.
struct Service {
    std::function<HttpAnswer(const HttpRequest&)> clip = [](const HttpRequest&) {
        return answer({{"url", "https://files.example/clip.m4a"}});
    };
    std::function<HttpAnswer(const HttpRequest&)> generate = [](const HttpRequest&) {
        return answer({{"taskId", "T-1"}, {"used", 3}, {"allowance", 50}});
    };
    int pollsBeforeDone = 1;
    std::function<QJsonArray(const QUrl& base)> tracks = [](const QUrl& base) {
        return QJsonArray{base.resolved(QUrl("takes/1")).toString(),
                          base.resolved(QUrl("takes/2")).toString()};
    };
    std::function<HttpAnswer(const HttpRequest&)> poll;  // replaces the default polls
    std::function<HttpAnswer(const HttpRequest&)> take = [](const HttpRequest&) {
        return HttpAnswer{200, mp3Take(2, 16), "audio/mpeg"};
    };
    bool unreachable = false;  // the generator is sent to a port nobody listens on
};

class AIGeneratorTest : public ::testing::Test {
protected:
    // Temporary clips and downloads go to a folder of the test's own.
    void SetUp() override {
        if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old;
        setenv("TMPDIR", tmp_.path().c_str(), 1);
    }
    void TearDown() override {
        oldTmp_ ? setenv("TMPDIR", oldTmp_->c_str(), 1) : unsetenv("TMPDIR");
        QThreadPool::globalInstance()->waitForDone();
    }

    // Starts the stand-in for `service` and a generator pointed at it.
    void start(Service service, std::chrono::milliseconds timeLimit = std::chrono::seconds(10),
               const QString& key = {}) {
        service_ = std::move(service);
        server_ = std::make_unique<test::HttpStandIn>([this](const HttpRequest& r) {
            if (r.path == "/ai/clip")
                return service_.clip(r);
            if (r.path == "/ai/generate" && r.method == "POST")
                return service_.generate(r);
            if (r.path == "/ai/generate") {
                if (service_.poll)
                    return service_.poll(r);
                if (++polls_ <= service_.pollsBeforeDone)
                    return answer({{"status", "running"}});
                return answer(done(service_.tracks(server_->base())));
            }
            return service_.take(r);
        });
        AIGenerator::Service s;
        s.baseAddress = server_->base();
        if (service_.unreachable) {
            // A port that was just free: nothing listens there any more.
            test::HttpStandIn closed([](const HttpRequest&) { return HttpAnswer{}; });
            s.baseAddress = closed.base();
        }
        s.key = key;
        s.pollInterval = std::chrono::milliseconds(10);
        s.timeLimit = timeLimit;
        s.requestTimeout = std::chrono::seconds(5);
        gen_ = std::make_unique<AIGenerator>(s);
    }

    // Runs one generation to its end (at most 30 s).
    void run(Kind kind, const AIGenerator::Input& input, const Planar& channels) {
        gen_->generate(kind, input, channels, folder());
        waitIdle();
    }

    void waitIdle() {
        QElapsedTimer clock;
        clock.start();
        while (gen_->running() && clock.elapsed() < test::timeout(std::chrono::milliseconds(30000)).count())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_FALSE(gen_->running()) << "the generation did not end";
    }

    fs::path folder() const { return out_.path() / "Theme Edits"; }

    std::vector<std::string> wavsIn(const fs::path& dir) const {
        std::vector<std::string> names;
        for (const auto& e : fs::exists(dir) ? fs::directory_iterator(dir) : fs::directory_iterator())
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<HttpRequest> requestsTo(const QString& path, const QByteArray& method) const {
        std::vector<HttpRequest> out;
        for (const auto& r : server_->requests())
            if (r.path == path && r.method == method)
                out.push_back(r);
        return out;
    }

    // A minor at 120 BPM, the loop from 2 s to 10 s.
    static AIGenerator::Input input(double sr, double seconds) {
        return {"/music/Theme.wav", sr, 120, 4, "A", "minor", int64_t(sr * 2), int64_t(sr * 10), int64_t(sr * seconds)};
    }

    test::TempDir tmp_;
    test::TempDir out_;
    std::optional<std::string> oldTmp_;
    Service service_;
    int polls_ = 0;
    std::unique_ptr<test::HttpStandIn> server_;
    std::unique_ptr<AIGenerator> gen_;
};

// Decodes an uploaded clip through the ffmpeg tool.
PlanarAudio decodeClip(const QByteArray& bytes) {
    test::TempDir dir;
    test::writeBytes(dir / "clip.m4a", bytes.toStdString());
    test::encodeWithFfmpeg(dir / "clip.m4a", dir / "clip.wav", "-c:a pcm_f32le");
    return Signal::readPlanar(dir / "clip.wav");
}

}  // namespace

TEST(AIGeneratorTrim, IntrosKeepTheHeadAndEndingsTheTailWithTheirFades) {
    const double sr = 100;
    Planar ramp(2, std::vector<float>(1000));
    for (size_t i = 0; i < 1000; ++i)
        ramp[0][i] = ramp[1][i] = float(i + 1);

    struct Case { bool intro; double length, fade; int64_t L, F; };
    for (const Case c : {Case{true, 5, 1, 500, 100}, Case{false, 3, 0.5, 300, 50},
                         Case{false, 20, 30, 1000, 1000}, Case{true, 2.509, 9, 250, 250}}) {
        SCOPED_TRACE(testing::Message() << "intro " << c.intro << " length " << c.length);
        const Planar t = AIGenerator::transitionTrim(ramp, sr, {.intro = c.intro, .length = c.length, .fade = c.fade});
        ASSERT_EQ(t.size(), 2u);
        ASSERT_EQ(int64_t(t[1].size()), c.L);
        const int64_t from = c.intro ? 0 : 1000 - c.L;
        for (int64_t i = 0; i < c.L; ++i) {
            double gain = 1;
            if (c.intro && i >= c.L - c.F)
                gain = std::cos(double(i - (c.L - c.F)) / double(c.F) * std::numbers::pi / 2);
            if (!c.intro && i < c.F)
                gain = std::sin(double(i) / double(c.F) * std::numbers::pi / 2);
            ASSERT_NEAR(t[1][i], float(from + i + 1) * gain, 1e-3) << i;
        }
    }
    EXPECT_TRUE(AIGenerator::transitionTrim({}, sr, {.intro = true, .length = 5, .fade = 1}).empty());
    EXPECT_EQ(AIGenerator::transitionTrim({{}, {1.f}}, sr, {.intro = false, .length = 5, .fade = 1}), (Planar{{}, {1.f}}));
}

TEST_F(AIGeneratorTest, ClipIsTwoChannelAacOfTheLast170SecondsAndLeavesNoFile) {
    // Mono at 8 kHz: 180 s of which the first 10 s are loud; the clip keeps
    // only the quiet tail, on both sides.
    const double sr = 8000;
    Planar mono(1, std::vector<float>(size_t(180 * sr), 0.01f));
    for (size_t i = 0; i < size_t(10 * sr); ++i)
        mono[0][i] = 0.8f * float(std::sin(i * 0.2));
    const QByteArray bytes = AIGenerator::encodeClip(mono, sr, 0, int64_t(180 * sr));
    EXPECT_TRUE(fs::is_empty(tmp_.path()));

    const PlanarAudio clip = decodeClip(bytes);
    EXPECT_EQ(clip.sampleRate, sr);
    ASSERT_EQ(clip.channels.size(), 2u);
    EXPECT_NEAR(double(clip.channels[0].size()), 170 * sr, 2048);
    EXPECT_LT(Signal::rms(clip.channels[0], 0, int64_t(clip.channels[0].size())), 0.05f);
    float diff = 0;
    for (size_t i = 0; i < clip.channels[0].size(); ++i)
        diff = std::max(diff, std::abs(clip.channels[0][i] - clip.channels[1][i]));
    EXPECT_LT(diff, 1e-3f);

    try {
        AIGenerator::encodeClip(mono, 12345, 0, 1000);
        FAIL() << "a rate without an AAC table was encoded";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), AIGenerator::kClipFormat);
        EXPECT_FALSE(e.description().empty());
    }
    EXPECT_TRUE(fs::is_empty(tmp_.path()));
}

TEST_F(AIGeneratorTest, IntroAsksForFourBarsWithoutAClipAndWritesFullAndTrimmedTakes) {
    Service service;
    service.generate = [](const HttpRequest&) {
        return answer({{"taskId", "T 1+&=/é"}, {"used", 3}, {"allowance", 50}});
    };
    start(service);
    std::vector<std::vector<fs::path>> revealed;
    QObject::connect(gen_.get(), &AIGenerator::revealRequested,
                     [&](const std::vector<fs::path>& f) { revealed.push_back(f); });
    const Planar doc(2, std::vector<float>(22050 * 60));
    gen_->generate(Kind::intro, input(22050, 60), doc, folder());
    EXPECT_EQ(gen_->status(), QString("Preparing…"));
    gen_->generate(Kind::ending, input(22050, 60), doc, folder());  // ignored: one at a time
    EXPECT_EQ(gen_->running(), Kind::intro);
    waitIdle();

    EXPECT_TRUE(requestsTo("/ai/clip", "POST").empty());
    const auto gen = requestsTo("/ai/generate", "POST");
    ASSERT_EQ(gen.size(), 1u);
    EXPECT_EQ(gen[0].contentType, "application/json");
    EXPECT_EQ(json(gen[0].body),
              (QJsonObject{{"kind", "intro"}, {"name", "Theme"}, {"bpm", 120}, {"key", "Am"},
                           {"bars", 4}, {"durationSec", 8}}));
    const auto polls = requestsTo("/ai/generate", "GET");
    ASSERT_EQ(polls.size(), 2u);
    EXPECT_EQ(polls[1].query.queryItemValue("taskId", QUrl::FullyDecoded), "T 1+&=/é");
    EXPECT_TRUE(polls[1].body.isEmpty());

    EXPECT_EQ(gen_->status(), QString("4 files written"));
    EXPECT_EQ(gen_->usage(), QString("3 of 50 generations used this month"));
    EXPECT_EQ(wavsIn(folder()),
              (std::vector<std::string>{"Theme - AI Intro 1 (full take).wav", "Theme - AI Intro 1.wav",
                                        "Theme - AI Intro 2 (full take).wav", "Theme - AI Intro 2.wav"}));
    ASSERT_EQ(gen_->results().size(), 4u);
    EXPECT_EQ(gen_->results()[1], folder() / "Theme - AI Intro 1.wav");
    ASSERT_EQ(revealed.size(), 1u);
    EXPECT_EQ(revealed[0], gen_->results());
    EXPECT_TRUE(fs::is_empty(tmp_.path()));

    // Five bars of 2 s.
    EXPECT_EQ(Signal::readPlanar(folder() / "Theme - AI Intro 1.wav").channels[1].size(), size_t(10 * 44100));

    // Without tempo, or with the loop out of order, nothing starts.
    AIGenerator::Input noTempo = input(22050, 60), reversed = input(22050, 60);
    noTempo.bpm = 0;
    std::swap(reversed.loopStartFrame, reversed.loopEndFrame);
    gen_->generate(Kind::intro, noTempo, doc, folder());
    gen_->generate(Kind::variation, reversed, doc, folder());
    EXPECT_FALSE(gen_->running());
}

TEST(AIGeneratorService, OnlyAnHttpsAddressOrOneOnThisMachineIsTaken) {
    struct Case {
        const char* address;
        bool taken;
    };
    const Case cases[] = {
        {"https://generate.example.org/v1/", true},
        {"  https://generate.example.org  ", true},
        {"HTTPS://Generate.Example.org/", true},
        {"http://127.0.0.1:8080/", true},
        {"http://localhost:9000/ai/", true},
        {"http://[::1]:9000/", true},
        {"http://generate.example.org/", false},  // the audio would travel in clear
        {"http://10.0.0.5/", false},
        {"ftp://generate.example.org/", false},
        {"generate.example.org", false},
        {"https://", false},
        {"", false},
    };
    for (const Case& c : cases) {
        const auto refused = AIGenerator::refusal(QString::fromLatin1(c.address));
        EXPECT_EQ(!refused.has_value(), c.taken) << c.address;
    }
    EXPECT_EQ(AIGenerator::refusal(""), QString::fromUtf8(AIGenerator::kNoServiceText));
    EXPECT_TRUE(AIGenerator::refusal("http://generate.example.org/")->contains("https"));
}

TEST_F(AIGeneratorTest, WithoutAServiceNothingIsEncodedOrSent) {
    const Planar doc(2, std::vector<float>(22050 * 60, 0.25f));
    // None named: the generator says why and nothing starts.
    AIGenerator none;
    EXPECT_EQ(none.unavailable(), QString::fromUtf8(AIGenerator::kNoServiceText));
    for (Kind kind : AIGenerator::allKinds) {
        none.generate(kind, input(22050, 60), doc, folder());
        EXPECT_FALSE(none.running());
        EXPECT_FALSE(none.status());
    }
    // One refused: the same, whatever the address.
    AIGenerator::Service plain;
    plain.baseAddress = QUrl("http://192.0.2.7/v1/");
    AIGenerator refused(plain);
    ASSERT_TRUE(refused.unavailable());
    refused.generate(Kind::ending, input(22050, 60), doc, folder());
    EXPECT_FALSE(refused.running());
    // No clip was made, no folder either.
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_TRUE(fs::is_empty(tmp_.path()));
    EXPECT_FALSE(fs::exists(folder()));

    // Named later, it is taken from the next generation on, with its key,
    // which only the service's own address receives.
    start(Service{}, std::chrono::seconds(10), QStringLiteral("k-123"));
    run(Kind::ending, input(22050, 60), doc);
    EXPECT_EQ(gen_->status(), QString("4 files written"));
    ASSERT_FALSE(server_->requests().empty());
    for (const auto& r : server_->requests()) {
        if (r.path.startsWith("/ai/"))
            EXPECT_EQ(r.authorization, "Bearer k-123") << r.path.toStdString();
        else
            EXPECT_TRUE(r.authorization.isEmpty()) << "a take's download carries no key: " << r.path.toStdString();
    }
    // A service changed while a generation runs takes effect after it.
    const QUrl asked = gen_->service().baseAddress;
    gen_->generate(Kind::intro, input(22050, 60), doc, folder());
    ASSERT_TRUE(gen_->running());
    AIGenerator::Service other = gen_->service();
    other.baseAddress = QUrl("http://192.0.2.7/v1/");
    gen_->setService(other);
    waitIdle();
    EXPECT_EQ(gen_->status(), QString("4 files written")) << "the running generation kept " << asked.toString().toStdString();
}

TEST_F(AIGeneratorTest, EndingUploadsTheLastMinuteAndNeverOverwritesEarlierTakes) {
    start({});
    const double sr = 8000;
    // The music ends at 45 s: the minute before it is cut at the file's start.
    AIGenerator::Input in = input(sr, 45);
    in.keyMode = "major";
    const Planar doc(1, std::vector<float>(size_t(sr * 50), 0.25f));
    run(Kind::ending, in, doc);

    const auto clips = requestsTo("/ai/clip", "POST");
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0].contentType, "audio/mp4");
    const PlanarAudio clip = decodeClip(clips[0].body);
    ASSERT_EQ(clip.channels.size(), 2u);
    EXPECT_NEAR(double(clip.channels[0].size()), 45 * sr, 2048);
    const auto gen = requestsTo("/ai/generate", "POST");
    ASSERT_EQ(gen.size(), 1u);
    EXPECT_EQ(json(gen[0].body),
              (QJsonObject{{"kind", "ending"}, {"name", "Theme"}, {"bpm", 120}, {"key", "A"},
                           {"clipUrl", "https://files.example/clip.m4a"}, {"durationSec", 45},
                           {"endStyle", "cadential"}}));

    EXPECT_EQ(gen_->status(), QString("4 files written"));
    EXPECT_EQ(Signal::readPlanar(folder() / "Theme - AI Ending 2.wav").channels[0].size(), size_t(15 * 44100));

    // A second generation numbers its takes on from the first one's.
    polls_ = 0;
    const auto firstTake = test::readBytes(folder() / "Theme - AI Ending 1.wav");
    run(Kind::ending, in, doc);
    EXPECT_EQ(gen_->status(), QString("4 files written"));
    EXPECT_EQ(wavsIn(folder()).size(), 8u);
    EXPECT_EQ(test::readBytes(folder() / "Theme - AI Ending 1.wav"), firstTake);
    ASSERT_EQ(gen_->results().size(), 8u);
    EXPECT_EQ(gen_->results()[0], folder() / "Theme - AI Ending 3 (full take).wav");
    EXPECT_EQ(gen_->results()[7], folder() / "Theme - AI Ending 2.wav");
}

TEST_F(AIGeneratorTest, VariationSendsAtMost170SecondsAndSkipsTakesThatAreNoWebAddress) {
    Service s;
    s.clip = [](const HttpRequest&) { return answer({{"id", "no url here"}}); };
    s.tracks = [](const QUrl& base) {
        return QJsonArray{QJsonValue(), "not an address", "file:///etc/passwd", 17,
                          base.resolved(QUrl("takes/9")).toString()};
    };
    s.take = [](const HttpRequest&) { return HttpAnswer{200, mp3Take(1, 3), "audio/mpeg"}; };
    start(s);
    const double sr = 8000;
    AIGenerator::Input in = input(sr, 200);
    in.loopStartFrame = 0;
    in.loopEndFrame = int64_t(180 * sr);
    run(Kind::variation, in, Planar(2, std::vector<float>(size_t(200 * sr))));

    const auto gen = requestsTo("/ai/generate", "POST");
    ASSERT_EQ(gen.size(), 1u);
    const QJsonObject body = json(gen[0].body);
    EXPECT_EQ(body.value("durationSec"), 170);
    EXPECT_FALSE(body.contains("clipUrl"));
    EXPECT_FALSE(body.contains("endStyle"));
    EXPECT_NEAR(double(decodeClip(requestsTo("/ai/clip", "POST")[0].body).channels[0].size()),
                170 * sr, 2048);

    EXPECT_EQ(gen_->status(), QString("1 files written"));
    EXPECT_EQ(wavsIn(folder()), (std::vector<std::string>{"Theme - AI Variation 1 (full take).wav"}));
    EXPECT_EQ(Signal::readPlanar(folder() / "Theme - AI Variation 1 (full take).wav").channels.size(), 1u);
}

TEST_F(AIGeneratorTest, EveryFailureEndsIdleWithItsLineAndNoTakeFile) {
    const auto status = [](int code, QJsonObject o = {}) {
        return [code, o](const HttpRequest&) { return answer(o, code); };
    };
    const auto raw = [](int code, QByteArray body) {
        return [code, body](const HttpRequest&) { return HttpAnswer{code, body}; };
    };
    struct Case {
        const char* name;
        Kind kind;
        std::function<void(Service&)> set;
        QString expected;  // empty: any one-line text of the transport
    };
    const QString stillGenerating = "Still generating after 8 minutes. Try again shortly.";
    const std::vector<Case> cases = {
        {"service error text", Kind::intro,
         [&](Service& s) { s.generate = status(500, {{"error", "Monthly allowance\nused up"}}); },
         "Monthly allowance used up"},
        {"201 is not 200", Kind::intro,
         [&](Service& s) { s.generate = status(201, {{"taskId", "T-1"}}); }, "Generation service error"},
        {"upload refused", Kind::ending, [&](Service& s) { s.clip = raw(404, "<html>gone</html>"); },
         "Generation service error"},
        {"malformed JSON", Kind::intro, [&](Service& s) { s.generate = raw(200, "{\"taskId\": "); },
         "The generation service named no task"},
        {"no task", Kind::variation,
         [&](Service& s) { s.generate = status(200, {{"taskId", 7}, {"used", 1}}); },
         "The generation service named no task"},
        {"failed with text", Kind::intro,
         [&](Service& s) { s.poll = status(200, {{"status", "failed"}, {"error", "Model overloaded"}}); },
         "Model overloaded"},
        {"failed without text", Kind::intro,
         [&](Service& s) { s.poll = status(200, {{"status", "failed"}}); }, "Generation failed"},
        {"never finishes", Kind::intro,
         [&](Service& s) { s.poll = status(200, {{"status", "running"}}); }, stillGenerating},
        {"done without tracks", Kind::intro,
         [&](Service& s) { s.tracks = [](const QUrl&) { return QJsonArray{}; }; }, stillGenerating},
        {"take missing", Kind::ending, [&](Service& s) { s.take = raw(404, "nothing"); },
         "Generation service error"},
        {"take breaks off", Kind::intro,
         [&](Service& s) {
             s.take = [](const HttpRequest&) {
                 return HttpAnswer{200, mp3Take(2, 16).left(5000), "audio/mpeg", 900000};
             };
         },
         ""},
        {"service unreachable", Kind::intro, [&](Service& s) { s.unreachable = true; }, ""},
        {"take is no audio", Kind::intro,
         [&](Service& s) { s.take = raw(200, "this is not an mp3 file at all"); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Service s;
        c.set(s);
        polls_ = 0;
        // The time limit is what ends the cases that never finish; the
        // others must not depend on how fast the machine answers.
        start(s, c.expected == stillGenerating ? std::chrono::milliseconds(300) : std::chrono::seconds(10));
        run(c.kind, input(22050, 20), Planar(2, std::vector<float>(22050 * 20)));
        ASSERT_TRUE(gen_->status());
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(*gen_->status(), c.expected);
        }
        EXPECT_FALSE(gen_->status()->isEmpty());
        EXPECT_FALSE(gen_->status()->contains('\n'));
        EXPECT_FALSE(gen_->status()->endsWith("files written"));
        EXPECT_TRUE(gen_->results().empty());
        EXPECT_TRUE(wavsIn(folder()).empty());
        EXPECT_TRUE(fs::is_empty(tmp_.path()));
    }
}

TEST_F(AIGeneratorTest, TakesTheEditorsDocumentAnalysisAndPins) {
    start({});
    test::TempDir dir;
    ManualMainQueue queue;
    PlaybackEngine engine{queue};
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    EditorModel editor{engine, settings};
    gen_->generate(Kind::intro, editor, folder());  // no document: nothing starts
    EXPECT_FALSE(gen_->running());

    test::writeAudioFile(dir / "Theme.wav", {test::drumPattern({.seconds = 20, .sampleRate = 22050}).samples}, 22050);
    editor.open(dir / "Theme.wav");
    QElapsedTimer clock;
    clock.start();
    while ((editor.busy() || editor.analyzing() || !editor.analysis()) &&
           clock.elapsed() < test::timeout(std::chrono::milliseconds(20000)).count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(editor.analysis() && editor.pins());

    gen_->generate(Kind::variation, editor, folder());
    waitIdle();
    const auto gen = requestsTo("/ai/generate", "POST");
    ASSERT_EQ(gen.size(), 1u);
    const QJsonObject body = json(gen[0].body);
    const MusicAnalysis& a = *editor.analysis();
    EXPECT_EQ(body.value("bpm").toDouble(), a.grid.bpm);
    EXPECT_EQ(body.value("key").toString().toStdString(),
              a.key.tonic + (a.key.mode == "minor" ? "m" : ""));
    const int64_t loop = editor.frame(editor.pins()->loopEnd) - editor.frame(editor.pins()->loopStart);
    EXPECT_GT(loop, 0);
    EXPECT_DOUBLE_EQ(body.value("durationSec").toDouble(), double(loop) / 22050);
    EXPECT_EQ(gen_->status(), QString("2 files written"));
}
