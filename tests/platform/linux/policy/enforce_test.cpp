#include "platform/linux/policy/enforce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/hive_registry.h"
#include "platform/linux/policy/udev_rules.h"
#include "platform/linux/policy/usb_storage.h"
#include "support/hive_files.h"

namespace varnholt::enforce {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;
using testing::WriteHive;

constexpr const char* kNoHive = "(no file)";

// The mode the kernel is given is the mode the main window shows.
TEST(EnforceTest, ApplyReadsTheModeTheWindowShowsAndWritesNothing) {
    struct Case {
        const char* hive;  // body after the header, or kNoHive; "!" starts a whole damaged file
        UsbMode expected;
        bool problem;
    };
    const std::string start_key =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor]\n";
    const std::string policy_key =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies]\n";
    for (const Case& c : {
             Case{kNoHive, UsbMode::kDisable, true},
             Case{"!garbage", UsbMode::kDisable, true},
             Case{"", UsbMode::kDisable, false},
             Case{"S\"Start\"=dword:00000003\n", UsbMode::kReadWrite, false},
             Case{"S\"Start\"=dword:00000003\nP\"WriteProtect\"=dword:00000001\n",
                  UsbMode::kReadOnly, false},
             Case{"S\"Start\"=\"3\"\nP\"WriteProtect\"=\"no\"\n", UsbMode::kReadOnly, false},
             Case{"S\"Start\"=hex:03,00,00,00\n", UsbMode::kDisable, false},
             Case{"P\"WriteProtect\"=dword:00000000\nS\"Start\"=dword:3x\n", UsbMode::kDisable,
                  true},
         }) {
        SCOPED_TRACE(c.hive);
        testing::TempDir folder;
        const std::filesystem::path hive = folder.path() / "machine.reg";
        std::string body = c.hive;
        for (std::size_t at; (at = body.find("S\"")) != std::string::npos;)
            body.replace(at, 1, start_key);
        for (std::size_t at; (at = body.find("P\"")) != std::string::npos;)
            body.replace(at, 1, policy_key);
        if (body.starts_with('!'))
            WriteBytes(hive, body);
        else if (body != kNoHive)
            WriteHive(hive, body);
        const std::string before = ReadBytes(hive);

        const RecordedMode recorded = ReadRecordedMode(hive);
        EXPECT_EQ(recorded.mode, c.expected);
        EXPECT_EQ(!recorded.problem.empty(), c.problem) << recorded.problem;
        EXPECT_EQ(ReadBytes(hive), before);
        EXPECT_EQ(std::filesystem::exists(hive), body != kNoHive);

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
        EXPECT_LT(skip, rules.find(mode == UsbMode::kDisable ? "ATTR{authorized}=\"0\"" : "RUN+="));
    }
    EXPECT_EQ(RulesMode("# written by hand\n"), std::nullopt);
}

std::string FirstLineOf(const std::string& command) {
    std::string text(256, '\0');
    FILE* pipe = ::popen(command.c_str(), "r");
    text.resize(std::fread(text.data(), 1, text.size(), pipe));
    ::pclose(pipe);
    return text.substr(0, text.find('\n'));
}

// A loop device with a file system mounted read/write; it goes when unmounted.
TEST(EnforceTest, ReadOnlyHoldsForAMountedFileSystemAndReadWriteUndoesIt) {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root";
    testing::TempDir folder;
    const std::string image = folder.path() / "disk.img", target = folder.path() / "mnt";
    ASSERT_EQ(std::system(("truncate -s 8M " + image + " && mkfs.ext4 -q " + image + " && mkdir " +
                           target + " && mount -o loop " + image + " " + target)
                              .c_str()),
              0);
    UsbBlockDevice device;
    device.devnode = FirstLineOf("findmnt -no SOURCE " + target);
    struct stat status {};
    ASSERT_EQ(::stat(device.devnode.c_str(), &status), 0) << device.devnode;
    device.devnum = status.st_rdev;
    device.mount_points = MountPointsOf(device.devnum);
    EXPECT_EQ(device.mount_points, std::vector<std::string>{target});

    EXPECT_EQ(MakeReadOnly(device), Problems{});
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
