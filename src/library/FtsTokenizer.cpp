#include "library/FtsTokenizer.h"

#include <vector>

#include "library/Catalog.h"
#include "library/SqliteStatement.h"
#include "platform/AppError.h"

namespace qm {

fts5_api* fts5Of(sqlite3* db) {
    fts5_api* api = nullptr;
    sql::Statement st(db, "SELECT fts5(?1)");
    if (!st) return nullptr;
    sqlite3_bind_pointer(st.get(), 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    st.step();
    return api;
}

FtsTokenizer::FtsTokenizer(sqlite3* db, std::string_view option) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < option.size()) {
        size_t j = option.find(' ', i);
        if (j == std::string_view::npos) j = option.size();
        if (j > i) words.emplace_back(option.substr(i, j - i));
        i = j + 1;
    }
    fts5_api* fts5 = fts5Of(db);
    void* userData = nullptr;
    if (!fts5 || words.empty() ||
        fts5->xFindTokenizer(fts5, words[0].c_str(), &userData, &api_) != SQLITE_OK)
        throw AppError(Catalog::kSQLFailed, "The full-text tokenizer is not available");
    std::vector<const char*> args;
    for (size_t k = 1; k < words.size(); ++k) args.push_back(words[k].c_str());
    if (api_.xCreate(userData, args.data(), static_cast<int>(args.size()), &tokenizer_) != SQLITE_OK)
        throw AppError(Catalog::kSQLFailed, "The full-text tokenizer is not available");
}

FtsTokenizer::~FtsTokenizer() {
    if (tokenizer_) api_.xDelete(tokenizer_);
}

bool FtsTokenizer::yieldsToken(std::string_view text) {
    bool found = false;
    auto onToken = [](void* ctx, int, const char*, int, int, int) -> int {
        *static_cast<bool*>(ctx) = true;
        return SQLITE_DONE;  // one token is enough
    };
    api_.xTokenize(tokenizer_, &found, FTS5_TOKENIZE_QUERY | FTS5_TOKENIZE_PREFIX, text.data(),
                   static_cast<int>(text.size()), onToken);
    return found;
}

}  // namespace qm
