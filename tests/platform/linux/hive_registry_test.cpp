#include "platform/linux/hive_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
    for (const char* name : {"HKLM\\SYSTEM\\X\\Stop", "HKLM\\SYSTEM\\Y\\Start",
                             "HKLM\\SYSTEM\\X\\Path", "HKLM\\SYSTEM\\X\\Raw",  // no text form
                             "HKCU\\SYSTEM\\X\\Start",
                             "HKLM\\SYSTEM\\X\\Other"}) {  // not the machine's, though in its file
        expect_unreadable(name);
    }

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

TEST_F(HiveRegistryTest, RightsAreTheFilesAndTheFolders) {
    WriteHive(machine_, "[HKEY_LOCAL_MACHINE\\A]\n\"Start\"=dword:00000004\n");
    const std::string before = ReadBytes(machine_);
    const auto expect_denied = [](const std::function<void()>& operation) {
        EXPECT_EQ(RaisedError(operation).number(), ErrorNumber(registry_error::kAccessDenied));
    };
    {
        // No rights to the folder: no write, also none creating a folder inside; reads work.
        WithoutWriteRights no_rights(machine_.parent_path());
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
    // A hive its owner made read-only is not replaced through a writable folder.
    std::filesystem::permissions(machine_, std::filesystem::perms(0444));
    expect_denied([&] {
        testing::AsOrdinaryUser as_user;
        registry_.RegWrite("HKLM\\A\\Start", 3, "REG_DWORD");
    });
    EXPECT_EQ(ReadBytes(machine_), before);
    // A hive that cannot be read is denied, not missing.
    std::filesystem::permissions(machine_, std::filesystem::perms::none);
    expect_denied([&] {
        testing::AsOrdinaryUser as_user;
        registry_.RegRead("HKLM\\A\\Start");
    });
}

TEST_F(HiveRegistryTest, BadTypesAndTextAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        std::string name;
        RegValue value;
        const char* type;
        std::uint32_t number;
    };
    for (const Case& c :
         std::vector<Case>{{"HKLM\\A\\v", 1, "REG_BINARY", 0x80070057},
                           {"HKLM\\A\\v", std::string("3"), "REG_DWORD", 0x80020005},
                           {"HKLM\\A\\v", std::string("\xC3"), "REG_SZ", 0x80070057},
                           {"HKLM\\A]\n[B\\v", 1, "REG_DWORD", 0x80070057},
                           {std::string("HKLM\\A\0B\\v", 10), 1, "REG_DWORD", 0x80070057}}) {
        EXPECT_EQ(RaisedError([&] { registry_.RegWrite(c.name, c.value, c.type); }).number(),
                  ErrorNumber(c.number))
            << c.name;
    }
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

}  // namespace
}  // namespace varnholt::platform
