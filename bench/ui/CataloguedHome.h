// A home of the library benchmarks: a temporary folder with the standard
// folders, a generated catalog of `rows` files, and settings whose library
// roots are the catalog's (not on disk: no scan removes rows).
#pragma once

#include <filesystem>
#include <memory>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/library/HomeFolders.h"
#include "library/Catalog.h"
#include "support/CatalogCorpus.h"
#include "support/TempDir.h"

namespace qm::bench {

struct CataloguedHome {
    test::TempDir dir;
    std::filesystem::path catalogFile = dir / "Catalog.sqlite";
    test::CatalogCorpus corpus{1};
    std::unique_ptr<SettingsStore> settings;

    explicit CataloguedHome(int64_t rows) {
        for (const char* f : {"Music", "Desktop", "Downloads"}) std::filesystem::create_directories(dir / f);
        HomeFolders::setForTests(HomeFolders{dir / "Music", dir / "Desktop", dir / "Downloads"});
        {
            Catalog catalog(catalogFile);
            corpus.fill(catalog, rows);
        }
        settings = std::make_unique<SettingsStore>(
            std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string())));
        settings->update([&](AppSettings& s) { s.libraryRoots = corpus.roots(); });
    }
};

}  // namespace qm::bench
