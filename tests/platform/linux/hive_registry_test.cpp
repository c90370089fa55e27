#include "platform/linux/hive_registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <random>
#include <thread>

#include "platform/linux/reg_file.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt::platform {
namespace {

using testing::RaisedError;
using testing::ReadBytes;

class HiveRegistryTest : public ::testing::Test {
  protected:
    // Each error names the call that raised it.
    Error ReadError(const std::string& name = "HKLM\\A\\Start") {
        return Sourced(RaisedError([&] { registry_.RegRead(name); }), "WshShell.RegRead");
    }
    Error WriteError(const std::string& name = "HKLM\\A\\Start", const RegValue& value = 3,
                     const char* type = "REG_DWORD") {
        return Sourced(RaisedError([&] { registry_.RegWrite(name, value, type); }),
                       "WshShell.RegWrite");
    }
    static Error Sourced(Error error, std::string_view source) {
        EXPECT_EQ(error.source(), source);
        return error;
    }

    testing::TempDir folder_;
    std::filesystem::path machine_ = folder_.path() / "var" / "machine.reg";
    std::filesystem::path user_ = folder_.path() / "home" / "user.reg";
    HiveRegistry registry_{machine_, user_, std::chrono::milliseconds(300)};
};

TEST_F(HiveRegistryTest, RootsChooseTheHiveAndTheUsersOneKeepsThePasswordPrivate) {
    registry_.RegWrite("HKLM\\SYSTEM\\Deep\\Start", -2, "REG_DWORD");
    registry_.RegWrite("hkcu\\Software\\S\\p", 12, "REG_SZ");
    EXPECT_EQ(registry_.RegRead("HKEY_LOCAL_MACHINE\\system\\deep\\START"), RegValue(-2));
    EXPECT_EQ(registry_.RegRead("HKCU\\Software\\S\\P"), RegValue("12"));
    EXPECT_EQ(std::filesystem::status(machine_).permissions(), std::filesystem::perms(0644));
    EXPECT_EQ(std::filesystem::status(user_).permissions(), std::filesystem::perms(0600));
}

TEST_F(HiveRegistryTest, WhatIsMissingOrMistypedIsRefusedBeforeAnythingIsWritten) {
    testing::WriteHive(user_, "[HKEY_CURRENT_USER\\X]\n\"Path\"=hex(2):41,00,00,00\n");
    for (const char* name : {"HKCU\\X\\Stop", "HKCU\\X\\Path", "HKCR\\X\\Path", "HKLM"})
        EXPECT_EQ(ReadError(name).number(), ErrorNumber(registry_error::kNotFound)) << name;
    for (const auto& [name, value, type] :
         std::vector<std::tuple<std::string, RegValue, const char*>>{
             {"HKLM\\A\\v", std::string("\xC3"), "REG_SZ"},
             {"HKLM\\A]\n[B\\v", 1, "REG_DWORD"},
             {std::string("HKLM\\A\0B\\v", 10), 1, "REG_DWORD"}})
        EXPECT_EQ(WriteError(name, value, type).number(), ErrorNumber(0x80070057)) << name;
    EXPECT_FALSE(std::filesystem::exists(machine_));
}

// Only a missing hive reads as missing: a damaged one would pass for one with no password.
TEST_F(HiveRegistryTest, HivesThatAreNoPlainFileAreErrorsAndLeftAsTheyAre) {
    std::filesystem::create_directories(machine_.parent_path());
    const std::string damaged = "Windows Registry Editor Version 5.00\n\n[A]\n\"B\"=dword:zz\n";
    for (const auto& [make, number] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"printf '" + damaged + "' >", 0x800703F1},
             {"mkdir", 0x80004005},
             {"ln -s ../missing.reg", 0x80004005},  // were it followed, it would read as missing
             {"ln -s machine.reg", 0x80004005},
             {"ln -s /dev/zero", 0x80004005},
             {"mkfifo", 0x80004005},
             {"truncate -s 257M", 0x800700DF}}) {
        SCOPED_TRACE(make);
        const std::string command =
            "cd " + machine_.parent_path().string() + " && " + make + " machine.reg";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const auto type = std::filesystem::symlink_status(machine_).type();
        EXPECT_EQ(ReadError().number(), ErrorNumber(number));
        const Error error = WriteError();
        EXPECT_EQ(error.number(), ErrorNumber(number));
        EXPECT_NE(error.description().find(machine_.string()), std::string::npos);
        EXPECT_EQ(std::filesystem::symlink_status(machine_).type(), type);
        if (number == 0x800703F1) {
            EXPECT_EQ(ReadBytes(machine_), damaged);
        }
        std::filesystem::remove_all(machine_);
    }
}

// Only the writer may hold the lock; held too long, or failing, it is an error naming it.
TEST_F(HiveRegistryTest, TheLockIsTheWritersAloneAndNeverWaitedForLong) {
    const std::string lock = machine_.string() + ".lock";
    registry_.RegWrite("HKLM\\A\\Start", 4, "REG_DWORD");
    EXPECT_EQ(std::filesystem::status(lock).permissions(), std::filesystem::perms(0600));
    const int held = ::open(lock.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Error error = WriteError();
    ::close(held);
    EXPECT_EQ(error.number(), ErrorNumber(0x800705B4));
    EXPECT_NE(error.description().find(lock), std::string::npos) << error.description();

    // Every flock failing with ENOLCK, as on a file system without locks.
    sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_flock, 0, 1),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOLCK),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{std::size(filter), filter};
    EXPECT_EXIT(
        {
            ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
            std::fputs(WriteError().what(), stderr);
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(1), "No locks available");

    // A lock planted as a link makes root create nothing where it points.
    std::filesystem::remove(lock);
    std::filesystem::create_symlink(folder_.path() / "planted", lock);
    EXPECT_EQ(WriteError().number(), ErrorNumber(0x80004005));
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "planted"));
}

// The rename needs rights to the folder only, but a hive its owner made read-only stays so.
TEST_F(HiveRegistryTest, AReadOnlyHiveIsNotReplacedEvenInAFolderOpenToAll) {
    testing::WriteHive(machine_, "");
    std::filesystem::permissions(machine_.parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(machine_, std::filesystem::perms(0444));
    testing::AsOrdinaryUser ordinary;
    EXPECT_EQ(WriteError().description(), "Invalid root in registry key \"HKLM\\A\\Start\".");
    EXPECT_EQ(ReadBytes(machine_), "Windows Registry Editor Version 5.00\n\n");
}

// One writer killed at random instants, another beside it: the hive is old or new, never lost.
TEST_F(HiveRegistryTest, WritersKilledOrRacingLeaveTheOldHiveOrTheNewAndLoseNothing) {
    testing::WriteHive(machine_, "[HKEY_LOCAL_MACHINE\\Other]\n\"Kept\"=dword:00000001\n\n");
    HiveRegistry patient(machine_, user_);  // waits for the lock as long as a write may take
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 300; ++round) {
        const pid_t writer = ::fork();
        if (writer == 0) {
            try {
                for (int n = 0;; ++n)
                    patient.RegWrite("HKLM\\Test\\Counter", n, "REG_DWORD");
            } catch (const Error&) {
                ::_exit(1);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
        patient.RegWrite("HKLM\\Test\\" + std::to_string(round), round, "REG_DWORD");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));                           // not ended by an error
        const RegFile after = RegFile::Parse(ReadBytes(machine_));  // throws if damaged
        ASSERT_EQ(after.Find("HKEY_LOCAL_MACHINE\\Other", "Kept"), HiveValue::Dword(1));
    }
    for (int round = 0; round < 300; ++round)
        EXPECT_EQ(registry_.RegRead("HKLM\\Test\\" + std::to_string(round)), RegValue(round));
    // The next write removes what a killed writer left, and only that: hive, lock, backup stay.
    testing::WriteBytes(machine_.parent_path() / ".machine.reg.Ab12Cd.new", "half a hive");
    testing::WriteBytes(machine_.parent_path() / ".machine.reg.backup", "a person's copy");
    registry_.RegWrite("HKLM\\Test\\Done", 1, "REG_DWORD");
    EXPECT_TRUE(std::filesystem::exists(machine_.parent_path() / ".machine.reg.backup"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(machine_.parent_path()), {}),
              3);  // with the hive and its lock
}

// With no home folder the password digest would land wherever the program was started.
TEST(UserHivePathTest, ComesFromAnAbsoluteHomeOrNowhere) {
    EXPECT_EQ(UserHivePath("/home/a", "/root"), "/home/a/.config/varnholt/user.reg");
    EXPECT_EQ(UserHivePath("", "/root"), "/root/.config/varnholt/user.reg");
    for (const auto& [account, variable] : std::vector<std::pair<const char*, const char*>>{
             {nullptr, nullptr}, {nullptr, "relative"}, {"relative", "/root"}})
        EXPECT_EQ(RaisedError([&] { UserHivePath(account, variable); }).number(),
                  ErrorNumber(0x80070003));
}

}  // namespace
}  // namespace varnholt::platform
