#include "platform/linux/hive_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/error.h"
#include "platform/linux/reg_file.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt::platform {
namespace {

using testing::RaisedError;
using testing::ReadBytes;
using testing::WithoutWriteRights;
using testing::WriteBytes;
using testing::WriteHive;

class HiveRegistryTest : public ::testing::Test {
  protected:
    mode_t ModeOf(const std::filesystem::path& path) {
        struct stat status {};
        EXPECT_EQ(::stat(path.c_str(), &status), 0);
        return status.st_mode & 07777;
    }

    testing::TempDir folder_;
    std::filesystem::path machine_ = folder_.path() / "var" / "machine.reg";
    std::filesystem::path user_ = folder_.path() / "home" / "user.reg";
    HiveRegistry registry_{machine_, user_};
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

    RegFile machine = RegFile::Parse(ReadBytes(machine_));
    EXPECT_EQ(machine.Find("HKEY_LOCAL_MACHINE\\SYSTEM\\Deep\\Er", "Start"), HiveValue::Dword(3));
    EXPECT_EQ(RegFile::Parse(ReadBytes(user_)).Find("HKEY_CURRENT_USER\\Software\\S", "Negative"),
              HiveValue::Dword(0xfffffffe));
    EXPECT_EQ(ModeOf(machine_), 0644u);
    EXPECT_EQ(ModeOf(user_), 0600u);  // it keeps the password digest

    // A changed file keeps the mode it had.
    std::filesystem::permissions(machine_, std::filesystem::perms(0640));
    registry_.RegWrite("HKLM\\SYSTEM\\Deep\\Er\\Start", 4, "REG_DWORD");
    EXPECT_EQ(ModeOf(machine_), 0640u);
}

TEST_F(HiveRegistryTest, ReadsFailWithTheShellsNumbersAndWordsForWhatIsMissing) {
    const auto expect_unreadable = [&](const std::string& name) {
        const Error error = RaisedError([&] { registry_.RegRead(name); });
        EXPECT_EQ(error.number(), ErrorNumber(registry_error::kNotFound)) << name;
        EXPECT_EQ(error.source(), "WshShell.RegRead");
        EXPECT_EQ(error.description(), "Unable to open registry key \"" + name + "\" for reading.");
    };
    expect_unreadable("HKLM\\SYSTEM\\X\\Start");  // no file
    WriteHive(machine_,
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\n\"Start\"=dword:00000001\n"
              "\"Path\"=hex(2):41,00,00,00\n\"Raw\"=hex:01,00,00,00\n"
              "[HKEY_CURRENT_USER\\SYSTEM\\X]\n\"Other\"=dword:00000001\n");
    expect_unreadable("HKLM\\SYSTEM\\X\\Stop");
    expect_unreadable("HKLM\\SYSTEM\\Y\\Start");
    expect_unreadable("HKLM\\SYSTEM\\X\\Path");  // no text form
    expect_unreadable("HKLM\\SYSTEM\\X\\Raw");
    expect_unreadable("HKCU\\SYSTEM\\X\\Start");
    expect_unreadable(
        "HKLM\\SYSTEM\\X\\Other");  // a user key in the machine's file is not the machine's

    for (const std::string name :
         {"HKCR\\.txt\\x", "HKEY_USERS\\x\\y", "SYSTEM\\X\\Start", "HKLM", ""}) {
        for (const bool write : {false, true}) {
            const Error error = RaisedError([&] {
                if (write)
                    registry_.RegWrite(name, 1, "REG_DWORD");
                else
                    registry_.RegRead(name);
            });
            EXPECT_EQ(error.number(), ErrorNumber(registry_error::kNotFound));
            EXPECT_EQ(error.description(), "Invalid root in registry key \"" + name + "\".");
            EXPECT_EQ(error.source(), write ? "WshShell.RegWrite" : "WshShell.RegRead");
        }
    }
}

TEST_F(HiveRegistryTest, WritingLeavesEveryOtherByteAsItWas) {
    const std::string before =
        "Windows Registry Editor Version 5.00\n\n; keep me\n[HKEY_LOCAL_MACHINE\\A]\n"
        "\"bin\"=hex:01,02,\\\n  03\n\"Start\"=dword:00000004 ; four\n\"multi\"=hex(7):00,00\n\n"
        "[HKEY_CURRENT_USER\\Stray]\n@=\"x\"";
    WriteBytes(machine_, before);
    registry_.RegWrite("HKLM\\A\\start", 3, "REG_DWORD");
    registry_.RegWrite("HKLM\\A\\added", std::string("v"), "REG_SZ");
    EXPECT_EQ(ReadBytes(machine_),
              "Windows Registry Editor Version 5.00\n\n; keep me\n[HKEY_LOCAL_MACHINE\\A]\n"
              "\"bin\"=hex:01,02,\\\n  "
              "03\n\"Start\"=dword:00000003\n\"multi\"=hex(7):00,00\n\"added\"=\"v\"\n\n"
              "[HKEY_CURRENT_USER\\Stray]\n@=\"x\"");
}

TEST_F(HiveRegistryTest, DamagedHiveIsNeverOverwrittenAndTheErrorNamesFileAndLine) {
    const std::string damaged =
        "Windows Registry Editor Version "
        "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"Start\"=dword:00000004\r\n"
        "\"Broken\"=dword:zz\r\n";
    WriteBytes(machine_, damaged);
    const Error error = RaisedError([&] { registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD"); });
    EXPECT_EQ(error.number(), ErrorNumber(0x800703F1));
    EXPECT_EQ(error.source(), "WshShell.RegWrite");
    EXPECT_NE(error.description().find(machine_.string() + " line 5"), std::string::npos)
        << error.description();
    EXPECT_NE(error.description().find("HKLM\\A\\Start"), std::string::npos) << error.description();
    EXPECT_EQ(ReadBytes(machine_), damaged);
    // Nor does it read as missing: that would pass a damaged user hive for one with no password.
    const Error read = RaisedError([&] { registry_.RegRead("HKLM\\A\\Start"); });
    EXPECT_EQ(read.number(), ErrorNumber(0x800703F1));
    EXPECT_NE(read.description().find(" line 5"), std::string::npos) << read.description();
    // Only this file's trouble: the other hive is written as usual.
    registry_.RegWrite("HKCU\\A\\Start", 3, "REG_DWORD");
    EXPECT_EQ(registry_.RegRead("HKCU\\A\\Start"), RegValue(3));
}

TEST_F(HiveRegistryTest, WithoutRightsWritesAreDeniedAndReadsStillWork) {
    WriteHive(machine_, "[HKEY_LOCAL_MACHINE\\A]\n\"Start\"=dword:00000004\n");
    const std::string before = ReadBytes(machine_);
    for (const std::filesystem::path& folder :
         {machine_.parent_path(), folder_.path() / "var" / "missing"}) {
        HiveRegistry registry(folder / "machine.reg", user_);
        WithoutWriteRights no_rights(machine_.parent_path());
        const Error error =
            RaisedError([&] { registry.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD"); });
        EXPECT_EQ(error.number(), ErrorNumber(registry_error::kAccessDenied));
        EXPECT_EQ(error.description(), "Invalid root in registry key \"HKLM\\A\\Start\".");
    }
    WithoutWriteRights no_rights(machine_.parent_path());
    EXPECT_EQ(registry_.RegRead("HKLM\\A\\Start"), RegValue(4));
    EXPECT_EQ(ReadBytes(machine_), before);
}

TEST_F(HiveRegistryTest, ReadOnlyHiveIsNotReplacedThroughAWritableFolder) {
    WriteHive(machine_, "[HKEY_LOCAL_MACHINE\\A]\n\"Start\"=dword:00000004\n");
    const std::string before = ReadBytes(machine_);
    std::filesystem::permissions(machine_.parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(machine_, std::filesystem::perms(0444));
    const Error error = RaisedError([&] {
        testing::AsOrdinaryUser as_user;
        registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD");
    });
    EXPECT_EQ(error.number(), ErrorNumber(registry_error::kAccessDenied));
    EXPECT_EQ(ReadBytes(machine_), before);
}

TEST_F(HiveRegistryTest, UnreadableHiveReadsAsAccessDenied) {
    registry_.RegWrite("HKCU\\A\\p", std::string("secret digest"), "REG_SZ");
    std::filesystem::permissions(user_, std::filesystem::perms::none);
    WithoutWriteRights no_rights(user_.parent_path());
    EXPECT_EQ(RaisedError([&] { registry_.RegRead("HKCU\\A\\p"); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
}

TEST_F(HiveRegistryTest, BadTypesAndTextAreRefusedBeforeAnythingIsWritten) {
    EXPECT_EQ(RaisedError([&] { registry_.RegWrite("HKLM\\A\\v", 1, "REG_BINARY"); }).number(),
              ErrorNumber(0x80070057));
    EXPECT_EQ(RaisedError([&] {
                  registry_.RegWrite("HKLM\\A\\v", std::string("3"), "REG_DWORD");
              }).number(),
              ErrorNumber(0x80020005));
    EXPECT_EQ(RaisedError([&] {
                  registry_.RegWrite("HKLM\\A\\v", std::string("\xC3"), "REG_SZ");
              }).number(),
              ErrorNumber(0x80070057));
    EXPECT_EQ(RaisedError([&] { registry_.RegWrite("HKLM\\A]\n[B\\v", 1, "REG_DWORD"); }).number(),
              ErrorNumber(0x80070057));
    EXPECT_EQ(RaisedError([&] {
                  registry_.RegWrite(std::string("HKLM\\A\0B\\v", 10), 1, "REG_DWORD");
              }).number(),
              ErrorNumber(0x80070057));
    EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(HiveRegistryTest, HiveWithoutFolderLivesInTheCurrentOne) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder_.path());
    HiveRegistry registry("machine.reg", "user.reg");
    registry.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD");
    const RegValue read = registry.RegRead("HKLM\\A\\Start");
    std::filesystem::current_path(previous);
    EXPECT_EQ(read, RegValue(3));
    EXPECT_TRUE(std::filesystem::exists(folder_.path() / "machine.reg"));
}

TEST_F(HiveRegistryTest, TempFilesOfAWriterThatDiedAreClearedByTheNextWrite) {
    registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD");
    const std::filesystem::path orphan = machine_.parent_path() / ".machine.reg.Ab12Cd";
    const std::filesystem::path unrelated = machine_.parent_path() / ".machine.reg.keep-me";
    WriteBytes(orphan, "half a hive");
    WriteBytes(unrelated, "not ours");
    registry_.RegWrite("HKLM\\A\\Start", 4, "REG_DWORD");
    EXPECT_FALSE(std::filesystem::exists(orphan));
    EXPECT_TRUE(std::filesystem::exists(unrelated));
    EXPECT_EQ(registry_.RegRead("HKLM\\A\\Start"), RegValue(4));
}

}  // namespace
}  // namespace varnholt::platform
