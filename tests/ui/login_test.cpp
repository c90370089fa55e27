// The login window: only the exact stored password opens the main window.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace varnholt::ui::testing {
namespace {

class LoginTest : public ProgramTest {
  protected:
    Window& login() { return Loaded(WindowId::kLogin); }

    bool TryPassword(const std::string& password) {
        return TypeAndClick(login(), "Text1", password);
    }
    // Refused: the window stays, with the message and the text as typed, and no main window.
    void ExpectRefused(const std::string& password) {
        SCOPED_TRACE("'" + password + "'");
        ASSERT_TRUE(TryPassword(password));
        EXPECT_EQ(application.Loaded(WindowId::kForm1), nullptr);
        EXPECT_TRUE(toolkit.Visible(login()));
        EXPECT_EQ(State(login(), "Label1"), "Label1=Error password");
        EXPECT_EQ(State(login(), "Text1"), "Text1=" + password);
    }
};

// Any number of refusals, for any difference at all, and the right password still works; the
// main window is up before the login window goes.
TEST_F(LoginTest, OnlyTheExactInitialPasswordOpensTheMainWindow) {
    application.Main();
    EXPECT_EQ(
        toolkit.shown_states.at(0),
        (std::vector<std::string>{"Text1=", "Label1=Initial Password: mango", "Command1=Login"}));
    for (const std::string wrong : {"wrong", "", "Mango", "mango ", " mango", "MANGO"}) {
        ExpectRefused(wrong);
    }
    ASSERT_TRUE(TryPassword("mango"));
    EXPECT_EQ(application.Loaded(WindowId::kLogin), nullptr);
    const auto shown = std::find(toolkit.log.begin(), toolkit.log.end(), "show Form1");
    const auto hidden = std::find(toolkit.log.begin(), toolkit.log.end(), "hide Login");
    EXPECT_NE(hidden, toolkit.log.end());
    EXPECT_LT(shown, hidden);
}

class StoredPasswordTest : public LoginTest, public ::testing::WithParamInterface<const char*> {};

// The label keeps naming the initial password, which no longer opens anything.
TEST_P(StoredPasswordTest, ReplacesTheInitialPasswordButNotTheLabel) {
    const std::string stored = GetParam();
    StorePassword(stored);
    application.Main();
    EXPECT_EQ(State(login(), "Label1"), "Label1=Initial Password: mango");
    ExpectRefused("mango");
    ASSERT_TRUE(TryPassword(stored));
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Passwords, StoredPasswordTest, ::testing::Values("Kestrel 9", ""));

}  // namespace
}  // namespace varnholt::ui::testing
