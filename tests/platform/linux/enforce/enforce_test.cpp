#include "platform/linux/enforce/enforce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/enforce/udev_rules.h"
#include "platform/linux/enforce/usb_storage.h"
#include "platform/linux/hive_registry.h"
#include "support/hive_files.h"

namespace varnholt::enforce {
namespace {

// The mode the kernel is given is the mode the main window shows.
TEST(EnforceTest, ApplyReadsTheModeTheWindowShowsAndWritesNothing) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string start =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor]\n\"Start\"=";
    const std::string policy =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies]"
        "\n\"WriteProtect\"=";
    struct Case {
        std::optional<std::string> hive;  // nullopt: no file
        UsbMode expected;
        bool problem;
    };
    for (const Case& c : {
             Case{std::nullopt, UsbMode::kDisable, true},
             Case{"garbage", UsbMode::kDisable, true},
             Case{"", UsbMode::kDisable, true},
             Case{"\n \r\n", UsbMode::kDisable, true},
             Case{header, UsbMode::kDisable, true},
             Case{header + start + "dword:00000003\n", UsbMode::kReadWrite, false},
             Case{header + start + "\"3\"\n" + policy + "\"no\"\n", UsbMode::kReadOnly, false},
             Case{header + start + "hex:03,00,00,00\n", UsbMode::kDisable, true},
             Case{header + policy + "dword:00000000\n" + start + "dword:3x\n", UsbMode::kDisable,
                  true},
         }) {
        SCOPED_TRACE(c.hive.value_or("(no file)"));
        testing::TempDir folder;
        const std::filesystem::path hive = folder.path() / "machine.reg";
        if (c.hive)
            testing::WriteBytes(hive, *c.hive);
        const RecordedMode recorded = ReadRecordedMode(hive, ::geteuid());
        EXPECT_EQ(recorded.mode, c.expected);
        EXPECT_EQ(!recorded.problem.empty(), c.problem) << recorded.problem;
        EXPECT_EQ(testing::ReadBytes(hive), c.hive.value_or(""));
        EXPECT_EQ(std::filesystem::exists(hive), c.hive.has_value());

        SharedShell().SetFactory(
            [&] { return std::make_unique<platform::HiveRegistry>(hive, ""); });
        EXPECT_EQ(GetUsbState(), c.expected);
        EXPECT_EQ(RulesMode(RenderRules(c.expected, {})), c.expected);
    }
}

TEST(EnforceTest, RulesSkipTheSystemDiskAndRunOnlyTheInstalledProgram) {
    for (const UsbMode mode : {UsbMode::kDisable, UsbMode::kReadOnly}) {
        const std::string rules = RenderRules(mode, {"/devices/pci0000:00/usb2/2-1"});
        const std::size_t skip = rules.find("DEVPATH==\"/devices/pci0000:00/usb2/2-1/*\", GOTO");
        EXPECT_LT(skip,
                  rules.find(mode == UsbMode::kDisable ? "ATTR{authorized}=\"0\"" : "--setro"));
        // SCSI generic and bsg nodes are root's alone, whatever a later rule says.
        EXPECT_LT(skip, rules.find("SUBSYSTEM==\"scsi_generic|bsg\", SUBSYSTEMS==\"usb\", "
                                   "OWNER:=\"root\", GROUP:=\"root\", MODE:=\"0600\""));
        EXPECT_NE(rules.find(std::string("RUN+=\"") + kInstalledProgram + " plugged "),
                  std::string::npos);
        EXPECT_EQ(rules.find(std::filesystem::read_symlink("/proc/self/exe").string()),
                  std::string::npos);
    }
    testing::TempDir folder;
    std::filesystem::permissions(folder.path(), std::filesystem::perms::all);
    for (const std::string& recorder :
         {folder.path().string() + "/varnholt-policy", std::string("/usr/sbin/varnholt policy"),
          std::string("/usr/sbin/varnholt\"-policy"), std::string("relative")})
        EXPECT_NE(RecorderProblem(recorder), "") << recorder;
    EXPECT_EQ(RecorderProblem("/usr/sbin/varnholt-policy"), "");
}

// What real machines have: optional fields, escaped blanks, one device mounted twice.
TEST(EnforceTest, MountinfoIsReadAsTheKernelWritesIt) {
    const std::vector<MountInfoLine> mounts = ParseMountInfo(
        "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
        "90 27 8:17 / /media/alice/MY\\040STICK rw,nosuid shared:310 master:2 - vfat /dev/sdb1 "
        "rw,uid=1000\n"
        "91 27 8:17 /sub /srv/x ro - vfat /dev/sdb1 rw\n"
        "92 27 0:55 / /ov rw - overlay overlay rw,lowerdir=/a:/b,upperdir=/c,workdir=/d\n"
        "garbage\n");
    ASSERT_EQ(mounts.size(), 4u);
    EXPECT_EQ(mounts[1].id, 90);
    EXPECT_EQ(mounts[1].parent, 27);
    EXPECT_EQ(mounts[1].target, "/media/alice/MY STICK");
    EXPECT_EQ(mounts[1].fstype, "vfat");
    EXPECT_EQ(mounts[1].source, "/dev/sdb1");
    EXPECT_FALSE(mounts[1].read_only);
    EXPECT_EQ(mounts[2].devnum, mounts[1].devnum);
    EXPECT_EQ(mounts[2].root, "/sub");
    EXPECT_TRUE(mounts[2].read_only);
    const SystemDisks zfs =
        DevicesBeneath(ParseMountInfo("5 1 0:60 / / rw - zfs rpool/ROOT rw\n"), mounts);
    EXPECT_NE(zfs.unresolved, "");
}

// A loop-mounted ext4 file system in a mount namespace of its own: a USB disk's stand-in.
class MountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            GTEST_SKIP() << "needs root";
    }
    std::string Path(const std::string& name) const { return folder_.path() / name; }
    void Run(const std::string& command) const {
        ASSERT_EQ(std::system(("cd " + folder_.path().string() + " && " + command).c_str()), 0)
            << command;
    }
    // Makes an image, mounts it on target and returns its device.
    UsbBlockDevice Disk(const std::string& image, const std::string& target) const {
        Run("truncate -s 8M " + image + " && mkfs.ext4 -q " + image + " && mkdir -p '" + target +
            "' && mount -o loop " + image + " '" + target + "'");
        struct stat mounted {};
        ::stat(Path(target).c_str(), &mounted);
        const std::string number =
            std::to_string(major(mounted.st_dev)) + ":" + std::to_string(minor(mounted.st_dev));
        return {.identity = {},
                .devnode =
                    "/dev/" +
                    std::filesystem::read_symlink("/sys/dev/block/" + number).filename().string(),
                .devnum = mounted.st_dev,
                .mount_points = MountPointsOf(mounted.st_dev)};
    }
    bool Writable(const std::string& target) const {
        const int file = ::open(Path(target + "/w").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        return file >= 0 && ::close(file) == 0;
    }
    bool Frozen(const UsbBlockDevice& device) const {
        for (const MountPoint& mount : MountPointsOf(device.devnum)) {
            const int root = ::open(mount.target.c_str(), O_RDONLY | O_CLOEXEC);
            const bool thawed = ::ioctl(root, FIFREEZE, 0) == 0 && ::ioctl(root, FITHAW, 0) == 0;
            ::close(root);
            if (!thawed)
                return true;
        }
        return false;
    }
    testing::TempDir folder_;
};

// A mount stacked on the disk's mount point, or over a folder above it (bindfs, any FUSE a user
// may mount there), never turns apply onto another file system; the disk's own mount is
// remounted, or when it cannot be reached, taken away and named.
TEST_F(MountTest, ActsOnTheDevicesOwnMountsNeverOnANameRedirected) {
    struct Case {
        const char* name;
        const char* redirect;  // run after the stick is mounted on "home/my stick"
        const char* other;     // a file system that must stay as it is, or empty
        bool held;             // a process holds the stick's root, as a FUSE daemon stacked on it
        bool reachable;
    };
    for (const Case& c : {
             Case{"mounted twice", "mkdir second && mount --bind 'home/my stick' second", "", false,
                  true},
             Case{"stacked over", "mount -t tmpfs none 'home/my stick'", "case/home/my stick",
                  false, false},
             Case{"stacked over, its root held", "mount -t tmpfs none 'home/my stick'",
                  "case/home/my stick", true, true},
             // bindfs holds the folder it shows; its daemon stopped, it never answers.
             Case{"bindfs stacked over, its daemon stopped",
                  "(bindfs -f 'home/my stick' 'home/my stick' & echo $! >bindfs) && until grep -q "
                  "fuse /proc/self/mountinfo; do sleep 0.1; done && kill -STOP $(cat bindfs)",
                  "", false, true},
             Case{
                 "folder above redirected",
                 "mkdir -p 'away/my stick' && mount -t tmpfs none 'away/my stick' && mount --rbind "
                 "away home",
                 "case/home/my stick", false, false},
         }) {
        SCOPED_TRACE(c.name);
        Run("mkdir -p case && mount -t tmpfs none case");  // all of a case, gone with it
        UsbBlockDevice stick = Disk("case/stick.img", "case/home/my stick");
        const int holder =
            c.held ? ::open(Path("case/home/my stick").c_str(), O_RDONLY | O_DIRECTORY) : -1;
        Run(std::string("cd case && ") + c.redirect);
        std::vector<BusyMount> busy;
        EXPECT_EQ(MakeReadOnly(stick, &busy), Problems{});
        EXPECT_EQ(busy.size(), c.reachable ? 0u : 1u);
        EXPECT_EQ(StillWritable(stick).empty(), c.reachable);
        EXPECT_TRUE(*c.other == '\0' || Writable(c.other));
        // Disabled: flushed and frozen (or flushed through the device), pulled, detached, thawed.
        MakeWritable(stick);
        Run(": >authorized");
        UsbStorageInterface interface;
        interface.syspath = folder_.path();
        interface.block_devices = {stick};
        EXPECT_EQ(BlockInterface(interface), Problems{});
        EXPECT_EQ(testing::ReadBytes(Path("authorized")), "0");
        EXPECT_EQ(MountPointsOf(stick.devnum).empty(), c.reachable);
        EXPECT_TRUE(*c.other == '\0' || Writable(c.other));
        Run("if [ -f case/bindfs ]; then kill -CONT $(cat case/bindfs); kill $(cat case/bindfs); "
            "fi; "
            "umount -l case");
        ::close(holder);
    }
    // A device that cannot be pulled keeps its mounts, and nothing is left frozen.
    const UsbBlockDevice stick = Disk("stick.img", "held");
    UsbStorageInterface gone;
    gone.syspath = Path("no such interface");
    gone.block_devices = {stick};
    const Problems problems = BlockInterface(gone);
    EXPECT_NE(problems.back().find("not taken away"), std::string::npos);
    EXPECT_EQ(MountPointsOf(stick.devnum).size(), 1u);
    EXPECT_FALSE(Frozen(stick));
    EXPECT_TRUE(Writable("held"));
}

// The running system is found under loop devices whose backing file is on a USB disk (as live
// systems boot) and under an overlay whose layers are there.
TEST_F(MountTest, TheSystemDiskIsFoundHoweverItIsStacked) {
    const UsbBlockDevice stick = Disk("stick.img", "stick");
    Run("mkdir -p stick/up stick/work low ov && truncate -s 8M stick/root.img && "
        "mkfs.ext4 -q stick/root.img && mkdir live && mount -o loop stick/root.img live && "
        "mount -t overlay -o lowerdir=$PWD/low,upperdir=$PWD/stick/up,workdir=$PWD/stick/work "
        "overlay ov");
    for (const char* root : {"live", "ov"}) {
        std::vector<MountInfoLine> roots;
        const std::vector<MountInfoLine> mounts =
            ParseMountInfo(testing::ReadBytes("/proc/self/mountinfo"));
        for (const MountInfoLine& mount : mounts) {
            if (mount.target == Path(root))
                roots.push_back(mount);
        }
        const SystemDisks system = DevicesBeneath(roots, mounts);
        EXPECT_TRUE(system.devices.contains(stick.devnum)) << root;
        EXPECT_EQ(system.unresolved, "") << root;
    }
}

TEST_F(MountTest, ReadOnlyHoldsForAMountedFileSystemAndReadWriteUndoesIt) {
    const std::string target = Path("mnt");
    const UsbBlockDevice device = Disk("img", "mnt");

    // A file open for writing keeps the remount from happening: the mount comes back as busy.
    const int writer = ::open((target + "/open").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    std::vector<BusyMount> busy;
    EXPECT_EQ(MakeReadOnly(device, &busy), Problems{});
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].mount.target, target);
    ::close(writer);
    EXPECT_EQ(MakeReadOnly(device), Problems{});
    EXPECT_TRUE(MountPointsOf(device.devnum).at(0).read_only);
    EXPECT_EQ(::open((target + "/new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), -1);
    EXPECT_EQ(errno, EROFS);
    const int raw = ::open(device.devnode.c_str(), O_WRONLY | O_CLOEXEC);
    const std::string block(4096, '\0');
    EXPECT_EQ(::pwrite(raw, block.data(), block.size(), 1 << 20), -1);
    EXPECT_EQ(MakeWritable(device), Problems{});
    EXPECT_EQ(::pwrite(raw, block.data(), block.size(), 1 << 20), 4096);
    ::close(raw);
    ::umount2(target.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace varnholt::enforce
