#include "platform/linux/enforce/enforce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
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

TEST(EnforceTest, RulesSkipTheSystemDiskBeforeTheyBlockAnything) {
    for (const UsbMode mode : {UsbMode::kDisable, UsbMode::kReadOnly}) {
        const std::string rules = RenderRules(mode, {"/devices/pci0000:00/usb2/2-1"});
        const std::size_t skip = rules.find("DEVPATH==\"/devices/pci0000:00/usb2/2-1/*\", GOTO");
        EXPECT_LT(skip,
                  rules.find(mode == UsbMode::kDisable ? "ATTR{authorized}=\"0\"" : "--setro"));
    }
}

TEST(EnforceTest, ReadOnlyHoldsForAMountedFileSystemAndReadWriteUndoesIt) {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root";
    testing::TempDir folder;
    const std::string target = folder.path() / "mnt";
    const std::string mount = "cd " + folder.path().string() +
                              " && truncate -s 8M img && mkfs.ext4 -q img && mkdir mnt"
                              " && mount -o loop img mnt";
    ASSERT_EQ(std::system(mount.c_str()), 0);
    struct stat mounted {};
    ::stat(target.c_str(), &mounted);
    const std::string number =
        std::to_string(major(mounted.st_dev)) + ":" + std::to_string(minor(mounted.st_dev));
    const std::string name = std::filesystem::read_symlink("/sys/dev/block/" + number).filename();
    const UsbBlockDevice device{.identity = {},
                                .devnode = "/dev/" + name,
                                .devnum = mounted.st_dev,
                                .mount_points = MountPointsOf(mounted.st_dev)};

    // A file open for writing keeps the remount from happening: the mount comes back as busy.
    const int writer = ::open((target + "/open").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    std::vector<std::string> busy;
    EXPECT_EQ(MakeReadOnly(device, &busy), Problems{});
    EXPECT_EQ(busy, std::vector<std::string>{target});
    ::close(writer);
    EXPECT_EQ(MakeReadOnly(device), Problems{});
    EXPECT_TRUE(MountPointsOf(mounted.st_dev).at(0).read_only);
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
