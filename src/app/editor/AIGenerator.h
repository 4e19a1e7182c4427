// The client of the remote AI generation service: asks for an intro that
// leads into the open piece, an ending that finishes it, or a variation of
// its loop, and writes the takes the service makes as WAV files beside the
// temp edits (intros and endings also trimmed, ready to lay against a cut).
//
// One generation runs at a time, guarded by `running`: preparing, the clip
// upload (endings and variations), the generation request, polling until
// the service is done, then the take downloads. Every exchange with the
// service goes through the QNetworkAccessManager on the main thread; only
// the clip encoding runs on the thread pool. Takes are decoded and written
// on the main thread. Every failure ends the generation with its one-line
// text in `status`; takes written before it stay on disk, an unfinished
// take file never does. Nothing of the service's exchange is logged.
//
// Main thread only.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

namespace qm {

class AppError;
class EditorModel;

class AIGenerator : public QObject {
    Q_OBJECT

public:
    enum class Kind { intro, ending, variation };
    Q_ENUM(Kind)

private:
    Q_PROPERTY(std::optional<qm::AIGenerator::Kind> running READ running NOTIFY runningChanged)
    Q_PROPERTY(std::optional<QString> status READ status NOTIFY statusChanged)
    Q_PROPERTY(std::vector<std::filesystem::path> results READ results NOTIFY resultsChanged)
    Q_PROPERTY(std::optional<QString> usage READ usage NOTIFY usageChanged)

public:
    static constexpr std::array<Kind, 3> allKinds{Kind::intro, Kind::ending, Kind::variation};
    static std::string rawValue(Kind kind);
    // The button title: "AI Intro", "AI Ending", "AI Variation".
    static std::string title(Kind kind);

    // Error codes of the generation (AppError::code()).
    enum Code : int {
        kServiceError = 91,       // an answer with an HTTP status other than 200
        kClipFormat = 92,         // the clip's audio format cannot be made
        kNoTask = 93,             // the generation answer names no task
        kGenerationFailed = 94,   // the service reports the generation failed
        kStillGenerating = 95,    // no takes within the time limit
    };

    // Where the service is, the key it is asked with and how patiently it is
    // polled. There is no service of the program's own: the address is the
    // user's setting, empty until one is named. Tests point it at a local
    // stand-in and shorten the waits.
    struct Service {
        QUrl baseAddress;
        // Sent as "Authorization: Bearer <key>" to the service's own address
        // (not to where takes are downloaded from); none when empty.
        QString key;
        std::chrono::milliseconds pollInterval{8000};
        std::chrono::milliseconds timeLimit{480000};
        std::chrono::milliseconds requestTimeout{60000};
    };

    // Why an address typed in the settings cannot be used, or none when it
    // can: it must be an https address (plain http only to this machine, for
    // a service run on it) with a host.
    static std::optional<QString> refusal(const QString& address);
    static constexpr const char* kNoServiceText =
        "Set an AI generation service in Settings › Audition to use these. Nothing is sent until you do.";

    // What a generation takes from the editor: the open document, its
    // analysis and the frames of its pins' bar boundaries (the editor's
    // frame(ofBoundary:) of loopStart, loopEnd and musicEnd).
    struct Input {
        std::filesystem::path url;  // the document; its name names the takes
        double sampleRate = 0;
        double bpm = 0;             // grid.bpm
        int beatsPerBar = 4;        // grid.beatsPerBar
        std::string keyTonic;       // key.tonic
        std::string keyMode;        // key.mode: "major" or "minor"
        int64_t loopStartFrame = 0;
        int64_t loopEndFrame = 0;
        int64_t musicEndFrame = 0;
    };

    explicit AIGenerator(QObject* parent = nullptr);
    explicit AIGenerator(Service service, QObject* parent = nullptr);
    ~AIGenerator() override;

    // The service the next generation goes to (a running one keeps its own).
    void setService(const Service& service) { service_ = service; }
    const Service& service() const { return service_; }
    // Why a generation cannot start now for want of a service (none set, or
    // one that is refused), or none when one is set.
    std::optional<QString> unavailable() const;

    std::optional<Kind> running() const { return running_; }
    std::optional<QString> status() const { return status_; }
    const std::vector<std::filesystem::path>& results() const { return results_; }
    std::optional<QString> usage() const { return usage_; }

    // Starts a generation of `kind` for the editor's document, with its
    // analysis and pins, writing into `folder` (the panel passes the temp
    // edits' folder, EditorModel::editsFolder). Ignored while a generation
    // runs, while the editor has no document, analysis or pins, and while
    // no usable service is set: then nothing is encoded or sent.
    void generate(Kind kind, const EditorModel& editor, const std::filesystem::path& folder);

    // The same from plain values: the document whose planar samples
    // are `channels`, writing into `folder` (created when missing). Returns
    // at once. Ignored while a generation runs, and for an input without
    // audio, tempo or a loop in order (start after end).
    void generate(Kind kind, const Input& input, const std::vector<std::vector<float>>& channels,
                  const std::filesystem::path& folder);

    // The bytes of an AAC file (MPEG-4 container, 2 channels, 192 kbit/s,
    // the source's rate) holding frames start ..< end of `channels`, or only
    // the last 170 s of that span; a mono source is sent on both sides.
    // Throws AppError kClipFormat when AAC cannot be made at that rate, and
    // the file's error when the temporary file cannot be written. Any thread.
    static QByteArray encodeClip(const std::vector<std::vector<float>>& channels, double sr,
                                 int64_t start, int64_t end);

    // A take cut to `length` seconds for a transition: an intro keeps its
    // head and fades out over its last `fade` seconds (cosine), an ending
    // keeps its tail and fades in over its first `fade` seconds (sine).
    struct Trim {
        bool intro = false;
        double length = 0;
        double fade = 0;
    };
    static std::vector<std::vector<float>> transitionTrim(const std::vector<std::vector<float>>& channels,
                                                          double sr, const Trim& trim);

signals:
    void runningChanged();
    void statusChanged();
    void resultsChanged();
    void usageChanged();
    // The WAV files a successful generation wrote, for the file manager to
    // show them selected.
    void revealRequested(const std::vector<std::filesystem::path>& files);

private:
    struct Job;
    using Answer = std::function<void(const QJsonObject&)>;

    void prepare(std::unique_ptr<Job> job, const Input& input,
                 const std::vector<std::vector<float>>& channels, int64_t spanStart, int64_t spanEnd);
    void request(const QString& path, const QByteArray& method, const QByteArray* body,
                 const QString& contentType, const QString& query, Answer onAnswer);
    void sendGeneration();
    void poll();
    void downloadNext();
    void writeTake(const std::filesystem::path& downloaded, int number);
    void finishWithSuccess();
    void fail(const std::exception& error);

    void setRunning(std::optional<Kind> kind);
    void setStatus(const QString& text);
    void setUsage(const QString& text);

    Service service_;
    QNetworkAccessManager* network_;
    std::unique_ptr<Job> job_;
    std::optional<Kind> running_;
    std::optional<QString> status_;
    std::vector<std::filesystem::path> results_;
    std::optional<QString> usage_;
};

}  // namespace qm
