#include "platform/AssetMetadata.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <fileref.h>
#include <tfile.h>
#include <tpropertymap.h>

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

}  // namespace

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
