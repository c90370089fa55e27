// The hive store: the file format parsed and written, then the files on disk and their writers.
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
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/reg_file.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt::platform {
namespace {

using testing::RaisedError;
using testing::ReadBytes;

const std::string kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt";
const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";  // as a person writes it

// Blanks after the header, comments, loose spacing, hex types, a list, deletions, a split key.
const std::string kRichHive = ReadBytes(VARNHOLT_FUZZ_CORPUS "/rich.reg");

TEST(RegFileTest, ReadsEveryValueTypeAndWritesTheFileBackUnchanged) {
    const RegFile file = RegFile::Parse(kRichHive);
    EXPECT_EQ(file.Serialize(), kRichHive);
    for (const auto& [key, name, value] :
         std::vector<std::tuple<std::string, const char*, std::optional<HiveValue>>>{
             {kKey, "", HiveValue::String("default \"quoted\" C:\\path")},
             {kKey, "Binary", HiveValue::Hex(3, {0, 1, 2, 3, 4, 5})},
             {kKey, "Gone", std::nullopt},
             {kKey + "\\Old", "Left", std::nullopt},
             {kKey + "\\Older", "Kept", HiveValue::Dword(2)},
             {"hkey_local_machine\\Software\\\\Varnholt\\", "later",
              HiveValue::String("second block")}}) {
        EXPECT_EQ(file.Find(key, name), value) << key << " " << name;
    }
    EXPECT_EQ(file.Find(kKey, "Number")->AsDword(), 0x105u);
    EXPECT_EQ(file.Find(kKey, "Text")->AsString(), "AB");
    EXPECT_EQ(
        RegFile::Parse(ReadBytes(VARNHOLT_FUZZ_CORPUS "/regedit4.reg"))
            .Find("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"),
        HiveValue::Dword(3));

    // Wherever a name falls against the words and pieces the bytes are scanned in: escapes, a
    // character of two units, a continued list, a key loosely written, each piece size
    // splitting units and pairs.
    const std::string key = "HKEY_LOCAL_MACHINE\\K", name = "a\"\xF0\x90\x80\x80\\";
    for (std::size_t pad = 0; pad < 9; ++pad) {
        const std::u16string blanks(pad, u' ');
        const std::u16string text = u"\uFEFFWindows Registry Editor Version 5.00\r\n" + blanks +
                                    u"[hkey_local_machine\\\\K\\]\r\n" + blanks +
                                    u"\"a\\\"\U00010000\\\\\"=hex:01,\\\r\n" + blanks +
                                    u"  02\r\n" + blanks + u"\"\u00e9\"=dword:5\r\n";
        const std::string bytes(reinterpret_cast<const char*>(text.data()), 2 * text.size());
        for (const std::size_t piece : {1, 3, 4096}) {
            SCOPED_TRACE(std::to_string(pad) + " blanks, pieces of " + std::to_string(piece));
            std::size_t at = 0;
            const auto next_piece = [&] {
                const std::string_view next = std::string_view(bytes).substr(at, piece);
                at += next.size();
                return next;
            };
            EXPECT_EQ(RegFile::FindIn(next_piece, {key, name}), HiveValue::Hex(3, {1, 2}));
            at = 0;
            RegFile read = RegFile::Read(
                next_piece, 0,
                piece == 3 ? std::optional(RegFile::ValueName{key, name}) : std::nullopt);
            EXPECT_EQ(read.Serialize(), bytes);
            EXPECT_EQ(read.Find(key, name), HiveValue::Hex(3, {1, 2}));
            EXPECT_EQ(read.Find(key, "\xC3\xA9"), HiveValue::Dword(5));
            read.Set(key, name, HiveValue::Dword(7));  // what the read found is now out of date
            EXPECT_EQ(read.Find(key, name), HiveValue::Dword(7));
        }
    }
    // The old header's files are 8-bit text, kept byte for byte.
    const std::string old =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"Caf\xE9\"=\"na\xEFve\"\r\n";
    RegFile eight_bit = RegFile::Parse(old);
    EXPECT_EQ(eight_bit.Find(key, "caf\xE9"), HiveValue::String("na\xEFve"));
    eight_bit.Set(key, "n", HiveValue::Dword(1));
    EXPECT_EQ(eight_bit.Serialize(), old + "\"n\"=dword:00000001\r\n");
}

TEST(RegFileTest, ChangingOneValueRewritesOnlyItsOwnLines) {
    const std::string added_key = "block\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\";
    for (const auto& [key, name, value, from, to] :
         std::vector<std::tuple<std::string, const char*, HiveValue, std::string, std::string>>{
             // In place, keeping the name as first written, or over the lines of a list.
             {kKey, "COUNT", HiveValue::Dword(0xfffffffe), "\"Count\"=dword:0000002a",
              "\"Count\"=dword:fffffffe"},
             {kKey, "Binary", HiveValue::Dword(9), "hex:00,01,02,\\\r\n  03,04,\\\r\n  05",
              "dword:00000009"},
             // A deleted value comes back after its key's last; a new key spelled as its parent.
             {kKey, "Gone", HiveValue::String("back"), "\"Later\"=\"second block\"\r\n",
              "\"Later\"=\"second block\"\r\n\"Gone\"=\"back\"\r\n"},
             {"HKEY_LOCAL_MACHINE\\SOFTWARE\\VARNHOLT\\new", "v", HiveValue::Hex(0xb, {1, 2}),
              "block\"\r\n", added_key + "new]\r\n\"v\"=hex(b):01,02\r\n"}}) {
        RegFile file = RegFile::Parse(kRichHive);
        file.Set(key, name, value);
        std::string expected = kRichHive;
        expected.replace(expected.rfind(from), from.size(), to);
        EXPECT_EQ(file.Serialize(), expected) << name;
        EXPECT_EQ(RegFile::Parse(expected).Find(key, name), value);
    }
}

TEST(RegFileTest, NewFilesAreUtf16WithByteOrderMarkAndCrLf) {
    RegFile file = RegFile::New();
    file.Set(kKey, "Start", HiveValue::Dword(4));
    // U+10000 is the first character of two units.
    file.Set(kKey, "na\"me\\", HiveValue::String("x \xF0\x90\x80\x80\xEF\xBF\xBF \"\\\r\n"));
    const std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt]\r\n\"Start\"=dword:00000004\r\n"
        u"\"na\\\"me\\\\\"=\"x \U00010000\uFFFF \\\"\\\\\\r\\n\"\r\n";
    EXPECT_EQ(file.Serialize(),
              std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size()));
}

TEST(RegFileTest, DamagedFilesAreRefusedNamingTheLine) {
    const std::string key = kHeader + "[HKEY_CURRENT_USER\\S]\n";
    const std::u16string utf16 = u"\uFEFFWindows Registry Editor Version 5.00\r\n";  // and half
    std::vector<std::pair<std::string, std::size_t>> cases{
        {"[HKEY_CURRENT_USER\\S]\n\"a\"=dword:1\n", 1},
        {kHeader + "\"a\"=dword:00000001\n", 3},
        {kHeader + "[HKEY_CURRENT_USER\\S\n", 3},
        {key + "\"a\"=hex:00,\\\n 01,\\\n zz\n", 6},
        // A value added after a list left continued would be read as more of the list.
        {key + "\"a\"=hex:01,\\\n02,\\\n\n; the end\n", 5},
        // Found before the damage: the rest is still read.
        {key + "\"a\"=dword:1\n\"b\"=zz\n", 5},
        {std::string(reinterpret_cast<const char*>(utf16.data()), 2 * utf16.size()) + "\n", 2}};
    for (const char* value :
         {"\"a\"=dword:000000001", "\"a\"=dword:", "\"a\"=\"open", "\"a=\"x\"", "\"a\" \"x\"",
          "\"a\"=\"x\" y", "\"a\"=qword:1", "\"a\"=hex(xy):00", "\"a\"=hex:0g", "\"a\"=hex:001",
          "\"a\"=hex:00 01", "\"a\"=hex:00,\\ 01", "Start=dword:00000001", "\"a\"=hex:01,02,\\"})
        cases.emplace_back(key + value, 4);
    for (const auto& [text, line] : cases) {
        for (const bool finding : {false, true}) {
            try {
                // Found in pieces of a byte, each dropped once read, or whole.
                std::size_t at = 0;
                const auto next_byte = [&] { return std::string_view(text).substr(at++, 1); };
                if (finding)
                    RegFile::FindIn(next_byte, {"HKEY_CURRENT_USER\\S", "a"});
                else
                    RegFile::Parse(text);
                ADD_FAILURE() << text << ": parsed";
            } catch (const RegFileError& error) {
                EXPECT_EQ(error.line(), line) << text << ": " << error.what();
            }
        }
    }
    // Bytes that are no hive are refused at their first line, before the rest is read.
    int pieces = 0;
    try {
        RegFile::Read([&] { return ++pieces > 1000 ? "" : std::string_view("MZ\x90\0 exe\n", 9); });
        ADD_FAILURE() << "read";
    } catch (const RegFileError& error) {
        EXPECT_EQ(error.line(), 1u);
    }
    EXPECT_EQ(pieces, 1);
}

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
    testing::WriteBytes(user_, kHeader + "[HKEY_CURRENT_USER\\X]\n\"Path\"=hex(2):41,00,00,00\n");
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
    const std::string damaged = kHeader + "[A]\n\"B\"=dword:zz\n";
    for (const auto& [make, number] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"printf '" + damaged + "' >", 0x800703F1},
             {"mkdir", 0x80004005},
             {"ln -s ../missing.reg", 0x80004005},  // were it followed, it would read as missing
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

    // A lock others could open (as earlier versions made them), held by one of them: taken
    // before it is replaced, so the write waits instead of both holding the hive; the new lock
    // is the hive owner's, whoever wrote, so that the owner can still write.
    for (const bool theirs : {false, true}) {
        if (theirs && ::geteuid() != 0)
            continue;
        ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
        ASSERT_EQ(::chown(machine_.c_str(), theirs ? 65534 : ::geteuid(), 0), 0);
        const int other = ::open(lock.c_str(), O_RDONLY);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        EXPECT_EQ(WriteError().number(), ErrorNumber(0x800705B4));
        ::close(other);
        registry_.RegWrite("HKLM\\A\\Start", 4, "REG_DWORD");
        struct stat replaced {};
        ::stat(lock.c_str(), &replaced);
        EXPECT_EQ(replaced.st_mode & 07777, 0600u);
        EXPECT_EQ(replaced.st_uid, theirs ? 65534u : ::geteuid());
    }

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
    testing::WriteBytes(machine_, kHeader);
    std::filesystem::permissions(machine_.parent_path(), std::filesystem::perms::all);
    std::filesystem::permissions(machine_, std::filesystem::perms(0444));
    testing::AsOrdinaryUser ordinary;
    EXPECT_EQ(WriteError().description(), "Invalid root in registry key \"HKLM\\A\\Start\".");
    EXPECT_EQ(ReadBytes(machine_), kHeader);
}

// One writer killed at random instants, another beside it: the hive is old or new, never lost.
TEST_F(HiveRegistryTest, WritersKilledOrRacingLeaveTheOldHiveOrTheNewAndLoseNothing) {
    testing::WriteBytes(machine_,
                        kHeader + "[HKEY_LOCAL_MACHINE\\Other]\n\"Kept\"=dword:00000001\n\n");
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
