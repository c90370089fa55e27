#include "policy/usb_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::MemoryRegistry;
using testing::RaisedError;
using Log = std::vector<std::string>;

class UsbPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SharedShell().SetFactory([hive = hive_] { return std::make_unique<MemoryRegistry>(hive); });
    }
    void Store(const char* name, const std::optional<RegValue>& value) {
        hive_->values.erase(name);
        if (value)
            hive_->values[name] = *value;
    }
    Log Writes() {
        Log log = std::exchange(hive_->log, {});
        std::erase_if(log, [](const std::string& entry) { return entry.starts_with("read"); });
        return log;
    }

    std::shared_ptr<testing::MemoryHive> hive_ = std::make_shared<testing::MemoryHive>();
};

// The window and the command that enforces the mode read it by the same rule.
TEST_F(UsbPolicyTest, ModeFollowsTheValuesAndTheSharedRuleAgrees) {
    struct Case {
        std::optional<std::string> start, write_protect;  // as stored; nullopt: missing
        UsbMode expected;
    };
    const std::nullopt_t missing = std::nullopt;
    for (const Case& c : {
             Case{missing, "0", UsbMode::kDisable},
             Case{"4", missing, UsbMode::kDisable},
             Case{"USB", "0", UsbMode::kDisable},
             Case{"3.0", "0", UsbMode::kDisable},
             Case{"99999999999", "0", UsbMode::kDisable},
             Case{"+-3", "0", UsbMode::kDisable},
             Case{"3", "1", UsbMode::kReadOnly},
             Case{"5", "-1", UsbMode::kReadWrite},
             Case{"-1", "1", UsbMode::kReadOnly},
             Case{"+2", "1", UsbMode::kReadOnly},
             Case{"0", "\t0 ", UsbMode::kReadWrite},
             Case{"3", "yes", UsbMode::kReadOnly},
             Case{"1", missing, UsbMode::kReadWrite},
         }) {
        SCOPED_TRACE(c.start.value_or("-") + " " + c.write_protect.value_or("-"));
        Store(policy_value::kUsbStorageStart, c.start);
        Store(policy_value::kWriteProtect, c.write_protect);
        EXPECT_EQ(GetUsbState(), c.expected);
        EXPECT_EQ(UsbModeOf({c.start, c.write_protect}), c.expected);
        EXPECT_EQ(Writes(), c.expected == UsbMode::kDisable ? Log{} : Log{"write Start=3"});
    }
    // A failed rewrite still reads the mode.
    hive_->refused = "Start";
    EXPECT_EQ(GetUsbState(), UsbMode::kReadWrite);
}

TEST_F(UsbPolicyTest, WritesAreNumbersInOrderAndAFailedOneStopsThem) {
    for (const auto& [mode, writes] : std::vector<std::pair<UsbMode, Log>>{
             {UsbMode::kReadWrite, {"write Start=3", "write WriteProtect=0"}},
             {UsbMode::kDisable, {"write Start=4", "write WriteProtect=1"}},
             {UsbMode::kReadOnly, {"write Start=3", "write WriteProtect=1"}}}) {
        ApplyUsbMode(mode);
        EXPECT_EQ(Writes(), writes);
    }
    SetRegistryLock(false);
    SetRegistryLock(true);
    EXPECT_EQ(Writes(), (Log{"write DisableRegistryTools=0", "write DisableRegistryTools=1"}));
    for (const auto& [name, type] : hive_->types)
        EXPECT_EQ(type, "REG_DWORD") << name;
    // A failed write reaches the caller; the later one is not made, the earlier not undone.
    for (const auto& [refused, writes] : std::vector<std::pair<std::string, Log>>{
             {"Start", {"write Start=4"}},
             {"WriteProtect", {"write Start=4", "write WriteProtect=1"}},
             {"DisableRegistryTools",
              {"write Start=4", "write WriteProtect=1", "write DisableRegistryTools=1"}}}) {
        hive_->refused = refused;
        EXPECT_EQ(RaisedError([] {
                      ApplyUsbMode(UsbMode::kDisable);
                      SetRegistryLock(true);
                  }).number(),
                  ErrorNumber(registry_error::kAccessDenied));
        EXPECT_EQ(Writes(), writes);
    }
}

TEST_F(UsbPolicyTest, RegistryLockIsAnyNonZeroNumber) {
    EXPECT_FALSE(GetRegistryLock());  // missing
    for (const auto& [stored, locked] : std::vector<std::pair<RegValue, bool>>{
             {-1, true}, {" 2", true}, {0, false}, {"locked", false}}) {
        Store(policy_value::kDisableRegistryTools, stored);
        EXPECT_EQ(GetRegistryLock(), locked) << RegValueText(stored);
    }
}

}  // namespace
}  // namespace varnholt
