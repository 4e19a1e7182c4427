#include "platform/AssetMetadata.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fileref.h>
#include <tfile.h>
#include <tpropertymap.h>

#include "platform/ReadOnlyFile.h"

namespace qm::AssetMetadata {

namespace {

struct KeySource {
    const char* key;
    std::vector<const char*> properties;
};

const std::vector<KeySource>& sources() {
    static const std::vector<KeySource> table = {
        {kTitle, {"TITLE"}},
        {kCreator, {"COMPOSER"}},
        {kArtist, {"ARTIST"}},
        {kSubject, {"SUBJECT"}},
        {kPublisher, {"LABEL", "PUBLISHER"}},
        {kDescription, {"COMMENT", "DESCRIPTION"}},
    };
    return table;
}

// The reader in use and the count of reads running, shared by all callers.
struct State {
    std::mutex mutex;
    std::condition_variable freed;
    std::shared_ptr<const Reader> reader;
    int running = 0;
};

// Never destroyed: a read that hangs may still finish while the process ends.
State& state() {
    static State* s = new State;
    return *s;
}

// Where one read leaves its items for the caller that waits for them.
struct Slot {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<AssetMetadataItem> items;
};

std::string lowerExtension(const std::filesystem::path& url) {
    std::string ext = url.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

// TagLib's walk over an AIFF file's chunks (big-endian sizes; a pad byte
// only where it is zero), looking for its tag chunk. False when the walk
// finds one, or where it is not sure to walk as TagLib does.
bool aiffWithoutTag(const ReadOnlyFile& file, uint64_t length) {
    uint64_t offset = 12;
    for (int count = 0; offset + 8 <= length; ++count) {
        unsigned char c[8];
        if (count == 10000 || file.readAt(c, 8, offset) != 8) return false;
        const std::string_view name(reinterpret_cast<const char*>(c), 4);
        // A name TagLib refuses ends its walk; one it might take either way
        // leaves it in doubt.
        if (std::any_of(c, c + 4, [](unsigned char b) { return b < 32 || b > 127; })) return true;
        if (std::any_of(c, c + 4, [](unsigned char b) { return b == 127; })) return false;
        if (name == "ID3 " || name == "id3 ") return false;
        const uint64_t size = static_cast<uint64_t>(c[4]) << 24 | c[5] << 16 | c[6] << 8 | c[7];
        if (offset + 8 + size > length) return true;
        offset += 8 + size;
        if (offset & 1) {
            char pad;
            if (file.readAt(&pad, 1, offset) == 1 && pad == '\0') ++offset;
        }
    }
    return true;
}

// Whether nothing in a file's first bytes could make TagLib's detection by
// content take it for a format it reads: the formats it tells by their
// first bytes need other magic than a Wave64 file's; MPEG and FLAC it also
// finds further on, by a frame sync or their "fLaC".
bool nothingTagLibDetects(const ReadOnlyFile& file) {
    std::string head(4096, '\0');
    const ssize_t got = file.readAt(head.data(), head.size(), 0);
    if (got < 0) return false;
    head.resize(static_cast<size_t>(got));
    if (head.find("fLaC") != std::string::npos) return false;
    for (size_t i = 0; i + 1 < head.size(); ++i)
        if (static_cast<unsigned char>(head[i]) == 0xFF && (static_cast<unsigned char>(head[i + 1]) & 0xE0) == 0xE0)
            return false;
    return true;
}

}  // namespace

bool surelyEmpty(const ReadOnlyFile& file, const std::filesystem::path& url) {
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        if (s.reader) return false;
    }
    const std::optional<uint64_t> length = file.length();
    unsigned char h[40];
    if (!file || !length || file.readAt(h, 40, 0) != 40) return false;
    const std::string ext = lowerExtension(url);
    if (std::memcmp(h, "FORM", 4) == 0 && (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0))
        return (ext == "aif" || ext == "aiff" || ext == "aifc") && aiffWithoutTag(file, *length);
    static constexpr std::array<unsigned char, 16> kWave64 = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                                              0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    if (std::memcmp(h, kWave64.data(), 16) == 0) return ext == "w64" && nothingTagLibDetects(file);
    return false;
}

std::vector<AssetMetadataItem> readWithTagLib(const std::filesystem::path& file) {
    std::vector<AssetMetadataItem> items;
    try {
        TagLib::FileRef ref(file.c_str(), false);
        if (ref.isNull() || !ref.file() || !ref.file()->isValid()) return items;
        const TagLib::PropertyMap properties = ref.file()->properties();
        for (const KeySource& source : sources())
            for (const char* name : source.properties) {
                auto it = properties.find(name);
                if (it == properties.end()) continue;
                for (const TagLib::String& value : it->second)
                    items.push_back({source.key, value.to8Bit(true)});
            }
    } catch (...) {
        items.clear();
    }
    return items;
}

std::vector<AssetMetadataItem> commonMetadata(const std::filesystem::path& file,
                                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    State& s = state();
    std::shared_ptr<const Reader> reader;
    {
        std::unique_lock lock(s.mutex);
        if (!s.freed.wait_until(lock, deadline, [&] { return s.running < kMaxReadsInFlight; })) return {};
        ++s.running;
        reader = s.reader;
    }
    auto slot = std::make_shared<Slot>();
    try {
        std::thread([slot, reader, file] {
            std::vector<AssetMetadataItem> items;
            try {
                items = reader ? (*reader)(file) : readWithTagLib(file);
            } catch (...) {
                items.clear();
            }
            {
                std::lock_guard lock(slot->mutex);
                slot->items = std::move(items);
                slot->finished = true;
            }
            slot->done.notify_all();
            State& st = state();
            {
                std::lock_guard lock(st.mutex);
                --st.running;
            }
            st.freed.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(s.mutex);
        --s.running;
        return {};
    }
    std::unique_lock lock(slot->mutex);
    slot->done.wait_until(lock, deadline, [&] { return slot->finished; });
    // What the slot holds now is the answer; a later result stays unread.
    return slot->finished ? std::move(slot->items) : std::vector<AssetMetadataItem>{};
}

void setReader(Reader reader) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.reader = reader ? std::make_shared<const Reader>(std::move(reader)) : nullptr;
}

Reader fakeReader(std::vector<AssetMetadataItem> items, std::chrono::milliseconds delay) {
    return [items = std::move(items), delay](const std::filesystem::path&) {
        if (delay.count() > 0) std::this_thread::sleep_for(delay);
        return items;
    };
}

int readsInFlight() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.running;
}

}  // namespace qm::AssetMetadata
