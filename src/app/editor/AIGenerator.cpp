#include "app/editor/AIGenerator.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <system_error>

#include "analysis/Signal.h"
#include "app/core/Handoff.h"
#include "app/editor/EditorModel.h"
#include "audio/TextTable.h"
#include "audio/WavFileWriter.h"
#include "platform/AacFileWriter.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"
#include "platform/Uuid.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

constexpr double kClipLimitSeconds = 170;
constexpr double kEndingWindowSeconds = 60;
constexpr int64_t kClipBitRate = 192000;
constexpr int64_t kClipBlock = 32768;

// The whole frames of `seconds` at `sr`.
int64_t framesOf(double seconds, double sr) { return int64_t(sr * seconds); }

QString q(const std::string& s) { return QString::fromStdString(s); }

// The service's text for a failure, on one line; `fallback` when it gives none.
QString errorText(const QJsonObject& answer, const char* fallback) {
    QString text = answer.value(QStringLiteral("error")).toString().simplified();
    return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

// An answer's failure, if it is one: any HTTP status but 200 is the
// service's error; without an HTTP status, or after a body that broke off,
// the transport's own error.
std::optional<AppError> replyFailure(QNetworkReply* reply, const QJsonObject& answer) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200)
        return AppError(AIGenerator::kServiceError, errorText(answer, "Generation service error").toStdString());
    if (reply->error() != QNetworkReply::NoError)
        return AppError(int(reply->error()), reply->errorString().simplified().toStdString());
    if (!status.isValid())
        return AppError(AIGenerator::kServiceError, "Generation service error");
    return std::nullopt;
}

QJsonObject jsonObject(const QByteArray& data) {
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    return doc.isObject() ? doc.object() : QJsonObject{};
}

// Only web addresses are fetched: a take named by any other scheme (a local
// file, say) is not the service's to hand out.
std::optional<QUrl> takeAddress(const QJsonValue& value) {
    if (!value.isString())
        return std::nullopt;
    const QUrl url(value.toString(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https"))
        return std::nullopt;
    return url;
}

// The WAVE mask of a take: front left and right for two channels, centre
// for one, none for more (a mask of fewer speakers than channels would
// misdescribe the file).
uint32_t takeMask(size_t channels) { return channels == 2 ? 3u : channels == 1 ? 4u : 0u; }

// Through a temporary file: an unfinished take is not a take, not even
// when the process dies while writing it.
void writeWav(const fs::path& url, const PlanarAudio& audio,
              const std::vector<std::vector<float>>& channels, const std::string& description) {
    FileAccess::writeThroughTemporary(url, [&](FileAccess::TemporaryFile& file) {
        WavFileWriter writer(file.fd(), file.displayName(), audio.sampleRate, int(channels.size()),
                             takeMask(channels.size()), description);
        writer.appendAll(channels);
        writer.finish();
    });
}

}  // namespace

struct AIGenerator::Job {
    uint64_t id = 0;
    // The service as it was when the generation began: a change of the
    // settings meanwhile goes to the next one.
    Service service;
    Kind kind = Kind::intro;
    std::string name;
    double barSeconds = 0;
    fs::path folder;
    QJsonObject body;
    QString taskId;
    QElapsedTimer clock;
    std::vector<QJsonObject> tracks;
    size_t nextTrack = 0;
    int lastNumber = 0;
    std::vector<fs::path> written;
};

std::string AIGenerator::rawValue(Kind kind) {
    static constexpr auto table =
        textTable<Kind>({{Kind::intro, "intro"}, {Kind::ending, "ending"}, {Kind::variation, "variation"}});
    return std::string(table.text(kind));
}

std::string AIGenerator::title(Kind kind) {
    switch (kind) {
        case Kind::intro: return "AI Intro";
        case Kind::ending: return "AI Ending";
        case Kind::variation: return "AI Variation";
    }
    return "AI Intro";
}

AIGenerator::AIGenerator(QObject* parent) : AIGenerator(Service{}, parent) {}

AIGenerator::AIGenerator(Service service, QObject* parent)
    : QObject(parent), service_(std::move(service)), network_(new QNetworkAccessManager(this)) {}

AIGenerator::~AIGenerator() = default;

std::optional<QString> AIGenerator::refusal(const QString& address) {
    const QString text = address.trimmed();
    if (text.isEmpty()) return QString::fromUtf8(kNoServiceText);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("The AI generation service's address is no web address: ") + text;
    const QString scheme = url.scheme().toLower();
    if (scheme == "https") return std::nullopt;
    // Plain http only to this machine: a service the user runs here (and
    // the tests' stand-in); anything further would carry the audio in clear.
    const QHostAddress host(url.host());
    const bool loopback = url.host().compare("localhost", Qt::CaseInsensitive) == 0 || host.isLoopback();
    if (scheme == "http" && loopback) return std::nullopt;
    return QStringLiteral("The AI generation service must be reached over https: ") + text;
}

std::optional<QString> AIGenerator::unavailable() const {
    return refusal(service_.baseAddress.toString());
}

void AIGenerator::generate(Kind kind, const EditorModel& editor, const fs::path& folder) {
    const auto& doc = editor.doc();
    const auto& analysis = editor.analysis();
    const auto& pins = editor.pins();
    if (!doc || !doc->channels || !analysis || !pins)
        return;
    Input input;
    input.url = doc->url;
    input.sampleRate = doc->sampleRate;
    input.bpm = analysis->grid.bpm;
    input.beatsPerBar = analysis->grid.beatsPerBar;
    input.keyTonic = analysis->key.tonic;
    input.keyMode = analysis->key.mode;
    input.loopStartFrame = editor.frame(pins->loopStart);
    input.loopEndFrame = editor.frame(pins->loopEnd);
    input.musicEndFrame = editor.frame(pins->musicEnd);
    generate(kind, input, *doc->channels, folder);
}

void AIGenerator::generate(Kind kind, const Input& input,
                           const std::vector<std::vector<float>>& channels,
                           const fs::path& folder) {
    if (running_ || unavailable() || channels.empty() || !(input.sampleRate > 0) || !(input.bpm > 0) ||
        input.beatsPerBar < 1 || input.loopStartFrame > input.loopEndFrame)
        return;
    static uint64_t nextId = 0;
    auto job = std::make_unique<Job>();
    job->id = ++nextId;
    job->service = service_;
    job->kind = kind;
    job->name = input.url.stem().string();
    job->barSeconds = 60.0 / input.bpm * input.beatsPerBar;
    job->folder = folder;
    const double sr = input.sampleRate;

    const int64_t endingEnd = input.musicEndFrame;
    const int64_t endingStart = std::max<int64_t>(endingEnd - framesOf(kEndingWindowSeconds, sr), 0);
    const auto [spanStart, spanEnd] = kind == Kind::ending
                                          ? std::pair{endingStart, endingEnd}
                                          : std::pair{input.loopStartFrame, input.loopEndFrame};

    setRunning(kind);
    setStatus(QStringLiteral("Preparing…"));
    try {
        prepare(std::move(job), input, channels, spanStart, spanEnd);
    } catch (const std::exception& e) {
        fail(e);
    }
}

void AIGenerator::prepare(std::unique_ptr<Job> job, const Input& input,
                          const std::vector<std::vector<float>>& channels, int64_t spanStart,
                          int64_t spanEnd) {
    const Kind kind = job->kind;
    const double sr = input.sampleRate;

    QJsonObject body;
    body["kind"] = q(rawValue(kind));
    body["name"] = q(job->name);
    body["bpm"] = input.bpm;
    body["key"] = q(input.keyTonic + (input.keyMode == "minor" ? "m" : ""));

    if (kind == Kind::intro) {
        body["bars"] = 4;
        body["durationSec"] = 4 * job->barSeconds;
        job->body = body;
        job_ = std::move(job);
        sendGeneration();
        return;
    }

    const int64_t limit = framesOf(kClipLimitSeconds, sr);
    const int64_t spanFrames = std::max<int64_t>(spanEnd - spanStart, 0);
    body["durationSec"] = double(std::min(spanFrames, limit)) / sr;
    if (kind == Kind::ending)
        body["endStyle"] = "cadential";
    job->body = body;

    // Only the part of the span that is sent is copied, so the document may
    // change while the clip is encoded.
    int64_t frames = int64_t(channels[0].size());
    if (channels.size() > 1)
        frames = std::min(frames, int64_t(channels[1].size()));
    const int64_t clipEnd = std::clamp<int64_t>(spanEnd, 0, frames);
    const int64_t clipStart = std::clamp<int64_t>(std::max(spanStart, spanEnd - limit), 0, clipEnd);
    std::vector<std::vector<float>> clip;
    for (size_t c = 0; c < std::min<size_t>(channels.size(), 2); ++c)
        clip.emplace_back(channels[c].begin() + clipStart, channels[c].begin() + clipEnd);

    const uint64_t id = job->id;
    job_ = std::move(job);
    QPointer<AIGenerator> self(this);
    handoff::toPool([self, id, sr, clip = std::move(clip)] {
        std::optional<QByteArray> bytes;
        std::optional<AppError> error;
        try {
            bytes = encodeClip(clip, sr, 0, int64_t(clip[0].size()));
        } catch (const AppError& e) {
            error = e;
        } catch (const std::exception& e) {
            error = AppError(kAacWriteFailed, e.what());
        }
        handoff::toThreadOf(
            nullptr,
            [self, id, bytes = std::move(bytes), error = std::move(error)] {
                if (!self || !self->job_ || self->job_->id != id)
                    return;
                if (error)
                    return self->fail(*error);
                self->setStatus(QStringLiteral("Uploading…"));
                self->request(QStringLiteral("ai/clip"), "POST", &*bytes, QStringLiteral("audio/mp4"),
                              {}, [self](const QJsonObject& answer) {
                                  const QJsonValue url = answer.value("url");
                                  if (url.isString())
                                      self->job_->body["clipUrl"] = url;
                                  self->sendGeneration();
                              });
            });
    });
}

void AIGenerator::request(const QString& path, const QByteArray& method, const QByteArray* body,
                          const QString& contentType, const QString& query, Answer onAnswer) {
    const Service& service = job_->service;
    QUrl url = service.baseAddress;
    QString basePath = url.path();
    if (!basePath.endsWith('/'))
        basePath += '/';
    url.setPath(basePath + path);
    url.setQuery(query.isEmpty() ? QString() : query, QUrl::StrictMode);
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    req.setTransferTimeout(int(service.requestTimeout.count()));
    if (!service.key.isEmpty()) req.setRawHeader("Authorization", "Bearer " + service.key.toUtf8());
    QNetworkReply* reply = body ? network_->sendCustomRequest(req, method, *body)
                                : network_->sendCustomRequest(req, method);
    const uint64_t id = job_->id;
    connect(reply, &QNetworkReply::finished, this, [this, reply, id, onAnswer = std::move(onAnswer)] {
        reply->deleteLater();
        if (!job_ || job_->id != id)
            return;
        const QJsonObject answer = jsonObject(reply->readAll());
        if (auto failure = replyFailure(reply, answer))
            return fail(*failure);
        try {
            onAnswer(answer);
        } catch (const std::exception& e) {
            fail(e);
        }
    });
}

void AIGenerator::sendGeneration() {
    const QByteArray body = QJsonDocument(job_->body).toJson(QJsonDocument::Compact);
    request(QStringLiteral("ai/generate"), "POST", &body, QStringLiteral("application/json"), {},
            [this](const QJsonObject& answer) {
                const QJsonValue task = answer.value("taskId");
                if (!task.isString() || task.toString().isEmpty())
                    throw AppError(kNoTask, "The generation service named no task");
                job_->taskId = task.toString();
                const QJsonValue used = answer.value("used"), allowance = answer.value("allowance");
                auto isInteger = [](const QJsonValue& v) {
                    return v.isDouble() && std::trunc(v.toDouble()) == v.toDouble() &&
                           std::abs(v.toDouble()) < 9.0e15;
                };
                if (isInteger(used) && isInteger(allowance))
                    setUsage(q(fmt::format("{} of {} generations used this month",
                                           int64_t(used.toDouble()), int64_t(allowance.toDouble()))));
                job_->clock.start();
                poll();
            });
}

void AIGenerator::poll() {
    if (job_->clock.elapsed() >= job_->service.timeLimit.count())
        return fail(AppError(kStillGenerating, "Still generating after 8 minutes. Try again shortly."));
    setStatus(q(fmt::format("Generating… {}s", job_->clock.elapsed() / 1000)));
    const uint64_t id = job_->id;
    QTimer::singleShot(job_->service.pollInterval, this, [this, id] {
        if (!job_ || job_->id != id)
            return;
        // Encoded in full: a task identifier may hold "+", "&" or "=".
        const QString query =
            QStringLiteral("taskId=") + QString::fromLatin1(QUrl::toPercentEncoding(job_->taskId));
        request(QStringLiteral("ai/generate"), "GET", nullptr, QStringLiteral("application/json"),
                query, [this](const QJsonObject& answer) {
                    const QString status = answer.value("status").toString();
                    if (status == "failed")
                        throw AppError(kGenerationFailed,
                                       errorText(answer, "Generation failed").toStdString());
                    const QJsonValue tracks = answer.value("tracks");
                    const bool usable =
                        status == "done" && tracks.isArray() &&
                        std::all_of(tracks.toArray().begin(), tracks.toArray().end(),
                                    [](const QJsonValue& t) { return t.isObject(); });
                    if (!usable)
                        return poll();
                    if (tracks.toArray().isEmpty())
                        throw AppError(kStillGenerating,
                                       "Still generating after 8 minutes. Try again shortly.");
                    for (const QJsonValue& t : tracks.toArray())
                        job_->tracks.push_back(t.toObject());
                    setStatus(QStringLiteral("Downloading takes…"));
                    fs::create_directories(job_->folder);
                    downloadNext();
                });
    });
}

void AIGenerator::downloadNext() {
    std::optional<QUrl> url;
    while (!url && job_->nextTrack < job_->tracks.size())
        url = takeAddress(job_->tracks[job_->nextTrack++].value("url"));
    if (!url)
        return finishWithSuccess();

    QNetworkRequest req(*url);
    req.setTransferTimeout(int(job_->service.requestTimeout.count()));
    QNetworkReply* reply = network_->get(req);
    const uint64_t id = job_->id;
    connect(reply, &QNetworkReply::finished, this, [this, reply, id] {
        reply->deleteLater();
        if (!job_ || job_->id != id)
            return;
        const QByteArray data = reply->readAll();
        if (auto failure = replyFailure(reply, jsonObject(data)))
            return fail(*failure);
        const fs::path file =
            fs::temp_directory_path() / ("qm-take-" + Uuid::random().uuidString() + ".mp3");
        try {
            {
                std::ofstream out(file, std::ios::binary);
                out.write(data.constData(), data.size());
                out.close();
                if (!out)
                    throw AppError(WavFileWriter::kWriteFailed,
                                   "Cannot write the downloaded take " + file.filename().string());
            }
            writeTake(file, ++job_->lastNumber);
        } catch (const std::exception& e) {
            std::error_code ec;
            fs::remove(file, ec);
            return fail(e);
        }
        std::error_code ec;
        fs::remove(file, ec);
        downloadNext();
    });
}

// Decodes one downloaded take and writes it (and, for intros and endings,
// its trimmed form) under the first take number from `number` on whose
// names are all free, so that an earlier generation's takes stay.
void AIGenerator::writeTake(const fs::path& downloaded, int number) {
    Job& job = *job_;
    const PlanarAudio audio = Signal::readPlanar(downloaded);
    const bool trimmed = job.kind != Kind::variation;
    const std::string stem = job.name + " - " + title(job.kind) + " ";
    auto fullName = [&](int n) { return job.folder / fmt::format("{}{} (full take).wav", stem, n); };
    auto trimName = [&](int n) { return job.folder / fmt::format("{}{}.wav", stem, n); };
    while (fs::exists(fullName(number)) || (trimmed && fs::exists(trimName(number))))
        ++number;
    job.lastNumber = number;

    const std::string raw = rawValue(job.kind);
    writeWav(fullName(number), audio, audio.channels,
             "Quillmarsh Vanta AI " + raw + " take for " + job.name);
    job.written.push_back(fullName(number));
    if (!trimmed)
        return;
    const bool intro = job.kind == Kind::intro;
    const auto cut =
        intro ? transitionTrim(audio.channels, audio.sampleRate,
                               {.intro = true, .length = job.barSeconds + 4 * job.barSeconds, .fade = job.barSeconds / 4})
              : transitionTrim(audio.channels, audio.sampleRate, {.intro = false, .length = 15, .fade = 1});
    writeWav(trimName(number), audio, cut,
             "Quillmarsh Vanta AI " + raw + " for " + job.name + ", trimmed");
    job.written.push_back(trimName(number));
}

void AIGenerator::finishWithSuccess() {
    std::vector<fs::path> written = std::move(job_->written);
    job_.reset();
    results_.insert(results_.begin(), written.begin(), written.end());
    emit resultsChanged();
    setStatus(q(fmt::format("{} files written", written.size())));
    setRunning(std::nullopt);
    emit revealRequested(written);
}

void AIGenerator::fail(const std::exception& error) {
    job_.reset();
    setStatus(QString::fromUtf8(error.what()).simplified());
    setRunning(std::nullopt);
}

void AIGenerator::setRunning(std::optional<Kind> kind) {
    if (running_ == kind)
        return;
    running_ = kind;
    emit runningChanged();
}

void AIGenerator::setStatus(const QString& text) {
    if (status_ == text)
        return;
    status_ = text;
    emit statusChanged();
}

void AIGenerator::setUsage(const QString& text) {
    if (usage_ == text)
        return;
    usage_ = text;
    emit usageChanged();
}

QByteArray AIGenerator::encodeClip(const std::vector<std::vector<float>>& channels, double sr,
                                   int64_t start, int64_t end) {
    if (channels.empty())
        throw AppError(kClipFormat, "There is no audio to send");
    const int rate = int(std::lround(sr));
    if (!(sr > 0) || std::abs(sr - rate) > 1e-9)
        throw AppError(kClipFormat, fmt::format("Cannot encode AAC at {} Hz", sr));
    const std::vector<float>& left = channels[0];
    const std::vector<float>& right = channels.size() > 1 ? channels[1] : channels[0];
    end = std::clamp<int64_t>(end, 0, int64_t(std::min(left.size(), right.size())));
    start = std::clamp<int64_t>(std::max(start, end - framesOf(kClipLimitSeconds, sr)), 0, end);

    const fs::path file =
        fs::temp_directory_path() / ("qm-clip-" + Uuid::random().uuidString() + ".m4a");
    struct Remove {
        fs::path file;
        ~Remove() {
            std::error_code ec;
            fs::remove(file, ec);
        }
    } remove{file};

    {
        AacFileWriter writer(file, rate, 2, kClipBitRate);
        for (int64_t at = start; at < end; at += kClipBlock) {
            const int64_t n = std::min(kClipBlock, end - at);
            const float* block[2] = {left.data() + at, right.data() + at};
            writer.append(block, n);
        }
        writer.finish();
    }
    std::ifstream in(file, std::ios::binary);
    QByteArray bytes;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        bytes.append(buffer, in.gcount());
    if (in.bad())
        throw AppError(kAacWriteFailed, "Cannot read back the encoded clip");
    return bytes;
}

std::vector<std::vector<float>> AIGenerator::transitionTrim(const std::vector<std::vector<float>>& channels,
                                                            double sr, const Trim& trim) {
    const auto [intro, length, fade] = trim;
    if (channels.empty() || channels[0].empty())
        return channels;
    const int64_t total = int64_t(channels[0].size());
    const int64_t L = std::max<int64_t>(std::min(total, framesOf(length, sr)), 0);
    const int64_t F = std::max<int64_t>(std::min(L, framesOf(fade, sr)), 0);
    std::vector<std::vector<float>> out;
    out.reserve(channels.size());
    for (const auto& ch : channels) {
        // A shorter channel is read as silence past its end.
        std::vector<float> x(size_t(L), 0.0f);
        const int64_t from = intro ? 0 : total - L;
        for (int64_t i = 0; i < L; ++i)
            if (from + i < int64_t(ch.size()))
                x[size_t(i)] = ch[size_t(from + i)];
        for (int64_t k = 0; k < F; ++k) {
            const double phase = double(k) / double(F) * std::numbers::pi / 2;
            if (intro)
                x[size_t(L - F + k)] *= float(std::cos(phase));
            else
                x[size_t(k)] *= float(std::sin(phase));
        }
        out.push_back(std::move(x));
    }
    return out;
}

}  // namespace qm
