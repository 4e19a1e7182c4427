// File-system services the models need beyond reading and writing audio:
// whether a folder may be written (the file manager's writability test of
// its path), and writing a file through a temporary file that then takes
// the final name, so a failed or interrupted write never leaves a half
// file under the name the user asked for and never destroys the old one.
//
// The writability test can be replaced for tests: the test machines run as
// root, for whom every folder is writable.
//
// Any thread; setWritableCheck belongs to test set-up.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/AppError.h"

namespace qm::FileAccess {

// Code of the AppError thrown when a file cannot be written (the same code
// the WAV writer uses for that failure).
inline constexpr int kWriteFailed = kFileWriteFailed;

// True when the folder exists and the process may create files in it.
bool isWritable(const std::filesystem::path& folder);

// Replaces the test isWritable() makes; an empty function restores the real one.
void setWritableCheck(std::function<bool(const std::filesystem::path&)> check);

// A fresh hidden path beside `target`, in the same folder so that a rename
// to the final name stays on one file system.
std::filesystem::path temporaryBeside(const std::filesystem::path& target);

// Puts the complete file `temporary` on disk and gives it the name
// `target`, or the first free one of "<stem> 2<ext>", "<stem> 3<ext>", ...
// when that is taken; an existing file is never replaced. Returns the name
// it took. Throws AppError kWriteFailed when no name can be given (the
// temporary file then stays for the caller to remove).
std::filesystem::path nameWithoutReplacing(const std::filesystem::path& temporary,
                                           const std::filesystem::path& target);

// Calls `write` with a temporary path beside `target` (hidden, in the same
// folder, so the final rename stays on one file system), puts the written
// file on disk, then renames it to `target`, replacing an existing file.
// When `write` throws or the rename fails, the temporary file is removed,
// `target` is left as it was and the error propagates (a failed rename as
// AppError kWriteFailed).
void writeThroughTemporary(const std::filesystem::path& target,
                           const std::function<void(const std::filesystem::path& temporary)>& write);

// Writes bytes to `target` through a temporary file; creates no folders.
// Throws AppError kWriteFailed with the file name and the system's reason.
void writeText(const std::filesystem::path& target, std::string_view bytes);

}  // namespace qm::FileAccess
