#include "platform/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TempDir.h"

using namespace qm;

namespace {

const char* kMountInfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "23 22 0:5 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "30 22 8:17 / /media/ann/My\\040Drive rw,nosuid,nodev shared:40 - vfat /dev/sdb1 rw,uid=1000\n"
    "31 22 8:33 / /run/media/ann/Backup rw,nosuid shared:41 - ext4 /dev/sdc1 rw\n"
    "32 22 0:40 / /mnt/share rw,relatime shared:42 - cifs //server/share rw,vers=3.0\n"
    "33 22 8:49 / /mnt/.snapshots rw shared:43 - btrfs /dev/sdd1 rw\n"
    "34 22 0:44 / /media/ram rw shared:44 - tmpfs tmpfs rw\n"
    "35 22 8:2 / /boot rw,relatime shared:45 - ext4 /dev/sda2 rw\n"
    "36 22 0:46 / /mnt/layers rw master:3 shared:7 propagate_from:2 - overlay overlay rw,lowerdir=/a\n"
    "37 22 8:50 / /run/media/ann rw shared:46 - ext4 /dev/sde1 rw\n"
    "38 22 8:51 / /mnt/tab\\011and\\134slash rw shared:47 - ext4 /dev/sdf1 rw\n"
    "39 22 0:52 / /mnt/ssh rw,nosuid shared:48 - fuse.sshfs host:/ rw\n"
    "40 22 8:52 /sub /media/ann/Disk/.inner rw shared:49 - ext4 /dev/sdg1 rw\n"
    // Lines without the file's shape.
    "\n"
    "garbage\n"
    "41 22 8:1 / /media/no-dash rw shared:1 ext4 /dev/sda1 rw\n"
    "x 22 8:1 / /media/bad-id rw - ext4 /dev/sda1 rw\n"
    "42 22 8:1 / /media/no-type rw -\n"
    "43 22 8:1 / relative/point rw - ext4 /dev/sda1 rw\n"
    "44 22 81 / /media/no-colon rw - ext4 /dev/sda1 rw\n"
    "45 22 8:1 / /media/last rw - ext4 /dev/sda1 rw";

}  // namespace

TEST(Volumes, MountTableInTheSystemsOrder) {
    const std::vector<Volume> volumes = Volumes::parse(kMountInfo);
    const std::vector<Volume> expected = {
        {"/", "ext4", false, false},
        {"/proc", "proc", false, false},
        {"/media/ann/My Drive", "vfat", true, false},
        {"/run/media/ann/Backup", "ext4", true, false},
        {"/mnt/share", "cifs", true, false},
        {"/mnt/.snapshots", "btrfs", true, true},
        {"/media/ram", "tmpfs", false, false},
        {"/boot", "ext4", false, false},
        {"/mnt/layers", "overlay", false, false},
        {"/run/media/ann", "ext4", false, false},
        {"/mnt/tab\tand\\slash", "ext4", true, false},
        {"/mnt/ssh", "fuse.sshfs", true, false},
        {"/media/ann/Disk/.inner", "ext4", true, true},
        {"/media/last", "ext4", true, false},
    };
    EXPECT_EQ(volumes, expected);
}

// The mount points the system is told to mount: blanks or tabs between
// fields, comments, escapes, and entries that mount nothing on a folder.
TEST(Volumes, FstabMountPoints) {
    EXPECT_EQ(Volumes::parseFstab("# <file system> <mount point> <type>\n"
                                  "UUID=1a2b / ext4 errors=remount-ro 0 1\n"
                                  "LABEL=Field /media/Field\\040Recordings vfat noauto,user 0 0\n"
                                  "  \t//server/share\t\t/mnt/share\tcifs\tnoauto\r\n"
                                  "/dev/sdb2 none swap sw 0 0\n"
                                  "proc\n"
                                  "\n"
                                  "  # /mnt/commented ext4\n"
                                  "/dev/sdc1 relative/point ext4 defaults 0 2"),
              (std::vector<std::string>{"/", "/media/Field Recordings", "/mnt/share"}));
    test::TempDir dir;
    test::writeBytes(dir / "fstab", "/dev/sdd1 /mnt/drive ext4 noauto 0 0\n");
    Volumes::setFstabPath(dir / "fstab");
    EXPECT_EQ(Volumes::configured(), std::vector<std::string>{"/mnt/drive"});
    Volumes::setFstabPath(dir / "missing");
    EXPECT_EQ(Volumes::configured(), std::vector<std::string>{});
    Volumes::setFstabPath({});
}

TEST(Volumes, VolumePaths) {
    for (const char* yes : {"/media/x", "/media/ann/Drive/Sounds", "/mnt/a", "/run/media/ann/Drive", "/run/media/u/d/e"})
        EXPECT_TRUE(Volumes::isVolumePath(yes)) << yes;
    for (const char* no : {"/media", "/media/", "/mnt/", "/mnt", "/run/media/ann", "/run/media/ann/", "/run/media//x",
                           "/home/ann/media/x", "/Volumes/x", "media/x", ""})
        EXPECT_FALSE(Volumes::isVolumePath(no)) << no;
}

TEST(Volumes, ListReadsTheMountTableFile) {
    test::TempDir dir;
    test::writeBytes(dir / "mountinfo", kMountInfo);
    Volumes::setMountInfoPath(dir / "mountinfo");
    EXPECT_EQ(Volumes::list(), Volumes::parse(kMountInfo));
    Volumes::setMountInfoPath(dir / "missing");
    EXPECT_TRUE(Volumes::list().empty());
    // The system's own table: "/" is there, and is no volume.
    Volumes::setMountInfoPath({});
    const std::vector<Volume> real = Volumes::list();
    auto root = std::find_if(real.begin(), real.end(), [](const Volume& v) { return v.path == "/"; });
    ASSERT_NE(root, real.end());
    EXPECT_FALSE(root->browsable);
    for (const Volume& v : real) EXPECT_EQ(v.path.front(), '/');
}
