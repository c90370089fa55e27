// The window flow: when the run ends, what it releases, and how a failure ends it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "runtime/error.h"
#include "support/headless_program.h"
#include "ui/login.h"

namespace varnholt::testing {
namespace {

// The whole run when the user closes the login window: 0, having read only the settings, and
// the process-wide objects released (the hasher's Class_Terminate has run).
TEST_F(ProgramTest, ClosingTheLoginWindowEndsTheRunHavingOnlyReadTheSettings) {
    const int status =
        app::RunProgram(toolkit, [this] { toolkit.sink->CloseRequested(*toolkit.shown); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(toolkit.log, (Lines{"show Login", "hide Login"}));
    EXPECT_EQ(toolkit.quits, 1);
    EXPECT_EQ(hive->log, Lines{"read p"});
    EXPECT_FALSE(SharedHasher().Exists());
    EXPECT_FALSE(SharedSettingsStore().Exists());
}

TEST_F(ProgramTest, ClosingTheMainWindowEndsTheRunAfterEveryWindowHasBeenUsed) {
    StartAndLogIn();
    // A close request for a window the flow has not loaded changes nothing.
    ui::Login stray(application);
    application.CloseRequested(stray);
    toolkit.modal_steps.push_back([](Window&) {});
    Click(Loaded(WindowId::kForm1), "Command1");
    EXPECT_EQ(toolkit.quits, 0);
    application.CloseRequested(Loaded(WindowId::kForm1));
    EXPECT_TRUE(application.Ended());
    EXPECT_EQ(toolkit.quits, 1);
    EXPECT_FALSE(SharedShell().Exists());
    EXPECT_FALSE(SharedHasher().Exists());
    EXPECT_TRUE(PasswordHash().empty());
    for (WindowId id : {WindowId::kLogin, WindowId::kForm1, WindowId::kSetPassword})
        EXPECT_EQ(application.Loaded(id), nullptr);
}

TEST_F(ProgramTest, AFailureInMainIsReportedAndEndsTheProgramBeforeAnyWindowShows) {
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
    EXPECT_EQ(toolkit.reports,
              Lines{"Run-time error '-2147171566 (0x8004C312)':\n\nCrypto failure 87"});
}

// Whatever escapes a handler is reported, and no input is taken after the end.
class HandlerFailureTest : public ProgramTest {
  protected:
    void ExpectReport(const std::function<void()>& handler, const std::string& report) {
        StartAndLogIn();
        ::testing::internal::CaptureStderr();
        EXPECT_THROW(application.Dispatch(handler), ProcessEnded);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(exit_status, 1);
        EXPECT_EQ(toolkit.reports, Lines{report});
        application.Dispatch([] { FAIL() << "input after the end"; });
    }
};

TEST_F(HandlerFailureTest, AnyExceptionIsAnInternalError) {
    ExpectReport([] { throw std::logic_error("broken invariant"); },
                 "Run-time error '51':\n\nInternal error: broken invariant");
}

TEST_F(HandlerFailureTest, AShownWindowCannotBeShownModally) {
    ExpectReport([this] { application.ShowModal(WindowId::kForm1); },
                 "Run-time error '400':\n\nForm already displayed; can't show modally");
}

}  // namespace
}  // namespace varnholt::testing
