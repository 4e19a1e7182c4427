#include "ui/widgets/UpmixTexts.h"

namespace qm::widgets {

QString upmixDescription(UpmixPreset preset) {
    switch (preset) {
        case UpmixPreset::music:
            return QStringLiteral(
                "Centre width 3 of 7, surrounds rolled off above 4 kHz, no delay. The music-mode convention of "
                "matrix decoders.");
        case UpmixPreset::film:
            return QStringLiteral(
                "Dialogue held in the centre, full-range surrounds 10 ms behind the screen, bass below 120 Hz to "
                "the LFE. The cinema-mode convention.");
        case UpmixPreset::game:
            return QStringLiteral(
                "Cinema steering with a wider front stage, no surround delay, and bass below 80 Hz to the LFE.");
        case UpmixPreset::hall:
            return QStringLiteral(
                "For large rooms and orchestral recordings: more ambience in the surrounds and heights, spread "
                "wider.");
        case UpmixPreset::speech:
            return QStringLiteral(
                "Everything correlated stays in the centre and nothing goes overhead. For dialogue and narration.");
        case UpmixPreset::broadcast:
            return QStringLiteral(
                "Fold-down exact: the 2.0 fold-down returns the original stereo. No delays or decorrelation, safe "
                "to deliver.");
    }
    return {};
}

}  // namespace qm::widgets
