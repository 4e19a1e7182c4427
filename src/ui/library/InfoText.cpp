#include "ui/library/InfoText.h"

#include "app/core/TimeText.h"

namespace qm {

QString InfoText::text(const BrowserEntry& entry, Kind kind, const std::optional<AudioFileInfo>& info) {
    if (entry.offline && kind == Kind::format) return QString::fromLatin1(kOffline);
    if (entry.row && entry.row->sampleRate > 0) {
        return QString::fromStdString(kind == Kind::format ? entry.row->formatSummary() : timeText(entry.row->duration));
    }
    if (info) {
        if (kind == Kind::format) return QString::fromStdString(info->summary());
        const double seconds = info->sampleRate > 0 ? static_cast<double>(info->frames) / info->sampleRate : 0.0;
        return QString::fromStdString(timeText(seconds));
    }
    return {};
}

}  // namespace qm
