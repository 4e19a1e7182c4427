// A 60-second MP3 from a loopback server fetched as WAV: through the
// composition root's "Open Copied Link" (clipboard check, tool lookup,
// staging folder, watch, move into "Links", the player loading the result)
// next to the floor, the same downloader command run alone into a folder.
// Both wait on the event loop, which also serves the file. Needs yt-dlp
// and ffmpeg.
#include <QCoreApplication>
#include <QProcess>

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "app/HttpStandIn.h"
#include "app/player/PlayerModel.h"
#include "app/core/SettingsStore.h"
#include "app/shell/AppFakes.h"
#include "app/shell/AppModel.h"
#include "app/shell/LinkLoader.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"
#include "MainLoop.h"

namespace {

using namespace qm;
namespace fs = std::filesystem;

struct Server {
    test::TempDir dir;
    QByteArray body;
    std::unique_ptr<test::HttpStandIn> http;
    QString link;
};

Server& server() {
    static Server* s = [] {
        auto* made = new Server;
        const auto tone = test::sineSignal(2, 60 * 44100, 44100, 440, 0.4f);
        test::writeAudioFile(made->dir / "tone.wav", tone, 44100, {test::FileKind::wav, 16});
        test::encodeWithFfmpeg(made->dir / "tone.wav", made->dir / "tone.mp3", "-c:a libmp3lame -b:a 192k");
        made->body = QByteArray::fromStdString(test::readBytes(made->dir / "tone.mp3"));
        made->http = std::make_unique<test::HttpStandIn>([made](const test::HttpRequest& r) {
            return test::HttpAnswer(200, r.method == "HEAD" ? QByteArray() : made->body, "audio/mpeg");
        });
        made->link = made->http->base().toString() + "tone.mp3";
        return made;
    }();
    return *s;
}

void pumpUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void BM_DownloaderAlone(benchmark::State& state) {
    const auto tool = LinkLoader::ytDlp("");
    if (!tool) return state.SkipWithError("yt-dlp is not installed");
    Server& s = server();
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path folder = s.dir / ("alone " + std::to_string(i++));
        fs::create_directories(folder);
        QStringList args;
        for (const auto& a : LinkLoader::arguments(s.link.toStdString(), folder)) args << QString::fromStdString(a);
        state.ResumeTiming();
        QProcess process;
        bool finished = false;
        QObject::connect(&process, &QProcess::finished, [&] { finished = true; });
        process.start(QString::fromStdString(*tool), args);
        pumpUntil([&] { return finished; });
        if (process.exitCode() != 0) state.SkipWithError("the downloader failed");
    }
}

void BM_OpenCopiedLink(benchmark::State& state) {
    if (!LinkLoader::ytDlp("")) return state.SkipWithError("yt-dlp is not installed");
    Server& s = server();
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.clipboard = [&s] { return s.link; };
    AppModel app(std::move(platform));
    app.settings().update([&](AppSettings& settings) { settings.pullsFolder = (dir / "Pulls").string(); });
    const fs::path links = dir / "Pulls" / "Links";
    for (auto _ : state) {
        state.PauseTiming();
        app.player().stop();
        std::error_code ec;
        fs::remove_all(links, ec);
        state.ResumeTiming();
        app.openCopiedLink();
        pumpUntil([&] {
            const auto& message = app.player().message();
            return (app.player().info() && fs::exists(links / "tone [tone].wav") && !message) ||
                   (message && !message->starts_with("Downloading"));
        });
        if (app.player().message()) state.SkipWithError(app.player().message()->c_str());
    }
    app.player().stop();
}

// Side by side, alternating, so a change of the machine's load falls on both.
BENCHMARK(BM_DownloaderAlone)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OpenCopiedLink)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DownloaderAlone)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_OpenCopiedLink)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithCoreApplication(argc, argv); }
