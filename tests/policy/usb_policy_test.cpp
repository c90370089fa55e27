#include "policy/usb_policy.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using platform::HiveRegistry;
using testing::RaisedError;
using testing::ReadBytes;
using testing::WithoutWriteRights;
using testing::WriteHive;
using Log = std::vector<std::string>;

const std::string kStartKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor";
const std::string kPolicyKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies";

// Real hive files underneath. Each call is logged by its value's name ("read Start",
// "write Start=3 REG_DWORD"), and writes to one name can be made to fail.
class RecordingShell final : public RegistryShell {
  public:
    RecordingShell(std::unique_ptr<RegistryShell> inner, Log& log, std::string failing_write)
        : inner_(std::move(inner)), log_(log), failing_write_(std::move(failing_write)) {}

    RegValue RegRead(const std::string& name) override {
        log_.push_back("read " + ValueName(name));
        return inner_->RegRead(name);
    }
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        log_.push_back("write " + ValueName(name) + "=" +
                       std::to_string(std::get<std::int32_t>(value)) + " " + std::string(type));
        if (name == failing_write_)
            Raise(ErrorNumber(0x80070070), "WshShell.RegWrite", "disk full");
        inner_->RegWrite(name, value, type);
    }

  private:
    static std::string ValueName(const std::string& name) {
        return name.substr(name.rfind('\\') + 1);
    }

    std::unique_ptr<RegistryShell> inner_;
    Log& log_;
    std::string failing_write_;
};

class UsbPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override { UseShell(""); }
    void TearDown() override {
        SharedShell().SetFactory([]() -> std::unique_ptr<RegistryShell> {
            throw std::logic_error("no test may reach the machine's own registry");
        });
    }

    void UseShell(const std::string& failing_write) {
        SharedShell().SetFactory([this, failing_write] {
            return std::make_unique<RecordingShell>(std::make_unique<HiveRegistry>(machine_, user_),
                                                    log_, failing_write);
        });
    }

    // Start and WriteProtect as the file holds them; an empty text leaves the value out.
    void WriteMachineHive(const std::string& start, const std::string& write_protect) {
        WriteHive(machine_,
                  "[" + kStartKey + "]\n" + (start.empty() ? "" : "\"Start\"=" + start + "\n") +
                      "\n[" + kPolicyKey + "]\n" +
                      (write_protect.empty() ? "" : "\"WriteProtect\"=" + write_protect) + "\n");
    }

    RegValue Read(const char* name) { return HiveRegistry(machine_, user_).RegRead(name); }

    testing::TempDir folder_;
    std::filesystem::path machine_ = folder_.path() / "lib" / "machine.reg";
    std::filesystem::path user_ = folder_.path() / "config" / "user.reg";
    Log log_;
};

TEST_F(UsbPolicyTest, MissingStartOrStartFourOrNoNumberIsDisabledAndNothingElseIsTouched) {
    EXPECT_EQ(GetUsbState(), UsbMode::kDisable);
    EXPECT_FALSE(std::filesystem::exists(machine_));
    for (const std::string start :
         {"", "dword:00000004", "\"4\"", "\" 4\"", "\"USB\"", "\"\"", "\"3.0\"", "\"0x3\"",
          "\"99999999999\"", "hex(2):33,00,00,00"}) {
        SCOPED_TRACE(start);
        WriteMachineHive(start, "dword:00000000");
        const std::string before = ReadBytes(machine_);
        log_.clear();
        EXPECT_EQ(GetUsbState(), UsbMode::kDisable);
        EXPECT_EQ(log_, Log{"read Start"});
        EXPECT_EQ(ReadBytes(machine_), before);
    }
}

TEST_F(UsbPolicyTest, ModeFollowsWriteProtectAndStartIsRewrittenAsThree) {
    struct Case {
        const char* start;
        const char* write_protect;
        UsbMode expected;
    };
    for (const Case& c : {Case{"dword:00000003", "dword:00000001", UsbMode::kReadOnly},
                          Case{"dword:00000003", "dword:00000000", UsbMode::kReadWrite},
                          Case{"dword:00000003", "dword:00000002", UsbMode::kReadWrite},
                          Case{"dword:00000000", "dword:00000001", UsbMode::kReadOnly},
                          Case{"dword:00000005", "dword:ffffffff", UsbMode::kReadWrite},
                          Case{"dword:ffffffff", "dword:00000001", UsbMode::kReadOnly},
                          Case{"\"+2\"", "\"1\"", UsbMode::kReadOnly},
                          Case{"\"0\"", "\"\t0 \"", UsbMode::kReadWrite},
                          Case{"dword:00000003", "\"yes\"", UsbMode::kReadOnly},
                          Case{"dword:00000003", "\"\"", UsbMode::kReadOnly},
                          // No WriteProtect to read: writable, whatever Start held.
                          Case{"dword:00000001", "", UsbMode::kReadWrite},
                          Case{"\"1\"", "hex:01,00,00,00", UsbMode::kReadWrite}}) {
        SCOPED_TRACE(std::string(c.start) + " " + c.write_protect);
        WriteMachineHive(c.start, c.write_protect);
        log_.clear();
        EXPECT_EQ(GetUsbState(), c.expected);
        EXPECT_EQ(log_, (Log{"read Start", "write Start=3 REG_DWORD", "read WriteProtect"}));
        EXPECT_EQ(Read(policy_value::kUsbStorageStart), RegValue(3));
    }
}

TEST_F(UsbPolicyTest, FailedStartRewriteStillReadsTheModeAndChangesNothing) {
    WriteMachineHive("dword:00000000", "dword:00000001");
    const std::string before = ReadBytes(machine_);
    {
        WithoutWriteRights no_rights(machine_.parent_path());
        EXPECT_EQ(GetUsbState(), UsbMode::kReadOnly);
    }
    EXPECT_EQ(ReadBytes(machine_), before);
}

TEST_F(UsbPolicyTest, ApplyWritesTheModeTableStartFirstCreatingKeysAndFiles) {
    struct Case {
        UsbMode mode;
        int start;
        int write_protect;
    };
    for (const Case& c : {Case{UsbMode::kReadWrite, 3, 0}, Case{UsbMode::kDisable, 4, 1},
                          Case{UsbMode::kReadOnly, 3, 1}, Case{UsbMode::kReadOnly, 3, 1}}) {
        SCOPED_TRACE(c.start * 10 + c.write_protect);
        log_.clear();
        ApplyUsbMode(c.mode);
        EXPECT_EQ(log_,
                  (Log{"write Start=" + std::to_string(c.start) + " REG_DWORD",
                       "write WriteProtect=" + std::to_string(c.write_protect) + " REG_DWORD"}));
        EXPECT_EQ(Read(policy_value::kUsbStorageStart), RegValue(c.start));
        EXPECT_EQ(Read(policy_value::kWriteProtect), RegValue(c.write_protect));
        EXPECT_EQ(GetUsbState(), c.mode);
    }
}

TEST_F(UsbPolicyTest, WritesWithoutRightsReportAccessDeniedAndChangeNothing) {
    WriteMachineHive("dword:00000003", "dword:00000000");
    SetRegistryLock(true);
    std::filesystem::permissions(user_, std::filesystem::perms(0644));  // readable as another user
    struct Case {
        void (*write)();
        std::filesystem::path hive;
        const char* first_write;
    };
    for (const Case& c :
         {Case{[] { ApplyUsbMode(UsbMode::kDisable); }, machine_, "write Start=4 REG_DWORD"},
          Case{[] { SetRegistryLock(false); }, user_, "write DisableRegistryTools=0 REG_DWORD"}}) {
        const std::string before = ReadBytes(c.hive);
        log_.clear();
        const Error error = RaisedError([&] {
            WithoutWriteRights no_rights(c.hive.parent_path());
            c.write();
        });
        EXPECT_EQ(error.number(), ErrorNumber(registry_error::kAccessDenied));
        EXPECT_EQ(error.source(), "WshShell.RegWrite");
        EXPECT_EQ(log_, Log{c.first_write});  // no write after the failed one
        EXPECT_EQ(ReadBytes(c.hive), before);
    }
}

TEST_F(UsbPolicyTest, FailedWriteProtectWriteReachesTheCallerAfterStartChanged) {
    WriteMachineHive("dword:00000003", "dword:00000000");
    UseShell(policy_value::kWriteProtect);
    EXPECT_EQ(RaisedError([] { ApplyUsbMode(UsbMode::kDisable); }).number(),
              ErrorNumber(0x80070070));
    EXPECT_EQ(Read(policy_value::kUsbStorageStart), RegValue(4));
    EXPECT_EQ(Read(policy_value::kWriteProtect), RegValue(0));
}

TEST_F(UsbPolicyTest, RegistryLockIsAnyNonZeroNumber) {
    EXPECT_FALSE(GetRegistryLock());  // no hive at all
    SetRegistryLock(false);           // creates the value
    EXPECT_EQ(Read(policy_value::kDisableRegistryTools), RegValue(0));
    for (const auto& [stored, locked] :
         std::vector<std::pair<std::string, bool>>{{"dword:00000001", true},
                                                   {"dword:00000002", true},
                                                   {"dword:ffffffff", true},
                                                   {"\"1\"", true},
                                                   {"\" -3\"", true},
                                                   {"dword:00000000", false},
                                                   {"\"0\"", false},
                                                   {"\"locked\"", false},
                                                   {"\"1e3\"", false},
                                                   {"\"+-1\"", false},
                                                   {"\"\"", false},
                                                   {"hex:01", false}}) {
        SCOPED_TRACE(stored);
        WriteHive(user_,
                  "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\"
                  "System]\n\"DisableRegistryTools\"=" +
                      stored + "\n");
        EXPECT_EQ(GetRegistryLock(), locked);
    }
    log_.clear();
    SetRegistryLock(true);
    EXPECT_EQ(log_, Log{"write DisableRegistryTools=1 REG_DWORD"});
    EXPECT_EQ(Read(policy_value::kDisableRegistryTools), RegValue(1));
}

TEST_F(UsbPolicyTest, ShellThatCannotBeCreatedFailsThatUseAndTheNextUseRetries) {
    WriteMachineHive("dword:00000003", "dword:00000000");
    int attempts = 0;
    SharedShell().SetFactory([&]() -> std::unique_ptr<RegistryShell> {
        if (++attempts <= 2)
            Raise(ErrorNumber(0x80040154), "WScript.Shell", "Class not registered");
        return std::make_unique<HiveRegistry>(machine_, user_);
    });
    EXPECT_EQ(GetUsbState(), UsbMode::kDisable);  // the failure is absorbed like a failed read
    EXPECT_EQ(RaisedError([] { ApplyUsbMode(UsbMode::kReadOnly); }).number(),
              ErrorNumber(0x80040154));
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(GetUsbState(), UsbMode::kReadWrite);
    EXPECT_EQ(GetRegistryLock(), false);
    EXPECT_EQ(attempts, 3);  // created once, then kept
}

}  // namespace
}  // namespace varnholt
