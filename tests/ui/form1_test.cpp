#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "program_fixture.h"
#include "ui/form1.h"

namespace varnholt::ui::testing {
namespace {

using Log = std::vector<std::string>;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct LoadCase {
    const char* name;
    std::optional<RegValue> start;
    std::optional<RegValue> write_protect;
    Log writes_and_reads;  // the load's calls on the shell, in order
    const char* option;    // selected when the window shows
    const char* picture;
    std::int32_t start_after;
    std::int32_t write_protect_after;
};

void PrintTo(const LoadCase& load_case, std::ostream* out) { *out << load_case.name; }

class Form1LoadTest : public ProgramTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Form1LoadTest, PresentsTheStoredModeAndAppliesItOnceMore) {
    const LoadCase& c = GetParam();
    if (c.start) {
        Seed(kStart, *c.start);
    }
    if (c.write_protect) {
        Seed(kWriteProtect, *c.write_protect);
    }
    StartAndLogIn();

    EXPECT_EQ(policy_log, c.writes_and_reads);
    Window& form1 = Loaded(WindowId::kForm1);
    ASSERT_TRUE(toolkit.Visible(form1));
    const std::vector<std::string>& shown = toolkit.shown_states.back();
    for (const char* option : {"Optiond", "Optionr", "Optionrw"}) {
        EXPECT_TRUE(
            Contains(shown, option + std::string(option == std::string(c.option) ? "=1" : "=0")))
            << option;
    }
    EXPECT_TRUE(Contains(shown, std::string("Image1=") + c.picture));
    EXPECT_TRUE(Contains(shown, "Check1=0"));
    EXPECT_EQ(Stored(kStart), RegValue(c.start_after));
    EXPECT_EQ(Stored(kWriteProtect), RegValue(c.write_protect_after));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Form1LoadTest,
    ::testing::Values(LoadCase{"NoStartValue",
                               std::nullopt,
                               std::nullopt,
                               {"read Start", "write Start=4", "write WriteProtect=1",
                                "read DisableRegistryTools"},
                               "Optiond",
                               "DISABLE",
                               4,
                               1},
                      LoadCase{"Disabled",
                               4,
                               0,
                               {"read Start", "write Start=4", "write WriteProtect=1",
                                "read DisableRegistryTools"},
                               "Optiond",
                               "DISABLE",
                               4,
                               1},
                      LoadCase{"StartInLetters",
                               "abc",
                               0,
                               {"read Start", "write Start=4", "write WriteProtect=1",
                                "read DisableRegistryTools"},
                               "Optiond",
                               "DISABLE",
                               4,
                               1},
                      LoadCase{"ReadOnly",
                               3,
                               1,
                               {"read Start", "write Start=3", "read WriteProtect", "write Start=3",
                                "write WriteProtect=1", "read DisableRegistryTools"},
                               "Optionr",
                               "READONLY",
                               3,
                               1},
                      LoadCase{"ReadWrite",
                               3,
                               0,
                               {"read Start", "write Start=3", "read WriteProtect", "write Start=3",
                                "write WriteProtect=0", "read DisableRegistryTools"},
                               "Optionrw",
                               "RW",
                               3,
                               0},
                      LoadCase{"WriteProtectTwo",
                               0,
                               2,
                               {"read Start", "write Start=3", "read WriteProtect", "write Start=3",
                                "write WriteProtect=0", "read DisableRegistryTools"},
                               "Optionrw",
                               "RW",
                               3,
                               0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct LockCase {
    const char* name;
    std::optional<RegValue> stored;
    int check_box;
};

void PrintTo(const LockCase& lock_case, std::ostream* out) { *out << lock_case.name; }

class Form1LockTest : public ProgramTest, public ::testing::WithParamInterface<LockCase> {};

// A set lock is written back once as the DWORD 1; a clear one is left exactly as it was.
TEST_P(Form1LockTest, ChecksTheBoxOnlyForASetLockAndRewritesOnlyThat) {
    const LockCase& c = GetParam();
    Seed(kStart, 3);
    Seed(kWriteProtect, 0);
    if (c.stored) {
        Seed(kRegistryLock, *c.stored);
    }
    StartAndLogIn();

    EXPECT_TRUE(Contains(toolkit.shown_states.back(), "Check1=" + std::to_string(c.check_box)));
    const auto lock_writes = std::count_if(policy_log.begin(), policy_log.end(), [](auto& line) {
        return line.starts_with("write DisableRegistryTools");
    });
    EXPECT_EQ(lock_writes, c.check_box);
    EXPECT_EQ(policy_log.back(),
              c.check_box == 1 ? "write DisableRegistryTools=1" : "read DisableRegistryTools");
    EXPECT_EQ(Stored(kRegistryLock), c.check_box == 1 ? std::optional<RegValue>(1) : c.stored);
}

INSTANTIATE_TEST_SUITE_P(Locks, Form1LockTest,
                         ::testing::Values(LockCase{"Missing", std::nullopt, 0},
                                           LockCase{"Zero", 0, 0}, LockCase{"Letters", "yes", 0},
                                           LockCase{"Two", 2, 1}, LockCase{"OneAsText", "1", 1}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

class Form1Test : public ProgramTest {
  protected:
    void SetUp() override {
        Seed(kStart, 3);
        Seed(kWriteProtect, 0);
        StartAndLogIn();
        policy_log.clear();
        toolkit.log.clear();
    }
    Window& form1() { return Loaded(WindowId::kForm1); }
};

TEST_F(Form1Test, EachOptionClickAppliesItsModeAndThenShowsItsPicture) {
    ASSERT_TRUE(toolkit.Click(form1(), "Optionr"));
    ASSERT_TRUE(toolkit.Click(form1(), "Optiond"));
    EXPECT_EQ(policy_log, (Log{"write Start=3", "write WriteProtect=1", "write Start=4",
                               "write WriteProtect=1"}));
    EXPECT_EQ(toolkit.log, (Log{"Form1.Optionrw=0", "Form1.Optionr=1", "Form1.Image1=READONLY",
                                "Form1.Optionr=0", "Form1.Optiond=1", "Form1.Image1=DISABLE"}));
    EXPECT_EQ(Stored(kStart), RegValue(4));
}

// The selected option's handler does not run again: nothing to apply that is not applied.
TEST_F(Form1Test, ClickingTheSelectedOptionWritesNothing) {
    ASSERT_TRUE(toolkit.Click(form1(), "Optionrw"));
    EXPECT_TRUE(policy_log.empty());
    EXPECT_TRUE(toolkit.log.empty());
}

TEST_F(Form1Test, TheCheckBoxSetsTheLockThenClearsIt) {
    ASSERT_TRUE(toolkit.Click(form1(), "Check1"));
    EXPECT_EQ(Stored(kRegistryLock), RegValue(1));
    ASSERT_TRUE(toolkit.Click(form1(), "Check1"));
    EXPECT_EQ(policy_log, (Log{"write DisableRegistryTools=1", "write DisableRegistryTools=0"}));
    EXPECT_EQ(Stored(kRegistryLock), RegValue(0));
}

TEST_F(Form1Test, AFailedWriteEndsTheProgramAndLeavesThePicture) {
    refused_value = "WriteProtect";
    EXPECT_THROW(toolkit.Click(form1(), "Optiond"), ProcessEnded);
    EXPECT_EQ(exit_status, 1);
    ASSERT_EQ(toolkit.error_reports.size(), 1u);
    EXPECT_NE(toolkit.error_reports[0].find("-2147024891"), std::string::npos);
    EXPECT_EQ(State(form1(), "Image1"), "Image1=RW");
    EXPECT_EQ(Stored(kStart), RegValue(4));  // the first write stands, as the registry took it
    EXPECT_EQ(Stored(kWriteProtect), RegValue(0));
}

class Form1FailedLoadTest : public ProgramTest {};

TEST_F(Form1FailedLoadTest, AFailedModeWriteEndsTheProgramBeforeTheWindowShows) {
    Seed(kStart, 3);
    Seed(kWriteProtect, 1);
    refused_value = "WriteProtect";
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(StartAndLogIn(), ProcessEnded);
    const std::string standard_error = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(exit_status, 1);
    ASSERT_EQ(toolkit.error_reports.size(), 1u);
    EXPECT_EQ(toolkit.error_reports[0],
              "Run-time error '-2147024891 (0x80070005)':\n\nAccess is denied.");
    EXPECT_EQ(standard_error, toolkit.error_reports[0] + "\n");
    EXPECT_FALSE(Contains(toolkit.log, "show Form1"));
}

// Ignoring it would show the lock as set while the registry says otherwise.
TEST_F(Form1FailedLoadTest, AFailedLockRewriteEndsTheProgramToo) {
    Seed(kStart, 3);
    Seed(kWriteProtect, 0);
    Seed(kRegistryLock, 2);
    refused_value = "DisableRegistryTools";
    EXPECT_THROW(StartAndLogIn(), ProcessEnded);
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(toolkit.error_reports.size(), 1u);
    EXPECT_FALSE(Contains(toolkit.log, "show Form1"));
    EXPECT_EQ(Stored(kRegistryLock), RegValue(2));
}

}  // namespace
}  // namespace varnholt::ui::testing
