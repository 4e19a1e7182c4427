// A real tmpfs mounted on a folder of the test's own, for what only a real
// mount shows: a drive that vanishes from under a library (the folder left
// empty, its device the parent's again), a read-only file system, a full
// one. Mounting needs root (CI runs as root); where the system refuses,
// `refused()` says why and the test skips.
//
// Unmounted when the object goes (lazily, should something still hold it
// open), so nothing outlives the test.
#pragma once

#include <filesystem>
#include <string>

namespace qm::test {

class TmpfsMount {
public:
    // Makes `folder` (when missing) and mounts a tmpfs of `bytes` on it.
    explicit TmpfsMount(std::filesystem::path folder, size_t bytes = 8 << 20);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    // Why the mount was refused; empty while mounted.
    const std::string& refused() const { return refused_; }
    bool mounted() const { return mounted_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Unmounts, leaving the folder as it was below the mount.
    void unmount();
    // Mounts a fresh, empty tmpfs again (what was written before is gone).
    void mount();
    // Makes the mounted file system read-only, or writable again; false
    // when the system refused.
    bool setReadOnly(bool readOnly);

private:
    std::filesystem::path folder_;
    size_t bytes_;
    std::string refused_;
    bool mounted_ = false;
};

}  // namespace qm::test
