// The common metadata of an audio file that carries no WAV chunks (MP3,
// FLAC, M4A, AIFF, Ogg...): a list of (common key, text) items, read with
// TagLib.
//
// Keys and the TagLib properties that feed them, in the order the items
// come (each property's values in their own order):
//   "title"       TITLE
//   "creator"     COMPOSER
//   "artist"      ARTIST
//   "subject"     SUBJECT
//   "publisher"   LABEL, PUBLISHER   (ID3 TPUB reads as LABEL)
//   "description" COMMENT, DESCRIPTION
// A file TagLib cannot open or read gives no items.
//
// commonMetadata never waits more than its time-out: the read runs on a
// thread of this layer and the caller takes what the result slot holds when
// its wait ends; a result that comes later is dropped. A read that hangs (a
// network file system that stopped answering) keeps its thread, so at most
// kMaxReadsInFlight reads run at once; a call that finds none free within
// its time-out gives no items.
//
// Any thread may call commonMetadata, several at once. setReader belongs to
// test set-up.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qm {

class ReadOnlyFile;

struct AssetMetadataItem {
    std::string key;    // one of the common keys above
    std::string value;  // UTF-8
    bool operator==(const AssetMetadataItem&) const = default;
};

namespace AssetMetadata {

inline constexpr const char* kTitle = "title";
inline constexpr const char* kCreator = "creator";
inline constexpr const char* kArtist = "artist";
inline constexpr const char* kSubject = "subject";
inline constexpr const char* kPublisher = "publisher";
inline constexpr const char* kDescription = "description";

inline constexpr int kMaxReadsInFlight = 32;
inline constexpr std::chrono::milliseconds kDefaultTimeout{2000};

// A blocking read of one file's items.
using Reader = std::function<std::vector<AssetMetadataItem>(const std::filesystem::path&)>;

// The TagLib reader, run on the caller's thread.
std::vector<AssetMetadataItem> readWithTagLib(const std::filesystem::path& file);

// The items of `file` as the current reader gives them within `timeout`.
std::vector<AssetMetadataItem> commonMetadata(const std::filesystem::path& file,
                                              std::chrono::milliseconds timeout = kDefaultTimeout);

// Whether readWithTagLib is sure to give no items for `file`, opened at
// `url`, as seen from its first bytes and chunk names without TagLib:
// - an AIFF/AIFC file under an AIFF name ("aif", "aiff", "aifc", any case)
//   with no "ID3 " or "id3 " chunk among the chunks TagLib walks (it reads
//   an AIFF file's tags from that chunk alone);
// - a Wave64 file under any other name TagLib has no format for ("w64")
//   whose first kilobytes hold nothing its detection by content could take
//   for another format (an MPEG frame sync, "fLaC").
// False whenever in doubt, and while a reader other than TagLib is set.
bool surelyEmpty(const ReadOnlyFile& file, const std::filesystem::path& url);

// Replaces the reader commonMetadata runs; an empty function restores TagLib.
void setReader(Reader reader);

// A reader for tests: gives `items` for every file after `delay`.
Reader fakeReader(std::vector<AssetMetadataItem> items, std::chrono::milliseconds delay = {});

// Reads still running on threads of the layer (finished or not waited for).
int readsInFlight();

}  // namespace AssetMetadata

}  // namespace qm
