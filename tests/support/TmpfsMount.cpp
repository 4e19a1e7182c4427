#include "support/TmpfsMount.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace qm::test {

TmpfsMount::TmpfsMount(std::filesystem::path folder, size_t bytes) : folder_(std::move(folder)), bytes_(bytes) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    mount();
}

TmpfsMount::~TmpfsMount() { unmount(); }

void TmpfsMount::mount() {
    if (mounted_) return;
    const std::string options = "size=" + std::to_string(bytes_) + ",mode=0755";
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        refused_ = std::string("mounting a tmpfs was refused: ") + std::strerror(errno);
        return;
    }
    refused_.clear();
    mounted_ = true;
}

void TmpfsMount::unmount() {
    if (!mounted_) return;
    if (::umount2(folder_.c_str(), 0) != 0) ::umount2(folder_.c_str(), MNT_DETACH);
    mounted_ = false;
}

bool TmpfsMount::setReadOnly(bool readOnly) {
    if (!mounted_) return false;
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    return ::mount(nullptr, folder_.c_str(), nullptr, flags, nullptr) == 0;
}

}  // namespace qm::test
