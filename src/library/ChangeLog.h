// The change log a team shares inside each library folder: everyone who
// edits a file's metadata appends the change to their own JSON-lines file in
// "<root>/.quillmarsh/changes" ("<login>@<host>.jsonl"), and everyone else's
// catalog pulls the new lines of the other files into its rows. Audio files
// are never touched by a pull; only catalogs change.
//
// A colleague's log is someone else's data, possibly hostile or broken, so
// a pull never reaches outside the root: links are never followed (folders,
// logs, entry files), a log is read only when it is a regular file and in
// bounded pieces (an over-long line is consumed as malformed), an entry path
// that is absolute or holds ".", "..", an empty part or a NUL is skipped,
// and an entry applies only to a regular file whose resolved path is its
// own and whose catalog row belongs to this root. Every skipped line is
// consumed, so it is never tried again.
//
// A pull changes catalog records and nothing else: the row's record and
// full-text body take the entry's fields, and the entry is kept apart from
// the row (Catalog::keepEdits), so that cataloguing the file again, after
// anything changed it, lays the entry over what the file then says. The
// row's stamps and facts stay as the last scan found them: a file changed
// since is read again by the next scan, its own new metadata included. An
// entry for a file that cannot be seen now but whose row is kept offline
// changes that row too.
//
// Appends use O_APPEND and one write a line, so lines of concurrent appends
// never mix; a short write is cut back so no half line spoils the next.
// Pulls of one root into one catalog run one at a time, so no line is
// applied twice and the stored offset only grows.
//
// A pull applies a log in batches of kBatchLines lines, each batch's
// entries and the log's new offset in one transaction: the offset never
// passes a line whose entry was not stored, and a pull that ends early
// (asked to stop, or refused by the catalog) resumes after its last batch.
//
// Any thread; pull blocks its thread. The file checks of a batch are made
// before the catalog's lock is taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

class Catalog;

namespace ChangeLog {

// Lines longer than this (without their line feed) are consumed unread.
inline constexpr size_t kMaxLineBytes = 1 << 20;
// Lines applied per transaction.
inline constexpr size_t kBatchLines = 256;

struct Entry {
    std::string path;                           // relative to the root
    std::map<std::string, std::string> fields;  // iXML tag -> new text
    std::optional<int64_t> rating;              // absent: not changed
    std::string user;
    std::chrono::sys_seconds time{};

    // One JSON object on one line (no line feed): "rating" left out when
    // absent, "time" as "YYYY-MM-DDTHH:MM:SSZ". Nothing when a text is not
    // valid UTF-8 (such an entry cannot be written).
    std::optional<std::string> encoded() const;
    // Strict: "path", "fields" (an object of strings), "user" and "time"
    // required; "rating" absent, null or an integral number. Anything else
    // (a fraction, a wrong kind, another time form, broken JSON) is nothing.
    static std::optional<Entry> decode(std::string_view line);

    bool operator==(const Entry&) const = default;
};

// "YYYY-MM-DDTHH:MM:SSZ" and back (nothing for any other form or an
// impossible date).
std::string timeText(std::chrono::sys_seconds time);
std::optional<std::chrono::sys_seconds> parseTime(std::string_view text);

// The name of the current user's own log without ".jsonl": the login name,
// "@", the host name ("mac" when there is none), every "/" made "-". The
// browser's metadata save writes the same text as an entry's user.
std::string ownName();
std::string ownName(std::string_view login, std::string_view host);
// The login name of the effective user (its number when it has no entry).
std::string loginName();

// The change folder of a root (canonical() applied).
std::string folder(const std::string& root);

// Appends the entry as one line to the own file in the root's change
// folder, creating the folders and the file. Never fails; writes nothing
// when a folder or the file is a link or not what it should be, when the
// entry cannot be encoded, or when the line cannot be written whole.
void append(const std::string& root, const Entry& entry);

struct PullResult {
    int64_t applied = 0;                 // entries stored
    std::optional<std::string> failure = {};  // the catalog refused a batch: its reason
    bool interrupted = false;            // ended early because `stop` said so
    bool operator==(const PullResult&) const = default;
};

// Applies every complete, new line of the other users' logs in the root's
// change folder to the catalog (nothing when the folder cannot be listed).
// `stop` is asked after each stored batch; once it says true the pull ends
// there, and the next pull goes on from there. A batch the catalog refuses
// ends the pull too, its lines left for the next one.
PullResult pull(const std::string& root, Catalog& catalog, const std::function<bool()>& stop = {});

}  // namespace ChangeLog

}  // namespace qm
