// The one error type the system throws.
//
// Every failure that reaches a user carries the application's domain
// ("Quillmarsh"), a small integer code that callers may branch on, and a
// readable one-line text. Models catch it and show what() in their status
// line; control commands put it under an "error" key.
#pragma once

#include <stdexcept>
#include <string>

namespace qm {

class AppError : public std::runtime_error {
public:
    static constexpr const char* domain = "Quillmarsh";

    AppError(int code, const std::string& description)
        : std::runtime_error(description), code_(code) {}

    int code() const noexcept { return code_; }
    // The readable text; empty for the few codes that carry none.
    std::string description() const { return what(); }

private:
    int code_;
};

// A file could not be made, written or named (the text names the file and
// the system's reason). Every writer of the system reports this one code.
inline constexpr int kFileWriteFailed = 63;

}  // namespace qm
