// One running instance per user: a launch first offers its files to the
// instance already running, over a local socket in the user's runtime
// folder (a file with the user's permissions only, never the abstract
// namespace). When someone answers, the files are handed over and this
// launch ends; else this launch becomes the one that serves (a socket left
// behind by a crashed instance is removed first).
//
// The message is the absolute paths, UTF-8, one per line, at most
// kMaxMessage bytes; the server reads it within kReadLimitMs and drops a
// connection that sends more or takes longer.
//
// Main thread only.
#pragma once

#include <QObject>
#include <QString>

#include <filesystem>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace qm {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kMaxMessage = 64 * 1024;
    static constexpr int kReadLimitMs = 2000;
    static constexpr int kConnectLimitMs = 1000;

    // `socketPath` empty: "quillmarsh.socket" in the runtime folder.
    explicit SingleInstance(QString socketPath = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The runtime folder's socket (XDG_RUNTIME_DIR, else Qt's fallback).
    static QString defaultSocketPath();

    // Hands `files` (made absolute) to a running instance: true when one
    // took them. Otherwise starts serving and answers false; `listening()`
    // tells whether that worked.
    bool handOverOrServe(const std::vector<std::filesystem::path>& files);
    bool listening() const;
    const QString& socketPath() const { return path_; }

    // The message for some files: their absolute paths, one a line, cut
    // at the last whole line that fits the limit.
    static QByteArray encode(const std::vector<std::filesystem::path>& files);
    static std::vector<std::filesystem::path> decode(const QByteArray& message);

signals:
    // Files another launch handed over (possibly none: it was launched
    // without files, which brings the running instance forward).
    void filesReceived(const std::vector<std::filesystem::path>& files);

private:
    void accept();

    QString path_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace qm
