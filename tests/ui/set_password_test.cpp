#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "auth/password.h"
#include "program_fixture.h"

namespace varnholt::ui::testing {
namespace {

using Step = std::function<void(Window&)>;
using Lines = std::vector<std::string>;

class SetPasswordTest : public ProgramTest {
  protected:
    void SetUp() override {
        StartAndLogIn();
        ASSERT_NE(application.Loaded(WindowId::kForm1), nullptr);
        settings_log.clear();
        policy_log.clear();
    }

    Window& form1() { return Loaded(WindowId::kForm1); }

    // "Change Password", then the user's steps inside the dialog; when they run out and the
    // dialog is still open, the user closes it.
    void OpenDialog(std::vector<Step> steps) {
        for (Step& step : steps) {
            toolkit.modal_steps.push_back(std::move(step));
        }
        ASSERT_TRUE(toolkit.Click(form1(), "Command1"));
        EXPECT_TRUE(toolkit.modal_steps.empty());
        EXPECT_EQ(application.Loaded(WindowId::kSetPassword), nullptr);
    }

    // Fills the three boxes afresh, clicks "Change" and notes the message line (or "closed").
    Step Attempt(std::string current, std::string fresh, std::string confirm) {
        return [this, current, fresh, confirm](Window& dialog) {
            const std::array<std::pair<const char*, std::string>, 3> boxes{
                {{"Text1", current}, {"Text2", fresh}, {"Text3", confirm}}};
            for (const auto& [box, text] : boxes) {
                ASSERT_TRUE(toolkit.Type(dialog, box, text));
            }
            ASSERT_TRUE(toolkit.Click(dialog, "Command1"));
            messages.push_back(dialog.view() == nullptr ? "closed" : State(dialog, "Label4"));
        };
    }
    Step Note() {
        return [this](Window& dialog) { messages.push_back(State(dialog, "Label4")); };
    }

    bool Written() const {
        return std::any_of(settings_log.begin(), settings_log.end(),
                           [](const std::string& line) { return line.starts_with("write"); });
    }

    Lines messages;
};

TEST_F(SetPasswordTest, TheCurrentPasswordIsCheckedFirstThenTheConfirmation) {
    OpenDialog({Attempt("wrong", "a", "b"), Attempt("", "same", "same"),
                Attempt("Mango", "same", "same"), Attempt("mango", "Tern", "tern"),
                Attempt("mango", "Tern", "Tern ")});
    EXPECT_EQ(messages, (Lines{"Label4=Current password error", "Label4=Current password error",
                               "Label4=Current password error", "Label4=Confirm password error",
                               "Label4=Confirm password error"}));
    EXPECT_FALSE(Written());
    EXPECT_EQ(StoredDigest(), std::nullopt);
}

TEST_F(SetPasswordTest, OnlyAKeyInTheCurrentPasswordBoxClearsTheMessage) {
    constexpr KeyEvent kLeftArrow{0x25, 0};
    constexpr KeyEvent kShift{0x10, 1};
    OpenDialog({
        Attempt("wrong", "", ""),
        [this](Window& dialog) {
            ASSERT_TRUE(toolkit.Type(dialog, "Text2", "x"));
            ASSERT_TRUE(toolkit.PressKey(dialog, "Text3", kLeftArrow));
        },
        Note(),
        [&](Window& dialog) { ASSERT_TRUE(toolkit.PressKey(dialog, "Text1", kShift)); },
        Note(),
        Attempt("mango", "a", "b"),
        [&](Window& dialog) { ASSERT_TRUE(toolkit.PressKey(dialog, "Text1", kLeftArrow)); },
        Note(),
    });
    EXPECT_EQ(messages, (Lines{"Label4=Current password error", "Label4=Current password error",
                               "Label4=", "Label4=Confirm password error", "Label4="}));
}

// Any new password, the empty one and the current one included, is stored and closes the
// dialog; a second change in the run needs the password the first one set, not the one it
// replaced, which would turn away the password the user has just chosen.
TEST_F(SetPasswordTest, AChangeIsStoredAndInForceAtOnce) {
    OpenDialog({Attempt("mango", "Tern 7é", "Tern 7é")});
    EXPECT_EQ(StoredDigest(), PasswordDigest("Tern 7é"));
    OpenDialog({Attempt("mango", "", ""), Attempt("Tern 7é", "", "")});
    EXPECT_EQ(StoredDigest(), PasswordDigest(""));
    OpenDialog({Attempt("", "", "")});
    EXPECT_EQ(messages, (Lines{"closed", "Label4=Current password error", "closed", "closed"}));
    EXPECT_EQ(StoredDigest(), PasswordDigest(""));
    EXPECT_TRUE(policy_log.empty());                 // the password side writes no policy value
    EXPECT_TRUE(toolkit.Click(form1(), "Optionr"));  // the main window takes input again
}

TEST_F(SetPasswordTest, EveryOpeningStartsEmptyAndClosingStoresNothing) {
    OpenDialog({Attempt("wrong", "a", "a")});
    OpenDialog({Note()});
    EXPECT_EQ(messages, (Lines{"Label4=Current password error", "Label4="}));
    const Lines fresh{"Label1=Current Password",
                      "Text1=",
                      "Label2=New Password",
                      "Text2=",
                      "Label3=Confirm Password",
                      "Text3=",
                      "Label4=",
                      "Command1=Change"};
    ASSERT_GE(toolkit.shown_states.size(), 2u);
    EXPECT_EQ(toolkit.shown_states.end()[-2], fresh);
    EXPECT_EQ(toolkit.shown_states.back(), fresh);
    EXPECT_FALSE(Written());
}

TEST_F(SetPasswordTest, TheDialogBlocksTheMainWindowUntilItCloses) {
    const Lines before{State(form1(), "Optionrw"), State(form1(), "Check1"),
                       State(form1(), "Image1")};
    OpenDialog({[this](Window&) {
        application.CloseRequested(form1());  // were a toolkit to let it through
        EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
        EXPECT_FALSE(application.Ended());
    }});
    EXPECT_EQ(toolkit.log.back(), "end modal SetPassword");
    EXPECT_TRUE(policy_log.empty());
    EXPECT_EQ(before, (Lines{State(form1(), "Optionrw"), State(form1(), "Check1"),
                             State(form1(), "Image1")}));
    EXPECT_TRUE(toolkit.Click(form1(), "Optiond"));
}

}  // namespace
}  // namespace varnholt::ui::testing
