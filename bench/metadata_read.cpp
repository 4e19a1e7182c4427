// MetaIO::read of small WAV files as the library scanner calls it, per kind
// of file (bare, iXML, bext, UCS name; 500 files each): items per second are
// files per second. Beside each, the floor: the same files opened, their
// header and chunk headers read, and closed (RIFFMeta::chunks alone).
// parseUSER of a 1 MiB iXML text, in bytes per second: one whose fields are
// elements after a long NOTES value, one whose fields are lines after 1 MiB
// of other lines (every tag then searches the line form).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "library/MetaIO.h"
#include "library/RIFFMeta.h"
#include "platform/ReadOnlyFile.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace {

using qm::test::RiffBuilder;

struct Files {
    qm::test::TempDir dir;
    std::vector<std::vector<std::filesystem::path>> kinds;

    Files() {
        const std::string ixml =
            "<BWFXML><USER><DESCRIPTION>Wooden door slams hard</DESCRIPTION><CATEGORY>DOORS</CATEGORY>"
            "<SUBCATEGORY>WOOD</SUBCATEGORY><CATID>DOORWood</CATID><FXNAME>Slam</FXNAME>"
            "<KEYWORDS>door, slam, wood</KEYWORDS><LIBRARY>Foley Pro</LIBRARY><DESIGNER>JD</DESIGNER>"
            "<RATING>4</RATING></USER></BWFXML>";
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<std::filesystem::path> files;
            for (int i = 0; i < 500; ++i) {
                RiffBuilder b;
                b.fmt(2, 48000, 16);
                if (kind == 1) b.chunk("iXML", ixml);
                if (kind == 2) b.bext("Wooden door slams hard");
                b.data16(2, 2400);
                const std::string name = kind == 3 ? fmt::format("DOORWood_Slam {}_JD_SR.wav", i)
                                                   : fmt::format("k{}_sfx_{}.wav", kind, i);
                qm::test::writeBytes(dir / name, b.bytes());
                files.push_back(dir / name);
            }
            kinds.push_back(std::move(files));
        }
    }
};

Files& files() {
    static Files f;
    return f;
}

const char* const kKinds[] = {"bare", "iXML", "bext", "UCS name"};

// Args: 0 = MetaIO::read, 1 = the floor; the kind. The two forms of one
// kind run one after the other.
void BM_ReadMetadata(benchmark::State& state) {
    const auto& list = files().kinds[static_cast<size_t>(state.range(1))];
    const bool floor = state.range(0) == 1;
    for (auto _ : state) {
        for (const auto& f : list) {
            if (floor) {
                qm::ReadOnlyFile file(f);
                benchmark::DoNotOptimize(qm::RIFFMeta::chunks(file));
            } else {
                benchmark::DoNotOptimize(qm::MetaIO::read(f));
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(list.size()));
    state.SetLabel(kKinds[state.range(1)]);
}
BENCHMARK(BM_ReadMetadata)->ArgsProduct({{0, 1}, {0, 1, 2, 3}})->ArgNames({"floor", "kind"})->Unit(benchmark::kMicrosecond);

std::string megabyteOfIXML(bool lines) {
    std::string user;
    if (lines) {
        for (int i = 0; user.size() < (1u << 20) - 400; ++i) user += fmt::format("OTHER{}=value {}\n", i, i);
        for (const auto& row : qm::SoundMeta::ixmlTags()) user += std::string(row.tag) + "=text\n";
    } else {
        user = "<NOTES>" + std::string((1u << 20) - 600, 'n') + "</NOTES>";
        for (const auto& row : qm::SoundMeta::ixmlTags())
            if (row.tag != "NOTES") user += "<" + std::string(row.tag) + ">text</" + std::string(row.tag) + ">";
    }
    return "<BWFXML><USER>" + user + "</USER></BWFXML>";
}

void BM_ParseUSER(benchmark::State& state) {
    const std::string xml = megabyteOfIXML(state.range(0) == 1);
    for (auto _ : state) benchmark::DoNotOptimize(qm::RIFFMeta::parseUSER(xml));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
    state.SetLabel(state.range(0) == 1 ? "line form" : "elements");
}
BENCHMARK(BM_ParseUSER)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
