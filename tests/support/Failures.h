// Making and catching failures in tests: the code of the AppError a call
// throws, and a full disk stood in for by a file-size limit.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "platform/AppError.h"

namespace qm::test {

// The code of the AppError `call` throws (its text in `text`), 0 when it
// returns.
template <class Call>
int appErrorCode(Call&& call, std::string* text = nullptr) {
    try {
        call();
    } catch (const AppError& e) {
        if (text) *text = e.what();
        return e.code();
    }
    return 0;
}

// While it lives, writes past `bytes` in any file of the process fail with
// EFBIG, as on a full disk (SIGXFSZ ignored). The limit is the process's:
// no other thread may write files meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t previous_ = SIG_DFL;
};

}  // namespace qm::test
