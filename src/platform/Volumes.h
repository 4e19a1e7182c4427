// The mounted volumes the library's sidebar offers as places: every mount
// point in the order the kernel lists them (/proc/self/mountinfo), with
// whether the file manager would show it as a volume (browsable) and
// whether it is hidden.
//
// Browsable: a real file system (not proc, sysfs, tmpfs, cgroup, overlay,
// squashfs and the other kernel-made ones) mounted under /media/,
// /run/media/<user>/ or /mnt/ - the folders where removable drives, shares
// and other disks appear. Those prefixes are this system's "volumes"
// wherever a path is tested for being on one (isVolumePath). Hidden: a
// component of the mount point begins with ".".
//
// Mount points are octal-escaped in the file ("\040" is a blank); they are
// decoded to the path's bytes. Lines that do not have the file's shape are
// skipped.
//
// Beside what is mounted now, the mount points the system is told to mount
// (/etc/fstab, mounted or not): what the library's scan takes for folders
// whose files may come back.
//
// Any thread; setMountInfoPath and setFstabPath belong to test set-up.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct Volume {
    std::string path;    // the mount point
    std::string fsType;  // "ext4", "vfat", "fuse.sshfs"...
    bool browsable = false;
    bool hidden = false;
    bool operator==(const Volume&) const = default;
};

namespace Volumes {

// The volumes of the mount table file (nothing when it cannot be read).
std::vector<Volume> list();
// The volumes of a mount table's text.
std::vector<Volume> parse(std::string_view mountinfo);

// True when `path` lies on a volume folder: below /media/, /mnt/ or
// /run/media/<user>/.
bool isVolumePath(std::string_view path);

// The mount points of the fstab file, in its order (nothing when it cannot
// be read), and of an fstab text: the second field of each line that is no
// comment, octal escapes decoded; a field that is no absolute path ("none",
// "swap") is skipped.
std::vector<std::string> configured();
std::vector<std::string> parseFstab(std::string_view fstab);

// Replaces /proc/self/mountinfo; an empty path restores it.
void setMountInfoPath(const std::filesystem::path& path);
// Replaces /etc/fstab; an empty path restores it.
void setFstabPath(const std::filesystem::path& path);

}  // namespace Volumes

}  // namespace qm
