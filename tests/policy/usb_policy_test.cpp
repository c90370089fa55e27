#include "policy/usb_policy.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::MemoryHive;
using testing::MemoryRegistry;
using testing::RaisedError;
using Stored = std::optional<RegValue>;  // nullopt: the value is missing
using Log = std::vector<std::string>;

class UsbPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SharedShell().SetFactory([hive = hive_] { return std::make_unique<MemoryRegistry>(hive); });
    }
    void Store(const char* name, const Stored& value) {
        if (value)
            hive_->values[name] = *value;
        else
            hive_->values.erase(name);
    }
    Log Writes() {
        Log writes;
        for (const std::string& entry : hive_->log)
            if (entry.starts_with("write "))
                writes.push_back(entry.substr(6));
        hive_->log.clear();
        return writes;
    }

    std::shared_ptr<MemoryHive> hive_ = std::make_shared<MemoryHive>();
};

// The window and the command that enforces the mode read it by the same rule.
TEST_F(UsbPolicyTest, ModeFollowsTheValuesAndTheSharedRuleAgrees) {
    struct Case {
        Stored start, write_protect;
        UsbMode expected;
    };
    const Stored missing;
    for (const Case& c : {
             Case{missing, RegValue(0), UsbMode::kDisable},
             Case{RegValue(4), RegValue(0), UsbMode::kDisable},
             Case{RegValue("4"), missing, UsbMode::kDisable},
             Case{RegValue("USB"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("3.0"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("0x3"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("99999999999"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("+-3"), RegValue(0), UsbMode::kDisable},
             Case{RegValue(3), RegValue(1), UsbMode::kReadOnly},
             Case{RegValue(3), RegValue(2), UsbMode::kReadWrite},
             Case{RegValue(5), RegValue(-1), UsbMode::kReadWrite},
             Case{RegValue(-1), RegValue(1), UsbMode::kReadOnly},
             Case{RegValue("+2"), RegValue("1"), UsbMode::kReadOnly},
             Case{RegValue("0"), RegValue("\t0 "), UsbMode::kReadWrite},
             Case{RegValue(3), RegValue("yes"), UsbMode::kReadOnly},
             Case{RegValue(1), missing, UsbMode::kReadWrite},
         }) {
        const UsbPolicyTexts texts{
            c.start ? std::optional(RegValueText(*c.start)) : std::nullopt,
            c.write_protect ? std::optional(RegValueText(*c.write_protect)) : std::nullopt};
        SCOPED_TRACE(texts.start.value_or("-") + " " + texts.write_protect.value_or("-"));
        Store(policy_value::kUsbStorageStart, c.start);
        Store(policy_value::kWriteProtect, c.write_protect);
        hive_->log.clear();
        EXPECT_EQ(GetUsbState(), c.expected);
        EXPECT_EQ(UsbModeOf(texts), c.expected);
        // Unless disabled, Start is written again as 3; disabled, nothing is written.
        EXPECT_EQ(Writes(), c.expected == UsbMode::kDisable ? Log{} : Log{"Start=3"});
    }
    // A failed rewrite still reads the mode.
    hive_->refused = "Start";
    Store(policy_value::kUsbStorageStart, RegValue(0));
    Store(policy_value::kWriteProtect, RegValue(1));
    EXPECT_EQ(GetUsbState(), UsbMode::kReadOnly);
}

TEST_F(UsbPolicyTest, ApplyWritesStartThenProtectionAsNumbers) {
    for (const auto& [mode, writes] : std::vector<std::pair<UsbMode, Log>>{
             {UsbMode::kReadWrite, {"Start=3", "WriteProtect=0"}},
             {UsbMode::kDisable, {"Start=4", "WriteProtect=1"}},
             {UsbMode::kReadOnly, {"Start=3", "WriteProtect=1"}}}) {
        ApplyUsbMode(mode);
        EXPECT_EQ(Writes(), writes);
    }
    for (const auto& [name, type] : hive_->types)
        EXPECT_EQ(type, "REG_DWORD") << name;
    // A failed write reaches the caller; the later one is not made, the earlier not undone.
    for (const auto& [refused, writes] : std::vector<std::pair<std::string, Log>>{
             {"Start", {"Start=4"}}, {"WriteProtect", {"Start=4", "WriteProtect=1"}}}) {
        hive_->refused = refused;
        hive_->log.clear();
        EXPECT_EQ(RaisedError([] { ApplyUsbMode(UsbMode::kDisable); }).number(),
                  ErrorNumber(registry_error::kAccessDenied));
        EXPECT_EQ(Writes(), writes);
    }
}

TEST_F(UsbPolicyTest, RegistryLockIsAnyNonZeroNumber) {
    EXPECT_FALSE(GetRegistryLock());  // missing
    for (const auto& [values, locked] :
         {std::pair{std::vector<RegValue>{1, 2, -1, "1", " -3"}, true},
          std::pair{std::vector<RegValue>{0, "0", "locked", "1e3", "+-1", ""}, false}}) {
        for (const RegValue& stored : values) {
            SCOPED_TRACE(RegValueText(stored));
            Store(policy_value::kDisableRegistryTools, stored);
            EXPECT_EQ(GetRegistryLock(), locked);
        }
    }
    hive_->log.clear();
    SetRegistryLock(false);
    SetRegistryLock(true);
    EXPECT_EQ(Writes(), (Log{"DisableRegistryTools=0", "DisableRegistryTools=1"}));
    EXPECT_EQ(hive_->types[policy_value::kDisableRegistryTools], "REG_DWORD");
    hive_->refused = "DisableRegistryTools";
    EXPECT_EQ(RaisedError([] { SetRegistryLock(true); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
}

// A shell that cannot be created fails that one use; the next use tries again, once.
TEST_F(UsbPolicyTest, ShellCreationIsRetriedUntilItSucceedsThenKept) {
    Store(policy_value::kUsbStorageStart, RegValue(3));
    int attempts = 0;
    SharedShell().SetFactory([&]() -> std::unique_ptr<RegistryShell> {
        if (++attempts == 1)
            Raise(ErrorNumber(0x80040154), "WScript.Shell", "Class not registered");
        return std::make_unique<MemoryRegistry>(hive_);
    });
    EXPECT_EQ(GetUsbState(), UsbMode::kDisable);  // absorbed like a failed read
    EXPECT_EQ(GetUsbState(), UsbMode::kReadWrite);
    ApplyUsbMode(UsbMode::kReadOnly);
    EXPECT_EQ(attempts, 2);
}

}  // namespace
}  // namespace varnholt
