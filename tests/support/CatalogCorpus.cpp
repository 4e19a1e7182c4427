#include "CatalogCorpus.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <fmt/format.h>

#include "library/Catalog.h"

namespace qm::test {

namespace {

struct CategoryPair {
    const char* catID;
    const char* category;
    const char* subCategory;
};

// A UCS-like spread: a few categories hold most files.
constexpr std::array<CategoryPair, 24> kCategories = {{
    {"AMBForst", "AMBIENCE", "FOREST"},   {"AMBUrbn", "AMBIENCE", "URBAN"},
    {"DOORWood", "DOORS", "WOOD"},        {"DOORMetl", "DOORS", "METAL"},
    {"FOLYCloth", "FOLEY", "CLOTH"},      {"FOOTConc", "FOOTSTEPS", "CONCRETE"},
    {"WTHRRain", "WEATHER", "RAIN"},      {"WTHRThun", "WEATHER", "THUNDER"},
    {"VEHCar", "VEHICLES", "CAR"},        {"MACHMisc", "MACHINES", "MISC"},
    {"GUNAuto", "GUNS", "AUTOMATIC"},     {"IMPTMetl", "IMPACTS", "METAL"},
    {"WHSHSwsh", "WHOOSHES", "SWISH"},    {"UIClick", "USER INTERFACE", "CLICK"},
    {"WATRFlow", "WATER", "FLOW"},        {"FIREBurn", "FIRE", "BURNING"},
    {"ANMLBird", "ANIMALS", "BIRD"},      {"CRWDCheer", "CROWDS", "CHEERING"},
    {"ELECHum", "ELECTRICITY", "HUM"},    {"GLASBrk", "GLASS", "BREAK"},
    {"MAGCSpel", "MAGIC", "SPELL"},       {"ROBTMove", "ROBOTS", "MOVEMENT"},
    {"TOOLHand", "TOOLS", "HAND"},        {"WINDGust", "WIND", "GUST"},
}};

constexpr std::array<const char*, 8> kDesigners = {"JD", "AM", "KRS", "LW", "Tomas", "Ines", "PB", "QX"};

}  // namespace

CatalogCorpus::CatalogCorpus(uint32_t seed) : rng_(seed) {
    // Pronounceable words from syllables; ranks follow the generation order.
    static const char* syllables[] = {"ka", "ro", "mi", "sel", "tan", "vo", "dre", "lu", "pa",
                                      "shi", "gor", "ne", "bu", "fla", "ti", "zen", "wo", "qua"};
    constexpr size_t n = sizeof(syllables) / sizeof(syllables[0]);
    std::vector<std::string> all;
    for (size_t a = 0; a < n; ++a)
        for (size_t b = 0; b < n; ++b) {
            all.push_back(std::string(syllables[a]) + syllables[b]);
            for (size_t c = 0; c < n; ++c) all.push_back(std::string(syllables[a]) + syllables[b] + syllables[c]);
        }
    std::shuffle(all.begin(), all.end(), rng_);
    words_ = std::move(all);
    double sum = 0;
    for (size_t r = 0; r < words_.size(); ++r) {
        sum += 1.0 / static_cast<double>(r + 1);
        cumulative_.push_back(sum);
    }
    for (double& c : cumulative_) c /= sum;
    roots_ = {"/Libraries/Foley Pro", "/Libraries/Nature Vol 2", "/Libraries/Sci-Fi Kit",
              "/Volumes/Archive/SFX"};
}

std::string CatalogCorpus::zipfWord() {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng_);
    const size_t r = static_cast<size_t>(std::lower_bound(cumulative_.begin(), cumulative_.end(), u) -
                                         cumulative_.begin());
    return words_[std::min(r, words_.size() - 1)];
}

std::string CatalogCorpus::words(int min, int max) {
    const int count = std::uniform_int_distribution<int>(min, max)(rng_);
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i) out += ' ';
        out += zipfWord();
    }
    return out;
}

CorpusFile CatalogCorpus::next() {
    CorpusFile f;
    const int64_t id = serial_++;
    // Categories: a Zipf-like pick over the fixed list.
    size_t c = 0;
    while (c + 1 < kCategories.size() && std::uniform_int_distribution<int>(0, 2)(rng_) != 0) ++c;
    const CategoryPair& cat = kCategories[c];
    const size_t rootIndex = std::uniform_int_distribution<size_t>(0, roots_.size() - 1)(rng_);
    f.root = roots_[rootIndex];
    std::string folder = f.root;
    const int depth = std::uniform_int_distribution<int>(1, 3)(rng_);
    for (int d = 0; d < depth; ++d) {
        std::string w = zipfWord();
        w[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[0])));
        folder += "/" + w;
    }
    const std::string fx = words(1, 3);
    const char* designer = kDesigners[std::uniform_int_distribution<size_t>(0, kDesigners.size() - 1)(rng_)];
    f.path = fmt::format("{}/{}_{}_{}_{:06}.wav", folder, cat.catID, fx, designer, id);

    f.size = 100000 + static_cast<int64_t>(rng_() % 5000000);
    f.mtime = 1.6e9 + static_cast<double>(rng_() % 100000000);
    AudioFileInfo info;
    info.url = f.path;
    static constexpr double rates[] = {44100, 48000, 48000, 96000};
    info.sampleRate = rates[rng_() % 4];
    info.channels = rng_() % 10 == 0 ? 6 : static_cast<int>(1 + rng_() % 2);
    info.bitDepth = rng_() % 3 ? 24 : 16;
    info.frames = static_cast<int64_t>(info.sampleRate * (0.5 + static_cast<double>(rng_() % 3000) / 100.0));
    info.codec = "PCM";
    f.info = info;

    SoundMeta& m = f.meta;
    m.description = words(3, 10);
    m.category = cat.category;
    m.subCategory = cat.subCategory;
    m.catID = cat.catID;
    m.fxName = fx;
    m.keywords = words(2, 8);
    m.library = f.root.substr(f.root.rfind('/') + 1);
    m.designer = designer;
    m.source = fmt::format("SR{}", id % 97);
    if (rng_() % 4 == 0) m.microphone = words(1, 2);
    if (rng_() % 5 == 0) m.location = words(1, 3);
    if (rng_() % 6 == 0) m.notes = words(4, 12);
    m.rating = static_cast<int64_t>(rng_() % 6);
    return f;
}

void CatalogCorpus::fill(Catalog& catalog, int64_t count) {
    while (count > 0) {
        const int64_t batch = std::min<int64_t>(count, 256);
        std::vector<CorpusFile> files;
        for (int64_t i = 0; i < batch; ++i) files.push_back(next());
        catalog.transaction([&] {
            for (const CorpusFile& f : files) catalog.upsert(f.path, f.root, f.size, f.mtime, f.info, f.meta);
        });
        count -= batch;
    }
}

}  // namespace qm::test
