// The tokenizer of the catalog's full-text table, reached through the
// connection's fts5_api, so that a query can ask whether a word gives the
// index anything to match (punctuation alone, "&", gives no token and would
// make a whole MATCH find nothing).
//
// Not thread-safe (the tokenizer reuses a buffer): used under the catalog's
// mutex. Must go before its connection closes.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

namespace qm {

// The connection's FTS5 API, or null when it has none.
fts5_api* fts5Of(sqlite3* db);

class FtsTokenizer {
public:
    // `option` is the tokenize option of the table: a name and its arguments
    // separated by spaces. Throws AppError (Catalog::kSQLFailed) when the
    // connection has no FTS5 or no such tokenizer.
    FtsTokenizer(sqlite3* db, std::string_view option);
    ~FtsTokenizer();
    FtsTokenizer(const FtsTokenizer&) = delete;
    FtsTokenizer& operator=(const FtsTokenizer&) = delete;

    // True when tokenizing `text` as a query term yields at least one token.
    bool yieldsToken(std::string_view text);

private:
    fts5_tokenizer api_{};
    Fts5Tokenizer* tokenizer_ = nullptr;
};

}  // namespace qm
