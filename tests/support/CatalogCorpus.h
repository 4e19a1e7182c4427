// A generated sound library for catalog benchmarks and tests: file paths,
// facts and metadata drawn from a Zipf-distributed vocabulary (a few words
// are in most rows, most words in few), with UCS-like categories and CatIDs,
// four roots and a handful of designers and libraries. Deterministic for a
// given seed.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "library/SoundMeta.h"

namespace qm {
class Catalog;
}

namespace qm::test {

struct CorpusFile {
    std::string path;
    std::string root;
    int64_t size = 0;
    double mtime = 0;
    std::optional<AudioFileInfo> info;
    SoundMeta meta;
};

class CatalogCorpus {
public:
    explicit CatalogCorpus(uint32_t seed = 1);

    // The next file; paths never repeat.
    CorpusFile next();

    // Vocabulary word of a rank (0 = most frequent).
    const std::string& word(size_t rank) const { return words_.at(rank); }
    size_t vocabularySize() const { return words_.size(); }
    const std::vector<std::string>& roots() const { return roots_; }

    // Writes `count` files into the catalog in transactions of 256.
    void fill(Catalog& catalog, int64_t count);

private:
    std::string zipfWord();
    std::string words(int min, int max);

    std::mt19937_64 rng_;
    std::vector<std::string> words_;
    std::vector<double> cumulative_;
    std::vector<std::string> roots_;
    int64_t serial_ = 0;
};

}  // namespace qm::test
