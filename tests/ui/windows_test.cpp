// The three windows over the real flow, policy and password code: what each load reads, writes
// and shows, and what the user's input does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "policy/usb_policy.h"
#include "support/headless_program.h"

namespace varnholt::testing {
namespace {

using namespace policy_value;

std::string Joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "; ") + line;
    return text;
}

// Refused for any difference, keeping the text typed; the right one opens the main window,
// which is up before the login window goes (the process never runs out of windows).
TEST_F(ProgramTest, LoginOpensTheMainWindowForTheExactPasswordOnly) {
    application.Main();
    Window& login = Loaded(WindowId::kLogin);
    for (const std::string wrong : {"wrong", "", "Mango", "mango ", " mango"}) {
        TypeAndClick(login, "Text1", wrong);
        EXPECT_EQ(State(WindowId::kLogin, "Label1") + "|" + State(WindowId::kLogin, "Text1"),
                  "Error password|" + wrong);
        EXPECT_EQ(application.Loaded(WindowId::kForm1), nullptr);
    }
    TypeAndClick(login, "Text1", "mango");
    EXPECT_EQ(application.Loaded(WindowId::kLogin), nullptr);
    EXPECT_LT(std::find(toolkit.log.begin(), toolkit.log.end(), "show Form1"),
              std::find(toolkit.log.begin(), toolkit.log.end(), "hide Login"));
}

class StoredPasswordTest : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StoredPasswordTest, ReplacesTheInitialPassword) {
    hive->values[password_entry] = PasswordDigest(GetParam());
    StartAndLogIn("mango");
    EXPECT_EQ(State(WindowId::kLogin, "Label1"), "Error password");
    TypeAndClick(Loaded(WindowId::kLogin), "Text1", GetParam());
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Passwords, StoredPasswordTest, ::testing::Values("Kestrel 9", ""));

struct LoadCase {
    const char* name;
    std::int32_t start;
    std::int32_t write_protect;
    RegValue lock;
    const char* calls;  // the load's calls on the registry, in order
    const char* shown;  // the option selected, the picture, the check box
};

class Form1LoadTest : public ProgramTest, public ::testing::WithParamInterface<LoadCase> {};

// The mode read is applied once more and shown, and only a set lock is written again (as 1);
// all before the window shows.
TEST_P(Form1LoadTest, AppliesTheModeReadAgainAndShowsItWithTheLock) {
    const LoadCase& c = GetParam();
    hive->values = {{kUsbStorageStart, c.start},
                    {kWriteProtect, c.write_protect},
                    {kDisableRegistryTools, c.lock}};
    application.Main();
    hive->log.clear();
    TypeAndClick(Loaded(WindowId::kLogin), "Text1", "mango");
    EXPECT_EQ(Joined(hive->log), c.calls);
    std::string shown;
    for (const char* option : {"Optiond", "Optionr", "Optionrw"})
        shown += State(WindowId::kForm1, option) == "1" ? option : "";
    for (const char* control : {"Image1", "Check1"})
        shown += " " + State(WindowId::kForm1, control);
    EXPECT_EQ(shown, c.shown);
    EXPECT_TRUE(std::none_of(toolkit.log.begin(), toolkit.log.end(),
                             [](const std::string& line) { return line.starts_with("Form1."); }));
}

INSTANTIATE_TEST_SUITE_P(
    ModesAndLocks, Form1LoadTest,
    ::testing::Values(
        LoadCase{"Disabled", 4, 0, 0,
                 "read Start; write Start=4; write WriteProtect=1; read DisableRegistryTools",
                 "Optiond DISABLE 0"},
        LoadCase{"ReadOnlyLockTwo", 3, 1, 2,
                 "read Start; write Start=3; read WriteProtect; write Start=3; "
                 "write WriteProtect=1; read DisableRegistryTools; write DisableRegistryTools=1",
                 "Optionr READONLY 1"},
        LoadCase{"ReadWriteLockInLetters", 3, 0, "yes",
                 "read Start; write Start=3; read WriteProtect; write Start=3; "
                 "write WriteProtect=0; read DisableRegistryTools",
                 "Optionrw RW 0"}),
    [](const auto& param) { return std::string(param.param.name); });

// The selected option runs nothing again; each other click writes at once, the picture
// following the mode once it is applied.
TEST_F(ProgramTest, EachClickInTheMainWindowWritesAtOnce) {
    hive->values = {{kUsbStorageStart, 3}, {kWriteProtect, 0}};
    StartAndLogIn();
    hive->log.clear();
    toolkit.log.clear();
    for (const char* control : {"Optionrw", "Optionr", "Optiond", "Check1", "Check1"})
        Click(Loaded(WindowId::kForm1), control);
    EXPECT_EQ(Joined(hive->log),
              "write Start=3; write WriteProtect=1; write Start=4; write WriteProtect=1; "
              "write DisableRegistryTools=1; write DisableRegistryTools=0");
    EXPECT_EQ(Joined(toolkit.log),
              "Form1.Optionrw=0; Form1.Optionr=1; Form1.Image1=READONLY; Form1.Optionr=0; "
              "Form1.Optiond=1; Form1.Image1=DISABLE; Form1.Check1=1; Form1.Check1=0");
}

// A refused write ends the program with the report: at load before the main window shows (also
// the lock's rewrite, or the lock would show set while it is not), on a click leaving the
// picture as it was.
class RefusedWriteTest : public ProgramTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedWriteTest, EndsTheProgramWithTheReport) {
    hive->values = {{kUsbStorageStart, 3}, {kWriteProtect, 1}, {kDisableRegistryTools, 2}};
    const std::string refused = GetParam();
    const bool on_click = refused.ends_with(" on a click");
    hive->refused = on_click ? "" : refused;
    ::testing::internal::CaptureStderr();
    if (on_click) {
        StartAndLogIn();
        hive->refused = "WriteProtect";
        EXPECT_THROW(Click(Loaded(WindowId::kForm1), "Optiond"), ProcessEnded);
        EXPECT_EQ(State(WindowId::kForm1, "Image1"), "READONLY");
    } else {
        EXPECT_THROW(StartAndLogIn(), ProcessEnded);
        EXPECT_EQ(std::count(toolkit.log.begin(), toolkit.log.end(), "show Form1"), 0);
    }
    const std::string standard_error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(toolkit.reports,
              Lines{"Run-time error '-2147024891 (0x80070005)':\n\nAccess is denied."});
    EXPECT_EQ(standard_error, toolkit.reports.at(0) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Values, RefusedWriteTest,
                         ::testing::Values("WriteProtect", "DisableRegistryTools",
                                           "WriteProtect on a click"));

// Opens "Change Password" from the main window and plays the steps inside it.
class SetPasswordTest : public ProgramTest {
  protected:
    void SetUp() override {
        StartAndLogIn();
        hive->log.clear();
    }
    void OpenDialog(std::vector<std::function<void(Window&)>> steps) {
        toolkit.modal_steps.assign(steps.begin(), steps.end());
        Click(Loaded(WindowId::kForm1), "Command1");
        EXPECT_TRUE(toolkit.modal_steps.empty());
        EXPECT_EQ(application.Loaded(WindowId::kSetPassword), nullptr);
    }
    // Fills the three boxes, clicks "Change" and notes the message (or "closed").
    std::function<void(Window&)> Attempt(std::string current, std::string fresh,
                                         std::string confirm) {
        return [=, this](Window& dialog) {
            Type(dialog, "Text1", current);
            Type(dialog, "Text2", fresh);
            Type(dialog, "Text3", confirm);
            Click(dialog, "Command1");
            Note(dialog, "Label4");
        };
    }
    std::function<void(Window&)> Key(const char* box, ui::KeyEvent key) {
        return [=, this](Window& dialog) {
            auto& text_box = dynamic_cast<ui::TextBox&>(*dialog.FindControl(box));
            application.Dispatch([&] { text_box.KeyDown(key); });
            Note(dialog, "Label4");
        };
    }
    void Note(Window& dialog, const char* control) {
        notes.push_back(dialog.view() ? StateOf(*dialog.FindControl(control)) : "closed");
    }
    Lines notes;
};

// The current password is checked first, then the confirmation; nothing is stored. Only a key
// in the current password's box clears the message.
TEST_F(SetPasswordTest, RefusedChangesStoreNothingAndAKeyInTheFirstBoxClearsTheMessage) {
    constexpr ui::KeyEvent kLeft{0x25, 0};
    OpenDialog({Attempt("wrong", "a", "b"), Attempt("Mango", "same", "same"), Key("Text3", kLeft),
                Key("Text1", {0x10, 1}), Attempt("mango", "Tern", "tern"),
                Attempt("mango", "Tern", "Tern "), Key("Text1", kLeft)});
    EXPECT_EQ(notes,
              (Lines{"Current password error", "Current password error", "Current password error",
                     "", "Confirm password error", "Confirm password error", ""}));
    EXPECT_EQ(Joined(hive->log), "");
}

// Any new password, the empty one and the current one included, is stored and closes the
// dialog; a second change needs the password the first one set. Each opening starts empty.
TEST_F(SetPasswordTest, AChangeIsStoredAndInForceAtOnce) {
    OpenDialog({Attempt("mango", "Tern 7é", "Tern 7é")});
    EXPECT_EQ(hive->values[password_entry], RegValue(PasswordDigest("Tern 7é")));
    EXPECT_EQ(hive->types[password_entry], "REG_SZ");
    OpenDialog({[this](Window& dialog) {
                    for (const char* control : {"Text1", "Text2", "Text3", "Label4"})
                        Note(dialog, control);
                },
                Attempt("mango", "", ""), Attempt("Tern 7é", "", "")});
    OpenDialog({Attempt("", "", "")});
    EXPECT_EQ(notes,
              (Lines{"closed", "", "", "", "", "Current password error", "closed", "closed"}));
    EXPECT_EQ(hive->values[password_entry], RegValue(PasswordDigest("")));
}

// While the dialog is open a close of the main window is refused, were a toolkit to let it
// through; afterwards the main window takes input again.
TEST_F(SetPasswordTest, TheDialogBlocksTheMainWindowUntilItCloses) {
    Window& form1 = Loaded(WindowId::kForm1);
    OpenDialog({[&](Window&) { application.CloseRequested(form1); }});
    EXPECT_NE(application.Loaded(WindowId::kForm1), nullptr);
    Click(form1, "Optionr");
    EXPECT_EQ(Joined(hive->log), "write Start=3; write WriteProtect=1");
}

}  // namespace
}  // namespace varnholt::testing
