// The main window over hive files: what its load reads, writes and shows, and what each click
// writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace varnholt::ui::testing {
namespace {

using Log = std::vector<std::string>;

std::string Joined(const Log& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

// The option selected, the picture and the check box in the states a view showed first, as
// "Optionr READONLY 1".
std::string ShownMode(const Log& states) {
    std::string selected;
    std::string picture;
    std::string check;
    for (const std::string& state : states) {
        if (state.starts_with("Option") && state.ends_with("=1")) {
            selected += state.substr(0, state.size() - 2);
        } else if (state.starts_with("Image1=")) {
            picture = state.substr(7);
        } else if (state.starts_with("Check1=")) {
            check = state.substr(7);
        }
    }
    return selected + " " + picture + " " + check;
}

struct LoadCase {
    const char* name;
    std::int32_t start;
    std::int32_t write_protect;
    std::optional<RegValue> lock;
    const char* calls;  // the load's calls on the registry, in order
    const char* shown;
};

void PrintTo(const LoadCase& load_case, std::ostream* out) {
    *out << load_case.name;
}

class Form1LoadTest : public ProgramTest, public ::testing::WithParamInterface<LoadCase> {};

// The mode read is applied once more and shown, and only a set lock is written again (as 1);
// all before the window shows.
TEST_P(Form1LoadTest, AppliesTheModeReadAgainAndShowsItWithTheLock) {
    const LoadCase& c = GetParam();
    Seed(kUsbStorageStart, c.start);
    Seed(kWriteProtect, c.write_protect);
    if (c.lock) {
        Seed(kDisableRegistryTools, *c.lock);
    }
    StartAndLogIn();
    EXPECT_EQ(Joined(policy_log), c.calls);
    EXPECT_EQ(ShownMode(toolkit.shown_states.back()), c.shown);
}

constexpr const char* kReadWriteLoad =
    "read Start; write Start=3; read WriteProtect; write Start=3; write WriteProtect=0; "
    "read DisableRegistryTools";

INSTANTIATE_TEST_SUITE_P(
    ModesAndLocks, Form1LoadTest,
    ::testing::Values(
        LoadCase{"DisabledNoLock", 4, 0, std::nullopt,
                 "read Start; write Start=4; write WriteProtect=1; read DisableRegistryTools",
                 "Optiond DISABLE 0"},
        LoadCase{"ReadOnlyLockTwo", 3, 1, 2,
                 "read Start; write Start=3; read WriteProtect; write Start=3; "
                 "write WriteProtect=1; read DisableRegistryTools; write DisableRegistryTools=1",
                 "Optionr READONLY 1"},
        LoadCase{"ReadWriteLockOneAsText", 3, 0, "1",
                 "read Start; write Start=3; read WriteProtect; write Start=3; "
                 "write WriteProtect=0; read DisableRegistryTools; write DisableRegistryTools=1",
                 "Optionrw RW 1"},
        LoadCase{"ReadWriteLockZero", 3, 0, 0, kReadWriteLoad, "Optionrw RW 0"},
        LoadCase{"ReadWriteLockInLetters", 3, 0, "yes", kReadWriteLoad, "Optionrw RW 0"}),
    [](const auto& param) { return std::string(param.param.name); });

class Form1Test : public ProgramTest {
  protected:
    void SetUp() override {
        Seed(kUsbStorageStart, 3);
        Seed(kWriteProtect, 0);
        StartAndLogIn();
        policy_log.clear();
        toolkit.log.clear();
    }
    Window& form1() { return Loaded(WindowId::kForm1); }
};

// The selected option runs nothing again; each other click writes at once, the picture
// following the mode applied.
TEST_F(Form1Test, EachClickWritesAtOnce) {
    for (const char* control : {"Optionrw", "Optionr", "Optiond", "Check1", "Check1"}) {
        ASSERT_TRUE(toolkit.Click(form1(), control));
    }
    EXPECT_EQ(Joined(policy_log),
              "write Start=3; write WriteProtect=1; write Start=4; write WriteProtect=1; "
              "write DisableRegistryTools=1; write DisableRegistryTools=0");
    EXPECT_EQ(toolkit.log, (Log{"Form1.Optionrw=0", "Form1.Optionr=1", "Form1.Image1=READONLY",
                                "Form1.Optionr=0", "Form1.Optiond=1", "Form1.Image1=DISABLE",
                                "Form1.Check1=1", "Form1.Check1=0"}));
}

TEST_F(Form1Test, AFailedWriteEndsTheProgramAndLeavesThePicture) {
    refused_value = "WriteProtect";
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(toolkit.Click(form1(), "Optiond"), ProcessEnded);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(toolkit.error_reports.size(), 1u);
    EXPECT_EQ(State(form1(), "Image1"), "Image1=RW");
}

class Form1FailedLoadTest : public ProgramTest,
                            public ::testing::WithParamInterface<const char*> {};

// Also the lock's rewrite: ignoring its failure would show the lock set while it is not.
TEST_P(Form1FailedLoadTest, AFailedWriteEndsTheProgramBeforeTheWindowShows) {
    Seed(kUsbStorageStart, 3);
    Seed(kWriteProtect, 1);
    Seed(kDisableRegistryTools, 2);
    refused_value = GetParam();
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(StartAndLogIn(), ProcessEnded);
    const std::string standard_error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(toolkit.error_reports,
              Log{"Run-time error '-2147024891 (0x80070005)':\n\nAccess is denied."});
    EXPECT_EQ(standard_error, toolkit.error_reports.at(0) + "\n");
    EXPECT_EQ(std::count(toolkit.log.begin(), toolkit.log.end(), "show Form1"), 0);
}

INSTANTIATE_TEST_SUITE_P(RefusedValues, Form1FailedLoadTest,
                         ::testing::Values("WriteProtect", "DisableRegistryTools"));

}  // namespace
}  // namespace varnholt::ui::testing
