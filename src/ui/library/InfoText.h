// The file list's Length and Format cells: one line about an entry, its
// duration or a short format summary. A catalogued file is described from
// its catalog row; a file the catalog does not know is read in the
// background through the process-wide InfoCache (the list's table model
// asks for it when the row is first painted) and the cell fills in when the
// facts arrive. Folders, and catalogued files whose row has no sample rate
// (unreadable when they were scanned), stay empty and are never read. An
// offline file (kept by the catalog while it cannot be seen) shows
// "Offline" as its format and is never read either.
//
// Pure functions; any thread.
#pragma once

#include <QString>

#include <optional>

#include "app/library/LibraryModel.h"
#include "audio/AudioFileInfo.h"

namespace qm {

struct InfoText {
    enum class Kind { duration, format };

    static constexpr const char* kOffline = "Offline";

    // The cell's text: "Offline" as the format of an offline entry; from the
    // row when its sample rate is above 0, else from `info` when it was
    // read, else empty.
    static QString text(const BrowserEntry& entry, Kind kind, const std::optional<AudioFileInfo>& info);
    // Whether the cell needs the file's facts read: a file without a row
    // that is there to be read.
    static bool needsRead(const BrowserEntry& entry) { return !entry.isFolder && !entry.row && !entry.offline; }
};

}  // namespace qm
