#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "auth/password.h"
#include "runtime/error.h"
#include "ui/program_fixture.h"

namespace varnholt::ui::testing {
namespace {

using Lines = std::vector<std::string>;

class FlowTest : public ProgramTest {};

// The program's whole run when the user closes the login window: its event loop, whose only
// event that is, returns 0 having read the settings and no policy value.
TEST_F(FlowTest, ClosingTheLoginWindowEndsTheRunHavingOnlyReadTheSettings) {
    const int status = app::RunProgram(toolkit, [this] {
        ASSERT_EQ(toolkit.log, Lines{"show Login"});
        ASSERT_TRUE(toolkit.Close(*toolkit.VisibleWindow("Login")));
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(toolkit.log, (Lines{"show Login", "close Login", "hide Login"}));
    EXPECT_EQ(toolkit.quit_count, 1);
    EXPECT_TRUE(policy_log.empty());
    EXPECT_EQ(settings_log, Lines{"read p"});
    EXPECT_FALSE(SharedHasher().Exists());  // released, so its Class_Terminate has run
    EXPECT_FALSE(SharedSettingsStore().Exists());
}

TEST_F(FlowTest, ClosingTheMainWindowEndsTheRunAfterEveryWindowHasBeenUsed) {
    StartAndLogIn();
    toolkit.modal_steps.push_back([](Window&) {});
    ASSERT_TRUE(toolkit.Click(Loaded(WindowId::kForm1), "Command1"));
    EXPECT_EQ(toolkit.quit_count, 0);
    ASSERT_TRUE(toolkit.Close(Loaded(WindowId::kForm1)));
    EXPECT_TRUE(application.Ended());
    EXPECT_EQ(toolkit.quit_count, 1);
    EXPECT_FALSE(SharedShell().Exists());
    EXPECT_FALSE(SharedHasher().Exists());
    EXPECT_TRUE(PasswordHash().empty());
    for (WindowId id : {WindowId::kLogin, WindowId::kForm1, WindowId::kSetPassword}) {
        EXPECT_EQ(application.Loaded(id), nullptr);
    }
    EXPECT_EQ(toolkit.log.back(), "hide Form1");
}

// A failure while the first window loads ends the program before any window shows.
TEST_F(FlowTest, AFailureInMainIsReportedAndEndsTheProgram) {
    SharedHasher().SetFactory([]() -> std::unique_ptr<MD5Hash> {
        Raise(ErrorNumber(0x8004C312), "MD5Hash.Class_Initialize", "Crypto failure 87");
    });
    int exit_code = -1;
    bool looped = false;
    ::testing::internal::CaptureStderr();
    const int status = app::RunProgram(
        toolkit, [&] { looped = true; }, [&](int code) { exit_code = code; });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(looped);
    EXPECT_TRUE(toolkit.log.empty());
    EXPECT_EQ(toolkit.error_reports,
              Lines{"Run-time error '-2147171566 (0x8004C312)':\n\nCrypto failure 87"});
}

TEST_F(FlowTest, AnyOtherFailureOfAHandlerIsReportedToo) {
    application.Main();
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(application.Dispatch([] { throw std::logic_error("broken invariant"); }),
                 ProcessEnded);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(toolkit.error_reports,
              Lines{"Run-time error '51':\n\nInternal error: broken invariant"});
    application.Dispatch([] { FAIL() << "input after the end"; });
}

}  // namespace
}  // namespace varnholt::ui::testing
