// The writing half of RIFFMeta (see RIFFMeta.h).
#include "library/RIFFMeta.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "audio/Text.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"
#include "platform/ReadOnlyFile.h"

namespace qm::RIFFMeta {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BWFXML><IXML_VERSION>2.10</IXML_VERSION>";
constexpr std::string_view kRootEnd = "</BWFXML>";
constexpr uint64_t kMaxRIFFSize = 0xFFFFFFFFull;

std::mutex observerLock;
std::function<void(uint64_t)> copyObserver;

void notifyCopied(uint64_t copied) {
    std::lock_guard lock(observerLock);
    if (copyObserver) copyObserver(copied);
}

[[noreturn]] void notWritable() { throw AppError(kNotWritableWav, "Not a WAV file Quillmarsh can write"); }

[[noreturn]] void failed(const fs::path& url, const std::string& reason) {
    throw AppError(FileAccess::kWriteFailed, fmt::format("Couldn't save \"{}\": {}", url.filename().string(), reason));
}

std::string le32(uint64_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

uint64_t chunkBytes(uint64_t size) { return 8 + size + (size & 1); }

void appendEscaped(std::string& out, std::string_view value) {
    for (char c : value) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
}

// The record's description as the 256-byte bext field: a character the cut
// would split is dropped whole; no terminating zero when the text fills it.
std::string descriptionField(const std::string& description) {
    std::string bytes = text::repairUtf8(description);
    if (bytes.size() > kBextDescriptionBytes) bytes.resize(kBextDescriptionBytes);
    while (!bytes.empty() && !text::isValidUtf8(bytes)) bytes.pop_back();
    bytes.resize(kBextDescriptionBytes, '\0');
    return bytes;
}

[[noreturn]] void tooLong() { throw AppError(kMetadataTooLong, "Metadata too long to store in the file"); }

// The first iXML chunk after the rewrite: its text, and whether the old
// first iXML stays beside it as a chunk of its own (the new one goes first).
struct NewIXML {
    std::string text;
    bool keepOld = false;
};

// A reader takes the first USER element within the first kMaxIXMLBytes: the
// block must be exactly that element.
bool readsBack(const std::string& text, size_t at, const std::string& block) {
    if (at + block.size() > kMaxIXMLBytes) return false;
    return userSpan(std::string_view(text).substr(0, kMaxIXMLBytes)) == std::pair{at, at + block.size()};
}

// Text in UTF-16 or UTF-32 (a byte-order mark, or a zero byte beside the
// first character): its ASCII markers are not where a byte search looks.
bool isWideText(std::string_view bytes) {
    for (std::string_view bom : {std::string_view("\xFF\xFE"), std::string_view("\xFE\xFF"),
                                 std::string_view("\0\0\xFE\xFF", 4)})
        if (bytes.starts_with(bom)) return true;
    return bytes.size() >= 2 && (bytes[0] == '\0') != (bytes[1] == '\0');
}

NewIXML fresh(const std::string& block, bool keepOld) {
    NewIXML out{std::string(kPrefix) + block + std::string(kRootEnd), keepOld};
    if (!readsBack(out.text, kPrefix.size(), block)) tooLong();
    return out;
}

// The new iXML. The old text's bytes outside the USER block stay exactly as
// they were, zero bytes and any 8-bit encoding included: the markers are
// ASCII, so they are found in the bytes as a reader finds them in the
// decoded text. The block replaces the first USER element, else goes where
// a reader looks first: at a USER start tag never closed (a reader would
// read that block's elements together with the new ones, and theirs first),
// else before the last root end tag; when that place lies past what a
// reader reads, the old block goes and the new one follows the root's start
// tag.
NewIXML ixmlText(const std::optional<std::string>& old, const std::string& block) {
    if (!old || old->find_first_not_of('\0') == std::string::npos) return fresh(block, false);
    if (isWideText(*old)) return fresh(block, true);
    const std::string& text = *old;
    const auto spliced = [&](size_t from, size_t to, size_t at) {
        std::string out = text;
        out.replace(from, to - from, "");
        out.insert(at, block);
        return out;
    };
    const std::optional<std::pair<size_t, size_t>> span = userSpan(text);
    if (span) {
        std::string out = spliced(span->first, span->second, span->first);
        if (readsBack(out, span->first, block)) return {std::move(out), false};
    } else {
        size_t at = findTag(text, "<USER>");
        if (at == std::string::npos) {
            for (size_t p = findTag(text, kRootEnd); p != std::string::npos; p = findTag(text, kRootEnd, p + 1))
                at = p;
        }
        if (at != std::string::npos) {
            std::string out = spliced(at, at, at);
            if (readsBack(out, at, block)) return {std::move(out), false};
        }
    }
    for (size_t root = findTag(text, "<BWFXML"); root != std::string::npos;
         root = findTag(text, "<BWFXML", root + 1)) {
        const size_t after = root + 7;
        if (after < text.size() && text[after] != '>' && text[after] != ' ' && text[after] != '\t' &&
            text[after] != '\r' && text[after] != '\n')
            continue;  // "<BWFXMLX>" is another element
        const size_t end = text.find('>', after);
        if (end == std::string::npos || end >= kMaxIXMLBytes || text[end - 1] == '/') break;
        if (span && span->first <= end) break;  // a block before the root: no place to move it to
        std::string out = span ? spliced(span->first, span->second, end + 1) : spliced(end + 1, end + 1, end + 1);
        const size_t at = end + 1;
        if (readsBack(out, at, block)) return {std::move(out), false};
        break;
    }
    return fresh(block, true);
}

std::string bextBytes(const std::optional<std::string>& old, const std::string& description) {
    std::string bext;
    if (old) {
        bext = *old;
        if (bext.size() < kBextBytes) bext.resize(kBextBytes, '\0');
    } else {
        bext.assign(kBextBytes, '\0');
        std::memcpy(bext.data() + 256, "Quillmarsh", 10);  // Originator
        bext[346] = 1;                                       // Version 1
    }
    bext.replace(0, kBextDescriptionBytes, descriptionField(description));
    return bext;
}

// The new file's bytes as they go out: small pieces gathered, kept chunks
// copied from the old file block by block.
//
// Where the file system may copy on its server (a network one) or shares
// blocks (btrfs, XFS), copy_file_range spares the copy itself. Elsewhere the
// kernel would only copy through its pipe pages, which measured slower and
// dearer in processor time than pread and write through a buffer of 1 MiB.
//
// The old file's pages are dropped from the page cache as they are copied:
// they are freed with the file anyway once the new one takes its name, and
// holding both files' pages at once made the copy wait for memory. The new
// file's pages are sent to the disk every 32 MiB (sync_file_range, which
// does not wait for them): the closing fsync then waits for the last few
// only, and the copy never piles up dirty pages until the kernel throttles
// it. With the larger buffer, that halved the time of a 2 GB rewrite
// (bench/metadata_write.cpp).
class Output {
public:
    Output(int fd, const fs::path& url) : fd_(fd), url_(url), copyRange_(copiesWithoutUs(fd)) {}

    void put(std::string_view bytes) { pending_ += bytes; }

    // One chunk in one piece: header, data and a pad byte after an odd size.
    void chunk(std::string_view id, const std::string& data) {
        put(id);
        put(le32(data.size()));
        put(data);
        if (data.size() & 1) put(std::string_view("\0", 1));
    }

    // `size` bytes of `source` from `offset`. A read that ends early means
    // the file got shorter since its chunks were listed: never a success.
    void copy(const ReadOnlyFile& source, uint64_t offset, uint64_t size) {
        flush();
        auto in = static_cast<off_t>(offset);
        while (size > 0) {
            const size_t step = static_cast<size_t>(std::min(size, kCopyBlock));
            ssize_t n = -1;
            if (copyRange_) {
                n = ::copy_file_range(source.descriptor(), &in, fd_, nullptr, step, 0);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                    copyRange_ = false;
                    continue;
                }
                if (n < 0) failed(url_, std::strerror(errno));
            } else {
                if (buffer_.empty()) buffer_.resize(kBufferedBlock);
                n = source.readAt(buffer_.data(), std::min(step, buffer_.size()), static_cast<uint64_t>(in));
                if (n < 0) failed(url_, std::strerror(errno));
                if (n > 0 && !FileAccess::writeAll(fd_, buffer_.data(), static_cast<size_t>(n)))
                    failed(url_, std::strerror(errno));
                in += n;
            }
            if (n == 0) failed(url_, "the file got shorter while it was being saved");
            ::posix_fadvise(source.descriptor(), in - n, n, POSIX_FADV_DONTNEED);
            size -= static_cast<uint64_t>(n);
            written_ += static_cast<uint64_t>(n);
            if ((copied_ + static_cast<uint64_t>(n)) / kWriteBackEvery != copied_ / kWriteBackEvery)
                ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
            copied_ += static_cast<uint64_t>(n);
            notifyCopied(copied_);
        }
    }

    void flush() {
        if (!FileAccess::writeAll(fd_, pending_.data(), pending_.size())) failed(url_, std::strerror(errno));
        written_ += pending_.size();
        pending_.clear();
    }

    uint64_t written() const { return written_ + pending_.size(); }

private:
    static constexpr size_t kBufferedBlock = 1024 * 1024;
    static constexpr uint64_t kWriteBackEvery = 32 * 1024 * 1024;

    static bool copiesWithoutUs(int fd) {
        if (FileAccess::onNetworkFileSystem(fd)) return true;
        struct statfs fs {};
        return ::fstatfs(fd, &fs) == 0 && (static_cast<unsigned long>(fs.f_type) == BTRFS_SUPER_MAGIC ||
                                           static_cast<unsigned long>(fs.f_type) == XFS_SUPER_MAGIC);
    }

    int fd_;
    const fs::path& url_;
    std::string pending_;
    std::vector<char> buffer_;
    bool copyRange_;
    uint64_t written_ = 0, copied_ = 0;
};

// The bytes of the first chunk of that id (empty when a read gives none), or
// nothing when there is no such chunk.
std::optional<std::string> firstChunk(const ReadOnlyFile& file, const std::vector<Chunk>& list, std::string_view id,
                                      const fs::path& url) {
    for (const Chunk& c : list) {
        if (c.id != id) continue;
        std::string bytes(static_cast<size_t>(c.size), '\0');
        const ssize_t got = file.readAt(bytes.data(), bytes.size(), c.offset);
        if (got < 0) failed(url, std::strerror(errno));
        bytes.resize(static_cast<size_t>(got));
        return bytes;
    }
    return std::nullopt;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

void setCopyObserver(std::function<void(uint64_t)> observer) {
    std::lock_guard lock(observerLock);
    copyObserver = std::move(observer);
}

std::string userBlock(const SoundMeta& meta) {
    std::string block = "<USER>";
    for (const SoundMeta::IxmlTag& row : SoundMeta::ixmlTags()) {
        const std::string& value = meta.*row.field;
        if (value.empty()) continue;
        block += fmt::format("<{}>", row.tag);
        appendEscaped(block, text::repairUtf8(value));
        block += fmt::format("</{}>", row.tag);
    }
    if (!meta.category.empty() || !meta.subCategory.empty()) {
        const std::string full = meta.category.empty()      ? meta.subCategory
                                 : meta.subCategory.empty() ? meta.category
                                                            : meta.category + "-" + meta.subCategory;
        block += "<CATEGORYFULL>";
        appendEscaped(block, text::repairUtf8(full));
        block += "</CATEGORYFULL>";
    }
    if (meta.rating > 0) block += fmt::format("<RATING>{}</RATING>", meta.rating);
    block += "<EMBEDDER>Quillmarsh</EMBEDDER></USER>";
    return block;
}

void write(const SoundMeta& meta, const fs::path& url) {
    // The link stays a link; the file it leads to is the one read and replaced.
    const fs::path file = FileAccess::resolveLink(url);
    const ReadOnlyFile source(file);
    if (!source) failed(url, std::strerror(errno));
    struct stat before {};
    if (::fstat(source.descriptor(), &before) != 0) failed(url, std::strerror(errno));
    if (!S_ISREG(before.st_mode)) notWritable();
    const auto end = static_cast<uint64_t>(before.st_size);

    // Everything that can refuse the file is decided before a temporary exists.
    const std::optional<std::vector<Chunk>> list = chunks(source, true);
    if (!list || list->size() >= kMaxChunks) notWritable();
    bool hasData = false;
    const Chunk* oldIXML = nullptr;
    const Chunk* oldBext = nullptr;
    for (const Chunk& c : *list) {
        hasData = hasData || c.id == "data";
        if (!oldIXML && c.id == "iXML") oldIXML = &c;
        if (!oldBext && c.id == "bext") oldBext = &c;
    }
    if (!hasData) notWritable();
    if ((oldIXML && oldIXML->size > kMaxHeldChunk) || (oldBext && oldBext->size > kMaxHeldChunk)) notWritable();

    const NewIXML ixml = ixmlText(firstChunk(source, *list, "iXML", url), userBlock(meta));
    const std::string bext = bextBytes(firstChunk(source, *list, "bext", url), meta.description);
    const auto replaced = [&](const Chunk& c) { return &c == oldBext || (&c == oldIXML && !ixml.keepOld); };
    // The new chunks go before the first data chunk, or before an iXML or
    // bext that stays if one comes first: a reader takes the first of each.
    const auto placeHere = [&](const Chunk& c) {
        return c.id == "data" || ((c.id == "iXML" || c.id == "bext") && !replaced(c));
    };
    // Declaring 0 bytes with more after it, or more than the file holds, the
    // data chunk runs to the end of the file and stays as it is, header
    // included.
    const auto runsToEnd = [&](const Chunk& c) {
        return c.id == "data" && (c.declared > c.size || (c.declared == 0 && c.offset < end));
    };

    uint64_t length = 12;
    bool placed = false;
    for (const Chunk& c : *list) {
        if (replaced(c)) continue;
        if (!placed && placeHere(c)) {
            length += chunkBytes(bext.size()) + chunkBytes(ixml.text.size());
            placed = true;
        }
        length += runsToEnd(c) ? end - c.offset + 8 : chunkBytes(c.size);
    }
    auto tooLarge = [] { throw AppError(kTooLargeForRIFF, "File too large for RIFF"); };
    if (length - 8 > kMaxRIFFSize) tooLarge();

    FileAccess::writeThroughTemporary(
        file,
        [&](FileAccess::TemporaryFile& temporary) {
            Output out(temporary.fd(), url);
            out.put(std::string_view("RIFF\0\0\0\0WAVE", 12));
            bool newChunksWritten = false;
            for (const Chunk& c : *list) {
                if (replaced(c)) continue;
                if (!newChunksWritten && placeHere(c)) {
                    out.chunk("bext", bext);
                    out.chunk("iXML", ixml.text);
                    newChunksWritten = true;
                }
                if (runsToEnd(c)) {
                    out.copy(source, c.offset - 8, end - c.offset + 8);
                    break;
                }
                // The id as it stands in the old file, even where it is no UTF-8.
                out.put(std::string_view(c.raw.data(), 4));
                out.put(le32(c.size));
                out.copy(source, c.offset, c.size);
                if (c.size & 1) out.put(std::string_view("\0", 1));
            }
            out.flush();
            if (out.written() - 8 > kMaxRIFFSize) tooLarge();
            const std::string riffSize = le32(out.written() - 8);
            if (::pwrite(temporary.fd(), riffSize.data(), 4, 4) != 4) failed(url, std::strerror(errno));
            // Changed in place while copied (a tag editor, say): the copy may mix
            // old and new bytes.
            struct stat after {};
            if (::fstat(source.descriptor(), &after) != 0) failed(url, std::strerror(errno));
            if (!sameFile(before, after)) failed(url, "the file changed while it was being saved");
        });
}

}  // namespace qm::RIFFMeta
