// The floor of the catalog's searches: a statement run by the sqlite3
// shell on the same file, timed by the shell itself (".timer on", rows
// written to /dev/null; its clock has 1 ms steps).
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "library/Catalog.h"
#include "library/SqliteStatement.h"
#include "support/TempDir.h"

namespace qm::bench {

namespace fs = std::filesystem;
using qm::Catalog;

// The statement with its binds written in, as SQLite itself expands them.
inline std::string inlined(const fs::path& file, const Catalog::Query& q) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::string out;
    {
        qm::sql::Statement st(db, q.sql);
        for (size_t k = 0; k < q.binds.size(); ++k) st.bind(static_cast<int>(k + 1), q.binds[k]);
        if (char* text = sqlite3_expanded_sql(st.get())) {
            out = text;
            sqlite3_free(text);
        }
    }
    sqlite3_close(db);
    return out;
}

// Runs each statement `runs` times in one sqlite3 shell on `file`; the
// shell's own time of every run, the statements of one run added up.
inline std::vector<double> shellTimes(const fs::path& file, const std::vector<std::string>& statements, int runs) {
    qm::test::TempDir dir;
    std::string script = ".timer on\n.output /dev/null\n";
    for (int r = 0; r < runs; ++r)
        for (const std::string& s : statements) script += s + ";\n";
    const fs::path scriptFile = dir / "script.sql";
    qm::test::writeBytes(scriptFile, script);
    const std::string command = fmt::format("sqlite3 '{}' < '{}'", file.string(), scriptFile.string());
    FILE* pipe = ::popen(command.c_str(), "r");
    std::vector<double> each;
    if (!pipe) return each;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        double real = 0;
        if (std::sscanf(line, "Run Time: real %lf", &real) == 1) each.push_back(real);
    }
    ::pclose(pipe);
    std::vector<double> out;
    for (size_t i = 0; i + statements.size() <= each.size(); i += statements.size()) {
        double sum = 0;
        for (size_t k = 0; k < statements.size(); ++k) sum += each[i + k];
        out.push_back(sum);
    }
    return out;
}

}  // namespace qm::bench
