#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "program_fixture.h"

namespace varnholt::ui::testing {
namespace {

class LoginTest : public ProgramTest {
  protected:
    Window& login() { return Loaded(WindowId::kLogin); }

    // Types into a fresh box (the box keeps what was typed before) and clicks "Login".
    bool TryPassword(const std::string& password) {
        return toolkit.Erase(login(), "Text1") && TypeAndClick(login(), "Text1", password);
    }
    bool Refused() {
        return application.Loaded(WindowId::kForm1) == nullptr &&
               State(login(), "Label1") == "Label1=Error password" && toolkit.Visible(login());
    }
};

TEST_F(LoginTest, InitialPasswordOpensTheMainWindowBeforeTheLoginWindowGoes) {
    application.Main();
    EXPECT_EQ(
        toolkit.shown_states.at(0),
        (std::vector<std::string>{"Text1=", "Label1=Initial Password: mango", "Command1=Login"}));
    TryPassword("mango");
    ASSERT_NE(application.Loaded(WindowId::kForm1), nullptr);
    EXPECT_EQ(application.Loaded(WindowId::kLogin), nullptr);
    const auto shown = std::find(toolkit.log.begin(), toolkit.log.end(), "show Form1");
    const auto hidden = std::find(toolkit.log.begin(), toolkit.log.end(), "hide Login");
    EXPECT_LT(shown, hidden);
    EXPECT_NE(hidden, toolkit.log.end());
}

TEST_F(LoginTest, WrongPasswordsAreRefusedAsOftenAsTypedAndTheRightOneStillWorks) {
    application.Main();
    for (const std::string wrong : {"wrong", "", "Mango", "mango ", " mango", "MANGO"}) {
        SCOPED_TRACE(wrong);
        ASSERT_TRUE(TryPassword(wrong));
        EXPECT_TRUE(Refused());
        EXPECT_EQ(State(login(), "Text1"), "Text1=" + wrong);  // the typed text stays
    }
    TryPassword("mango");
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
}

TEST_F(LoginTest, AStoredPasswordReplacesTheInitialOneButNotTheLabel) {
    StorePassword("Kestrel 9");
    application.Main();
    EXPECT_EQ(State(login(), "Label1"), "Label1=Initial Password: mango");
    TryPassword("mango");
    EXPECT_TRUE(Refused());
    TryPassword("Kestrel 9");
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
}

TEST_F(LoginTest, TheEmptyPasswordLogsInOnceItIsTheStoredOne) {
    StorePassword("");
    application.Main();
    TryPassword("mango");
    EXPECT_TRUE(Refused());
    TryPassword("");
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
}

}  // namespace
}  // namespace varnholt::ui::testing
