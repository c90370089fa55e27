#include "platform/linux/hive_registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt::platform {
namespace {

using testing::RaisedError;
using testing::ReadBytes;
using testing::WriteHive;

mode_t ModeOf(const std::filesystem::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return status.st_mode & 07777;
}

class HiveRegistryTest : public ::testing::Test {
  protected:
    std::int32_t ReadError(const std::string& name) {
        return RaisedError([&] { registry_.RegRead(name); }).number();
    }
    std::int32_t WriteError(const std::string& name) {
        return RaisedError([&] { registry_.RegWrite(name, 3, "REG_DWORD"); }).number();
    }

    testing::TempDir folder_;
    std::filesystem::path machine_ = folder_.path() / "var" / "machine.reg";
    std::filesystem::path user_ = folder_.path() / "home" / "user.reg";
    std::string lock_ = machine_.string() + ".lock";
    HiveRegistry registry_{machine_, user_, std::chrono::milliseconds(300)};
};

TEST_F(HiveRegistryTest, RootsChooseTheHiveAndWritesCreateFoldersFilesAndKeys) {
    registry_.RegWrite("HKLM\\SYSTEM\\Deep\\Er\\Start", 3, "REG_DWORD");
    registry_.RegWrite("HKEY_CURRENT_USER\\Software\\S\\p", std::string("ABC"), "REG_SZ");
    registry_.RegWrite("hkcu\\Software\\s\\Negative", -2, "REG_DWORD");
    registry_.RegWrite("HKCU\\Software\\S\\", 12, "REG_SZ");  // the key's default value
    EXPECT_EQ(registry_.RegRead("HKEY_LOCAL_MACHINE\\system\\deep\\er\\START"), RegValue(3));
    EXPECT_EQ(registry_.RegRead("HKCU\\Software\\S\\p"), RegValue("ABC"));
    EXPECT_EQ(registry_.RegRead("HKCU\\Software\\S\\negative"), RegValue(-2));
    EXPECT_EQ(registry_.RegRead("HKCU\\Software\\S\\"), RegValue("12"));
    EXPECT_EQ(ModeOf(machine_), 0644u);
    EXPECT_EQ(ModeOf(user_), 0600u);  // it keeps the password digest
    std::filesystem::permissions(machine_, std::filesystem::perms(0640));
    registry_.RegWrite("HKLM\\SYSTEM\\Deep\\Er\\Start", 4, "REG_DWORD");
    EXPECT_EQ(ModeOf(machine_), 0640u);  // a changed file keeps its mode
}

TEST_F(HiveRegistryTest, ReadsFailWithTheShellsNumbersAndWordsForWhatIsMissing) {
    EXPECT_EQ(RaisedError([&] { registry_.RegRead("HKLM\\X\\Start"); }).description(),
              "Unable to open registry key \"HKLM\\X\\Start\" for reading.");
    WriteHive(machine_,
              "[HKEY_LOCAL_MACHINE\\X]\n\"Start\"=dword:00000001\n\"Path\"=hex(2):41,00,00,00\n"
              "\"Raw\"=hex:01,00,00,00\n[HKEY_CURRENT_USER\\X]\n\"Other\"=dword:00000001\n");
    for (const std::string name :
         {"HKLM\\X\\Stop", "HKLM\\Y\\Start", "HKLM\\X\\Path", "HKLM\\X\\Raw", "HKCU\\X\\Start",
          "HKLM\\X\\Other", "HKCR\\.txt\\x", "HKEY_USERS\\x\\y", "X\\Start", "HKLM"}) {
        EXPECT_EQ(ReadError(name), ErrorNumber(registry_error::kNotFound)) << name;
    }
    const Error error = RaisedError([&] { registry_.RegWrite("HKCR\\x\\y", 1, "REG_DWORD"); });
    EXPECT_EQ(error.number(), ErrorNumber(registry_error::kNotFound));
    EXPECT_EQ(error.description(), "Invalid root in registry key \"HKCR\\x\\y\".");
}

// Only a missing file reads as missing: anything else would let a damaged user hive pass for
// one with no password set. Nothing is followed, nothing waits, nothing is changed.
TEST_F(HiveRegistryTest, HivesThatAreNoPlainFileAreErrorsAndLeftAsTheyAre) {
    const std::filesystem::path elsewhere = folder_.path() / "elsewhere.reg";
    WriteHive(elsewhere, "[HKEY_LOCAL_MACHINE\\A]\n\"Start\"=dword:4\n");
    const std::string kept = ReadBytes(elsewhere);
    std::filesystem::create_directories(machine_.parent_path());
    const std::string damaged = "Windows Registry Editor Version 5.00\n\n[A]\n\"B\"=dword:zz\n";
    for (const auto& [make, number] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"printf '" + damaged + "' >machine.reg", 0x800703F1},
             {"mkdir machine.reg", 0x80004005},
             {"ln -s ../elsewhere.reg machine.reg", 0x80004005},
             {"ln -s machine.reg machine.reg", 0x80004005},
             {"ln -s /dev/zero machine.reg", 0x80004005},
             {"mkfifo machine.reg", 0x80004005},
             {"truncate -s 257M machine.reg", 0x800700DF}}) {
        SCOPED_TRACE(make);
        ASSERT_EQ(std::system(("cd " + machine_.parent_path().string() + " && " + make).c_str()),
                  0);
        const auto type = std::filesystem::symlink_status(machine_).type();
        EXPECT_EQ(ReadError("HKLM\\A\\Start"), ErrorNumber(number));
        const Error error =
            RaisedError([&] { registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD"); });
        EXPECT_EQ(error.number(), ErrorNumber(number));
        EXPECT_NE(error.description().find(machine_.string()), std::string::npos)
            << error.description();
        EXPECT_EQ(std::filesystem::symlink_status(machine_).type(), type);
        if (number == 0x800703F1) {
            EXPECT_EQ(ReadBytes(machine_), damaged);
            EXPECT_NE(error.description().find(" line 4"), std::string::npos);
        }
        std::filesystem::remove_all(machine_);
    }
    EXPECT_EQ(ReadBytes(elsewhere), kept);
    // Only this file's trouble: the other hive is written as usual.
    registry_.RegWrite("HKCU\\A\\Start", 3, "REG_DWORD");
    EXPECT_EQ(registry_.RegRead("HKCU\\A\\Start"), RegValue(3));
}

// Whoever can open the lock can hold it, stalling every write: only the writer may, and a
// lock held too long is an error naming it, the hive unchanged.
TEST_F(HiveRegistryTest, TheLockIsTheWritersAloneAndNeverWaitedForLong) {
    testing::WriteBytes(lock_, "");  // as earlier versions left it
    std::filesystem::permissions(lock_, std::filesystem::perms(0644));
    registry_.RegWrite("HKLM\\A\\Start", 4, "REG_DWORD");
    EXPECT_EQ(ModeOf(lock_), 0600u);
    const std::string before = ReadBytes(machine_);
    const int held = ::open(lock_.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Error error = RaisedError([&] { registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD"); });
    ::close(held);
    EXPECT_EQ(error.number(), ErrorNumber(0x800705B4));
    EXPECT_NE(error.description().find(lock_), std::string::npos) << error.description();
    EXPECT_EQ(ReadBytes(machine_), before);

    // A lock planted as a link makes root create nothing where it points.
    std::filesystem::remove(lock_);
    std::filesystem::create_symlink(folder_.path() / "planted", lock_);
    EXPECT_EQ(WriteError("HKLM\\A\\Start"), ErrorNumber(0x80004005));
    EXPECT_FALSE(std::filesystem::exists(folder_.path() / "planted"));
}

TEST_F(HiveRegistryTest, RightsAreTheFilesAndTheFolders) {
    WriteHive(machine_, "[HKEY_LOCAL_MACHINE\\A]\n\"Start\"=dword:00000004\n");
    const std::string before = ReadBytes(machine_);
    {
        // No rights to the folder: no write, also none creating a folder inside; reads work.
        testing::WithoutWriteRights no_rights(machine_.parent_path());
        for (const std::filesystem::path& folder :
             {machine_.parent_path(), machine_.parent_path() / "missing"}) {
            HiveRegistry registry(folder / "machine.reg", user_);
            const Error error =
                RaisedError([&] { registry.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD"); });
            EXPECT_EQ(error.number(), ErrorNumber(registry_error::kAccessDenied));
            EXPECT_EQ(error.description(), "Invalid root in registry key \"HKLM\\A\\Start\".");
        }
        EXPECT_EQ(registry_.RegRead("HKLM\\A\\Start"), RegValue(4));
    }
    // A hive its owner made read-only is not replaced through a writable folder; one that
    // cannot be read is denied, not missing.
    const auto as_user = [](const std::function<std::int32_t()>& operation) {
        testing::AsOrdinaryUser ordinary;
        return operation();
    };
    std::filesystem::permissions(machine_, std::filesystem::perms(0444));
    EXPECT_EQ(as_user([&] { return WriteError("HKLM\\A\\Start"); }),
              ErrorNumber(registry_error::kAccessDenied));
    EXPECT_EQ(ReadBytes(machine_), before);
    std::filesystem::permissions(machine_, std::filesystem::perms::none);
    EXPECT_EQ(as_user([&] { return ReadError("HKLM\\A\\Start"); }),
              ErrorNumber(registry_error::kAccessDenied));
}

TEST_F(HiveRegistryTest, BadTypesAndTextAreRefusedBeforeAnythingIsWritten) {
    for (const auto& [name, value, type, number] :
         std::vector<std::tuple<std::string, RegValue, const char*, std::uint32_t>>{
             {"HKLM\\A\\v", 1, "REG_BINARY", 0x80070057},
             {"HKLM\\A\\v", std::string("3"), "REG_DWORD", 0x80020005},
             {"HKLM\\A\\v", std::string("\xC3"), "REG_SZ", 0x80070057},
             {"HKLM\\A]\n[B\\v", 1, "REG_DWORD", 0x80070057},
             {std::string("HKLM\\A\0B\\v", 10), 1, "REG_DWORD", 0x80070057}}) {
        EXPECT_EQ(RaisedError([&] { registry_.RegWrite(name, value, type); }).number(),
                  ErrorNumber(number));
    }
    EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(HiveRegistryTest, HiveWithoutFolderLivesInTheCurrentOne) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder_.path());
    HiveRegistry("machine.reg", "user.reg").RegWrite("HKLM\\A\\Start", 3, "REG_DWORD");
    std::filesystem::current_path(previous);
    EXPECT_EQ(HiveRegistry(folder_.path() / "machine.reg", user_).RegRead("HKLM\\A\\Start"),
              RegValue(3));
}

// With no home folder the password digest would land wherever the program was started.
TEST(UserHivePathTest, ComesFromAnAbsoluteHomeOrNowhere) {
    EXPECT_EQ(UserHivePath("/home/a", "/elsewhere"), "/home/a/.config/varnholt/user.reg");
    EXPECT_EQ(UserHivePath("", "/root"), "/root/.config/varnholt/user.reg");
    for (const auto& [account, variable] : std::vector<std::pair<const char*, const char*>>{
             {nullptr, nullptr}, {"", ""}, {nullptr, "relative"}, {"relative", "/root"}}) {
        EXPECT_EQ(RaisedError([&] { UserHivePath(account, variable); }).number(),
                  ErrorNumber(0x80070003));
    }
}

}  // namespace
}  // namespace varnholt::platform
