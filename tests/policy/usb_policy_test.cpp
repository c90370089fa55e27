#include "policy/usb_policy.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "policy/registry_shell.h"
#include "runtime/error.h"
#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::MemoryHive;
using testing::MemoryRegistry;
using testing::RaisedError;
using Stored = std::optional<RegValue>;  // nullopt: the value is missing

constexpr std::uint32_t kDiskFull = 0x80070070;

// The registry in memory, with writes to one name refused.
class RefusingShell final : public RegistryShell {
  public:
    RefusingShell(std::shared_ptr<MemoryHive> hive, std::string refused)
        : inner_(std::move(hive)), refused_(std::move(refused)) {}
    RegValue RegRead(const std::string& name) override { return inner_.RegRead(name); }
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        if (name == refused_)
            Raise(ErrorNumber(kDiskFull), "WshShell.RegWrite", "disk full");
        inner_.RegWrite(name, value, type);
    }

  private:
    MemoryRegistry inner_;
    std::string refused_;
};

class UsbPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override { UseShell(""); }
    void TearDown() override {
        SharedShell().SetFactory([]() -> std::unique_ptr<RegistryShell> {
            throw std::logic_error("no test may reach the machine's own registry");
        });
    }
    void UseShell(const std::string& refused) {
        SharedShell().SetFactory(
            [this, refused] { return std::make_unique<RefusingShell>(hive_, refused); });
    }
    void Store(const char* name, const Stored& value) {
        if (value)
            hive_->values[name] = *value;
        else
            hive_->values.erase(name);
    }
    Stored Read(const char* name) {
        const auto found = hive_->values.find(name);
        return found == hive_->values.end() ? Stored() : Stored(found->second);
    }

    std::shared_ptr<MemoryHive> hive_ = std::make_shared<MemoryHive>();
};

TEST_F(UsbPolicyTest, ModeFollowsTheValuesAndTheSharedRuleAgrees) {
    struct Case {
        Stored start;
        Stored write_protect;
        UsbMode expected;
    };
    const Stored missing;
    for (const Case& c : {
             // Start missing, 4 or not a number: disabled, and nothing else is touched.
             Case{missing, RegValue(0), UsbMode::kDisable},
             Case{RegValue(4), RegValue(0), UsbMode::kDisable},
             Case{RegValue("4"), missing, UsbMode::kDisable},
             Case{RegValue("USB"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("3.0"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("0x3"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("99999999999"), RegValue(0), UsbMode::kDisable},
             Case{RegValue("+-3"), RegValue(0), UsbMode::kDisable},
             // Otherwise WriteProtect 1 or not a number is read-only; anything else writable.
             Case{RegValue(3), RegValue(1), UsbMode::kReadOnly},
             Case{RegValue(3), RegValue(0), UsbMode::kReadWrite},
             Case{RegValue(3), RegValue(2), UsbMode::kReadWrite},
             Case{RegValue(5), RegValue(-1), UsbMode::kReadWrite},
             Case{RegValue(-1), RegValue(1), UsbMode::kReadOnly},
             Case{RegValue("+2"), RegValue("1"), UsbMode::kReadOnly},
             Case{RegValue("0"), RegValue("\t0 "), UsbMode::kReadWrite},
             Case{RegValue(3), RegValue("yes"), UsbMode::kReadOnly},
             Case{RegValue(1), missing, UsbMode::kReadWrite},  // whatever Start held
         }) {
        const UsbPolicyTexts texts{
            c.start ? std::optional(RegValueText(*c.start)) : std::nullopt,
            c.write_protect ? std::optional(RegValueText(*c.write_protect)) : std::nullopt};
        SCOPED_TRACE(texts.start.value_or("(missing)") + " " +
                     texts.write_protect.value_or("(missing)"));
        Store(policy_value::kUsbStorageStart, c.start);
        Store(policy_value::kWriteProtect, c.write_protect);
        hive_->types.clear();
        EXPECT_EQ(GetUsbState(), c.expected);
        EXPECT_EQ(UsbModeOf(texts), c.expected);
        // Unless disabled, Start is written again as 3, a DWORD; disabled, nothing is written.
        EXPECT_EQ(Read(policy_value::kUsbStorageStart),
                  c.expected == UsbMode::kDisable ? c.start : Stored(3));
        EXPECT_EQ(hive_->types.size(), c.expected == UsbMode::kDisable ? 0u : 1u);
    }
}

TEST_F(UsbPolicyTest, FailedStartRewriteStillReadsTheMode) {
    Store(policy_value::kUsbStorageStart, RegValue(0));
    Store(policy_value::kWriteProtect, RegValue(1));
    UseShell(policy_value::kUsbStorageStart);
    EXPECT_EQ(GetUsbState(), UsbMode::kReadOnly);
    EXPECT_EQ(Read(policy_value::kUsbStorageStart), Stored(0));
}

TEST_F(UsbPolicyTest, ApplyWritesTheModeTableStartFirst) {
    struct Case {
        UsbMode mode;
        int start;
        int write_protect;
    };
    for (const Case& c : {Case{UsbMode::kReadWrite, 3, 0}, Case{UsbMode::kDisable, 4, 1},
                          Case{UsbMode::kReadOnly, 3, 1}, Case{UsbMode::kReadOnly, 3, 1}}) {
        SCOPED_TRACE(UsbModeName(c.mode));
        ApplyUsbMode(c.mode);
        EXPECT_EQ(hive_->types[policy_value::kUsbStorageStart], "REG_DWORD");
        EXPECT_EQ(hive_->types[policy_value::kWriteProtect], "REG_DWORD");
        EXPECT_EQ(Read(policy_value::kUsbStorageStart), Stored(c.start));
        EXPECT_EQ(Read(policy_value::kWriteProtect), Stored(c.write_protect));
        EXPECT_EQ(GetUsbState(), c.mode);
    }
}

TEST_F(UsbPolicyTest, FailedWriteReachesTheCallerAndLaterWritesAreNotMade) {
    Store(policy_value::kUsbStorageStart, RegValue(3));
    Store(policy_value::kWriteProtect, RegValue(0));
    UseShell(policy_value::kUsbStorageStart);
    EXPECT_EQ(RaisedError([] { ApplyUsbMode(UsbMode::kDisable); }).number(),
              ErrorNumber(kDiskFull));
    EXPECT_EQ(Read(policy_value::kWriteProtect), Stored(0));  // not written after the failure

    UseShell(policy_value::kWriteProtect);
    EXPECT_EQ(RaisedError([] { ApplyUsbMode(UsbMode::kDisable); }).number(),
              ErrorNumber(kDiskFull));
    EXPECT_EQ(Read(policy_value::kUsbStorageStart), Stored(4));  // not restored
    EXPECT_EQ(Read(policy_value::kWriteProtect), Stored(0));

    UseShell(policy_value::kDisableRegistryTools);
    EXPECT_EQ(RaisedError([] { SetRegistryLock(true); }).number(), ErrorNumber(kDiskFull));
}

TEST_F(UsbPolicyTest, RegistryLockIsAnyNonZeroNumber) {
    EXPECT_FALSE(GetRegistryLock());  // missing
    for (const auto& [stored, locked] : std::vector<std::pair<RegValue, bool>>{{1, true},
                                                                               {2, true},
                                                                               {-1, true},
                                                                               {"1", true},
                                                                               {" -3", true},
                                                                               {0, false},
                                                                               {"0", false},
                                                                               {"locked", false},
                                                                               {"1e3", false},
                                                                               {"+-1", false},
                                                                               {"", false}}) {
        SCOPED_TRACE(RegValueText(stored));
        Store(policy_value::kDisableRegistryTools, stored);
        EXPECT_EQ(GetRegistryLock(), locked);
    }
    for (const bool locked : {false, true}) {
        SetRegistryLock(locked);
        EXPECT_EQ(Read(policy_value::kDisableRegistryTools), Stored(int{locked}));
        EXPECT_EQ(hive_->types[policy_value::kDisableRegistryTools], "REG_DWORD");
    }
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
