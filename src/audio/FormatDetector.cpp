#include "audio/FormatDetector.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "platform/ChannelLabelValues.h"

namespace qm {

namespace {

using S = SpeakerID;
namespace cl = channel_label;

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool contains(const std::string& hay, std::string_view needle) {
    return hay.find(needle) != std::string::npos;
}

constexpr std::array<std::string_view, 14> kAmbisonicKeywords = {
    "ambix", "ambisonic", "b-format", "bformat", "b_format", "_foa", " foa",
    "foa_",  "_hoa",      " hoa",     "hoa_",    "sn3d",     "_acn", "soundfield"};

std::optional<SpeakerID> speakerOf(uint32_t label, bool surroundDirect) {
    switch (label) {
        case 1: return S::L;
        case 2: return S::R;
        case 3:
        case 42: return S::C;
        case 4:
        case 37: return S::LFE;
        case 5: return surroundDirect ? S::Lrs : S::Ls;
        case 6: return surroundDirect ? S::Rrs : S::Rs;
        case 7: return S::Lc;
        case 8: return S::Rc;
        case 9: return S::Cs;
        case 10:
        case 55: return S::Ls;
        case 11:
        case 56: return S::Rs;
        case 12: return S::Tc;
        case 13: return S::Ltf;
        case 15: return S::Rtf;
        case 16:
        case 52: return S::Ltr;
        case 18:
        case 54: return S::Rtr;
        case 33:
        case 63: return S::Lrs;
        case 34:
        case 64: return S::Rrs;
        case 35: return S::Lw;
        case 36: return S::Rw;
        case 49:
        case 60: return S::Ltm;
        case 51:
        case 61: return S::Rtm;
        default: return std::nullopt;
    }
}

}  // namespace

namespace ChannelLabels {

std::vector<uint32_t> descriptions(const ChannelLayout& layout) { return layout.descriptions; }

std::vector<uint32_t> labels(const std::optional<ChannelLayout>& layout) {
    if (!layout) return {};
    const uint32_t kind = layout->tag >> 16;
    if (kind == cl::kTagDiscreteInOrder >> 16 || kind == cl::kTagHOA_ACN_SN3D >> 16 ||
        kind == cl::kTagHOA_ACN_N3D >> 16)
        return {};
    // Tag 0 lists its channel descriptions; for any other tag the reader has
    // already expanded the tag into the same per-channel labels.
    return descriptions(*layout);
}

std::optional<std::vector<SpeakerID>> speakers(const std::vector<uint32_t>& labels) {
    const bool surroundDirect =
        std::find(labels.begin(), labels.end(), cl::kLeftSurroundDirect) != labels.end() ||
        std::find(labels.begin(), labels.end(), cl::kRightSurroundDirect) != labels.end();
    std::vector<SpeakerID> out;
    std::set<SpeakerID> seen;
    for (uint32_t label : labels) {
        if (label < 1 || label > 64) return std::nullopt;
        auto s = speakerOf(label, surroundDirect);
        if (!s || !seen.insert(*s).second) return std::nullopt;
        out.push_back(*s);
    }
    return out;
}

}  // namespace ChannelLabels

namespace FormatDetector {

SourceFormat detect(const std::filesystem::path& url, int n, const std::vector<uint32_t>& labels,
                    uint32_t t) {
    if (t == cl::kTagAmbisonicBFormat && n == 4) return SourceFormat::ambisonic(1, AmbiNorm::fuma);

    if (n == 4 || n == 9 || n == 16) {
        const int order = n == 4 ? 1 : n == 9 ? 2 : 3;
        if (t >> 16 == cl::kTagHOA_ACN_SN3D >> 16) return SourceFormat::ambisonic(order, AmbiNorm::sn3d);
        if (t >> 16 == cl::kTagHOA_ACN_N3D >> 16) return SourceFormat::ambisonic(order, AmbiNorm::n3d);
        auto allOfKind = [&labels](uint32_t kind) {
            return !labels.empty() &&
                   std::all_of(labels.begin(), labels.end(), [kind](uint32_t l) { return l >> 16 == kind; });
        };
        if (allOfKind(cl::kHOA_ACN_SN3D >> 16)) return SourceFormat::ambisonic(order, AmbiNorm::sn3d);
        if (allOfKind(cl::kHOA_ACN_N3D >> 16)) return SourceFormat::ambisonic(order, AmbiNorm::n3d);
        if (n == 4 && std::set<uint32_t>(labels.begin(), labels.end()) ==
                          std::set<uint32_t>{cl::kAmbisonicW, cl::kAmbisonicX, cl::kAmbisonicY,
                                             cl::kAmbisonicZ})
            return SourceFormat::ambisonic(1, AmbiNorm::fuma);

        std::string ext = url.extension().string();
        if (!ext.empty()) ext.erase(0, 1);
        ext = lowerAscii(ext);
        const std::string name = lowerAscii(url.stem().string());
        if (n == 4 && (ext == "amb" || contains(name, "fuma")))
            return SourceFormat::ambisonic(1, AmbiNorm::fuma);
        for (std::string_view word : kAmbisonicKeywords) {
            if (contains(name, word)) {
                bool n3d = contains(name, "n3d") && !contains(name, "sn3d");
                return SourceFormat::ambisonic(order, n3d ? AmbiNorm::n3d : AmbiNorm::sn3d);
            }
        }
    }

    if (n == 2) return SourceFormat::speakers({S::L, S::R});
    if (n == 1) return SourceFormat::speakers({S::C});
    if (n > 0 && static_cast<int>(labels.size()) == n)
        if (auto list = ChannelLabels::speakers(labels)) return SourceFormat::speakers(*list);
    auto options = SourceFormat::options(n);
    return options.empty() ? SourceFormat::discrete(n) : options.front();
}

}  // namespace FormatDetector

}  // namespace qm
