// The whole program over a registry in memory and no screen, the test playing the user.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <stdexcept>

#include "app/application.h"
#include "policy/usb_policy.h"
#include "support/memory_registry.h"
#include "ui/login.h"

namespace varnholt::testing {
namespace {

using namespace policy_value;
using ui::Window;
using ui::WindowId;
using Lines = std::vector<std::string>;

std::string StateOf(const ui::Control& control) {
    if (const auto* option = dynamic_cast<const ui::OptionButton*>(&control))
        return option->value() ? "1" : "0";
    if (const auto* check = dynamic_cast<const ui::CheckBox*>(&control))
        return std::to_string(check->value());
    if (const auto* label = dynamic_cast<const ui::Label*>(&control))
        return label->caption();
    return dynamic_cast<const ui::PictureBox&>(control).picture();
}

std::string Joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "; ") + line;
    return text;
}

// Logs the windows shown and hidden; a modal run plays the queued steps, noting the message after
// each, then closes the window as the user would.
class HeadlessToolkit final : public ui::Toolkit {
  public:
    std::unique_ptr<ui::WindowView> CreateView(Window& window, ui::InputSink& input) override {
        sink = &input;
        shown = &window;
        log.push_back("show " + std::string(window.description().name));
        return std::make_unique<View>(log, "hide " + std::string(window.description().name));
    }
    void RunModal(Window& window) override {
        for (; window.view() != nullptr && !modal_steps.empty(); modal_steps.pop_front()) {
            modal_steps.front()(window);
            notes.push_back(window.view() ? StateOf(*window.FindControl("Label4")) : "closed");
        }
        if (window.view() != nullptr)
            sink->CloseRequested(window);
    }
    void Quit() override { ++quits; }
    ui::Picture LoadPicture(std::string_view name) override { return {std::string(name)}; }
    void ShowErrorReport(const std::string& text) override { reports.push_back(text); }

    ui::InputSink* sink = nullptr;
    Window* shown = nullptr;
    Lines log;
    std::deque<std::function<void(Window&)>> modal_steps;
    int quits = 0;
    Lines reports;
    Lines notes;

  private:
    struct View final : ui::WindowView {
        View(Lines& to, std::string hidden) : log(to), hide(std::move(hidden)) {}
        ~View() override { log.push_back(hide); }
        void ControlChanged(const ui::Control&) override {}
        Lines& log;
        std::string hide;
    };
};

struct ProcessEnded {};  // thrown by the test's exit, so the run stops where the process would

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() { UseMemoryHive(hive); }

    Window& Loaded(WindowId id) {
        if (application.Loaded(id) == nullptr)
            throw std::logic_error("the window is not loaded");
        return *application.Loaded(id);
    }
    std::string State(WindowId id, std::string_view control) {
        return StateOf(*Loaded(id).FindControl(control));
    }
    void Click(Window& window, std::string_view name) {
        ui::Control* control = window.FindControl(name);
        application.Dispatch([control] {
            if (auto* button = dynamic_cast<ui::CommandButton*>(control))
                button->Click();
            else if (auto* option = dynamic_cast<ui::OptionButton*>(control))
                option->SetValue(true);
            else
                dynamic_cast<ui::CheckBox&>(*control).Toggle();
        });
    }
    void Type(Window& window, std::string_view name, const std::string& text) {
        auto& box = dynamic_cast<ui::TextBox&>(*window.FindControl(name));
        application.Dispatch([&box, text] {
            box.KeyDown();
            box.TextEdited(text);
        });
    }
    void Enter(const std::string& password) {
        Type(Loaded(WindowId::kLogin), "Text1", password);
        Click(Loaded(WindowId::kLogin), "Command1");
    }

    const std::string password_entry =
        RegistrySettingsStore::ValueName(kPasswordApplication, kPasswordSection, kPasswordKey);
    std::shared_ptr<MemoryHive> hive = std::make_shared<MemoryHive>();
    int exit_status = -1;
    HeadlessToolkit toolkit;  // outlives the application and the views it made
    app::Application application{toolkit, [this](int status) {
                                     exit_status = status;
                                     throw ProcessEnded{};
                                 }};
};

// A run ends when the login window closes, having read only the settings, or on a failure.
TEST_F(ProgramTest, ARunEndsWithTheLoginWindowOrAFailure) {
    EXPECT_EQ(app::RunProgram(toolkit, [this] { toolkit.sink->CloseRequested(*toolkit.shown); }),
              0);
    EXPECT_EQ(Joined(toolkit.log) + " | " + Joined(hive->log), "show Login; hide Login | read p");
    EXPECT_EQ(toolkit.quits, 1);
    EXPECT_FALSE(SharedHasher().Exists());
    ::testing::internal::CaptureStderr();
    const auto fail = [this] { toolkit.sink->Dispatch([] { throw std::logic_error("x"); }); };
    EXPECT_EQ(app::RunProgram(toolkit, fail, [&](int code) { exit_status = code; }), 1);
    EXPECT_EQ(exit_status, 1);
    application.Main();  // and a window shown modally while it is shown
    Enter("mango");
    EXPECT_THROW(application.Dispatch([this] { application.ShowModal(WindowId::kForm1); }),
                 ProcessEnded);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(toolkit.reports, (Lines{"Run-time error '51':\n\nInternal error: x",
                                      "Run-time error '400':\n\nForm already displayed; "
                                      "can't show modally"}));
}

// Only the stored password opens the main window, up before the login window goes.
TEST_F(ProgramTest, OnlyTheStoredPasswordOpensTheMainWindowAndClosingItEndsTheRun) {
    hive->values[password_entry] = PasswordDigest("Kestrel 9");
    application.Main();
    for (const std::string wrong : {"mango", "kestrel 9", "Kestrel 9 "}) {
        Enter(wrong);
        EXPECT_EQ(State(WindowId::kLogin, "Label1"), "Error password");
    }
    Enter("Kestrel 9");
    EXPECT_EQ(Joined(toolkit.log), "show Login; show Form1; hide Login");
    ui::Login stray(application);  // not loaded: closing it changes nothing
    application.CloseRequested(stray);
    EXPECT_EQ(toolkit.quits, 0);
    application.CloseRequested(Loaded(WindowId::kForm1));
    EXPECT_EQ(toolkit.quits, 1);
    EXPECT_FALSE(SharedShell().Exists());
}

// The mode read is applied once more and shown; only a set lock is written again (as 1). Each
// click writes at once, the picture following the mode; a refused write ends the program with
// the report, the picture left as it was.
TEST_F(ProgramTest, TheMainWindowShowsTheModeReadAndWritesEachClickAtOnce) {
    hive->values = {{kUsbStorageStart, 3}, {kWriteProtect, 1}, {kDisableRegistryTools, 2}};
    hive->values[password_entry] = 7;  // not text: the initial password
    application.Main();
    hive->log.clear();
    Enter("mango");
    EXPECT_EQ(State(WindowId::kForm1, "Optionr") + State(WindowId::kForm1, "Optionrw") +
                  State(WindowId::kForm1, "Image1") + State(WindowId::kForm1, "Check1"),
              "10READONLY1");
    for (const char* control : {"Optionr", "Optiond", "Check1", "Check1"})
        Click(Loaded(WindowId::kForm1), control);
    EXPECT_EQ(Joined(hive->log),
              "read Start; write Start=3; read WriteProtect; write Start=3; write WriteProtect=1; "
              "read DisableRegistryTools; write DisableRegistryTools=1; write Start=4; "
              "write WriteProtect=1; write DisableRegistryTools=0; write DisableRegistryTools=1");
    EXPECT_EQ(State(WindowId::kForm1, "Image1"), "DISABLE");
    hive->refused = "WriteProtect";
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(Click(Loaded(WindowId::kForm1), "Optionrw"), ProcessEnded);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Run-time error '-2147024891 (0x80070005)':\n\nAccess is denied.\n");
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(State(WindowId::kForm1, "Image1"), "DISABLE");
    application.Dispatch([] { FAIL() << "input after the end"; });
}

// The current password is checked first, then the confirmation; only a key in the first box
// clears the message. A change is stored, in force at once; the dialog blocks the main window.
TEST_F(ProgramTest, OnlyAConfirmedPasswordChangeIsStoredAndInForceAtOnce) {
    hive->values[password_entry] = "";  // empty: the initial password
    application.Main();
    Enter("mango");
    hive->log.clear();
    const auto attempt = [&](std::string current, std::string fresh, std::string confirm) {
        return [=, this](Window& dialog) {
            Type(dialog, "Text1", current);
            Type(dialog, "Text2", fresh);
            Type(dialog, "Text3", confirm);
            Click(dialog, "Command1");
        };
    };
    const auto key = [&](const char* box) {
        return [=, this](Window& dialog) { Type(dialog, box, "x"); };
    };
    Window& form1 = Loaded(WindowId::kForm1);
    const auto close_main_window = [&](Window&) { application.CloseRequested(form1); };
    toolkit.modal_steps = {attempt("Mango", "same", "same"),
                           attempt("mango", "Tern", "tern"),
                           key("Text3"),
                           key("Text1"),
                           close_main_window,
                           attempt("mango", "Tern 7é", "Tern 7é")};
    Click(form1, "Command1");
    toolkit.modal_steps = {attempt("mango", "", ""), attempt("Tern 7é", "", "")};
    Click(form1, "Command1");
    EXPECT_EQ(Joined(toolkit.notes),
              "Current password error; Confirm password error; Confirm password error; ; ; "
              "closed; Current password error; closed");
    EXPECT_EQ(Joined(hive->log),
              "write p=" + PasswordDigest("Tern 7é") + "; write p=" + PasswordDigest(""));
    EXPECT_EQ(hive->types[password_entry], "REG_SZ");
    Click(form1, "Optionr");
    EXPECT_EQ(State(WindowId::kForm1, "Image1"), "READONLY");
}

}  // namespace
}  // namespace varnholt::testing
