// The Win32 renderer against Wine's USER32: changes made in code reach the screen, the user's
// input reaches the model, and a modal window holds the others off. How the windows look is
// seen in the end-to-end runs, not restated here.
#include "platform/win32/win32_toolkit.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace varnholt {
namespace {

using platform::win32::Win32Toolkit;
using namespace ui;  // NOLINT: the control model's names read best unqualified here

constexpr std::array kSampleControls{
    ControlDescription{ControlKind::kCommandButton, "Command1", "Go", "", 240, 3480, 1815, 495, 0},
    ControlDescription{ControlKind::kOptionButton, "OptionA", "First", "", 2760, 360, 1695, 495, 1},
    ControlDescription{ControlKind::kOptionButton, "OptionB", "Second", "", 2760, 960, 1335, 495,
                       2},
    ControlDescription{ControlKind::kOptionButton, "OptionC", "Third", "", 2760, 1560, 1215, 375,
                       3},
    ControlDescription{ControlKind::kCheckBox, "Check1", "Check", "", 2760, 2280, 1695, 375, 4},
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 120, 2880, 1500, 375, 5, false, '*'},
    ControlDescription{ControlKind::kLabel, "Label1", "Right", "", 1700, 2880, 1000, 255, 6},
};
constexpr WindowDescription kSample{"Sample", "Sample window", 4905, 4140, kSampleControls};

constexpr std::array kDialogControls{
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 960, 960, 2775, 375, 0, false, '*'},
    ControlDescription{ControlKind::kCommandButton, "Command1", "OK", "", 1440, 1800, 1695, 495, 1,
                       true},
};
constexpr WindowDescription kDialog{"Dialog", "Dialog", 4680, 2595, kDialogControls};

class TestWindow final : public Window {
  public:
    using Window::Window;
    template <typename T>
    T& Control(std::string_view name) {
        return Get<T>(name);
    }
};

// Runs input at once, as the window flow does, and unloads a window on its close box.
class RecordingInput final : public InputSink {
  public:
    void Dispatch(const std::function<void()>& input) override { input(); }
    void CloseRequested(Window& window) override {
        closed.push_back(std::string(window.description().name));
        if (on_close) {
            on_close(window);
        }
        window.DetachView();
    }

    std::vector<std::string> closed;
    std::function<void(Window&)> on_close;
};

std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// Delivers what the dialog manager posted.
void PumpPending() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

class Win32ToolkitTest : public ::testing::Test {
  protected:
    void Show(TestWindow& window) { window.AttachView(toolkit_.CreateView(window, input_)); }
    static HWND Handle(const ui::Control& control) { return Win32Toolkit::ControlHandle(control); }

    Win32Toolkit toolkit_{GetModuleHandleW(nullptr)};
    RecordingInput input_;
    TestWindow sample_{kSample};
};

TEST_F(Win32ToolkitTest, TabEntersTheOptionsAtTheSelectedOneAndArrowsStayInThem) {
    Show(sample_);
    const HWND form = Win32Toolkit::WindowHandle(sample_);
    const HWND button = Handle(sample_.Control<CommandButton>("Command1"));
    const HWND first = Handle(sample_.Control<OptionButton>("OptionA"));
    const HWND third = Handle(sample_.Control<OptionButton>("OptionC"));
    EXPECT_EQ(GetFocus(), button);                             // the lowest tab index
    EXPECT_EQ(GetNextDlgTabItem(form, button, FALSE), first);  // none selected yet
    sample_.Control<OptionButton>("OptionC").SetValue(true);
    EXPECT_EQ(GetNextDlgTabItem(form, button, FALSE), third);
    EXPECT_EQ(GetNextDlgTabItem(form, third, FALSE), Handle(sample_.Control<CheckBox>("Check1")));
    EXPECT_EQ(GetNextDlgGroupItem(form, third, FALSE), first);
}

TEST_F(Win32ToolkitTest, ChangesMadeInCodeReachTheScreen) {
    Show(sample_);
    sample_.Control<Label>("Label1").SetCaption("Error password");
    EXPECT_EQ(TextOf(Handle(sample_.Control<Label>("Label1"))), L"Error password");
    const auto checked = [this](const char* name) {
        return SendMessageW(Handle(*sample_.FindControl(name)), BM_GETCHECK, 0, 0);
    };
    sample_.Control<CheckBox>("Check1").SetValue(1);
    sample_.Control<OptionButton>("OptionB").SetValue(true);
    sample_.Control<OptionButton>("OptionA").SetValue(true);
    EXPECT_EQ(checked("Check1"), BST_CHECKED);
    EXPECT_EQ(checked("OptionA"), BST_CHECKED);
    EXPECT_EQ(checked("OptionB"), BST_UNCHECKED);
    sample_.Control<TextBox>("Text1").SetText("\xC3\xA1\xE2\x82\xAC");
    EXPECT_EQ(TextOf(Handle(sample_.Control<TextBox>("Text1"))), L"\u00e1\u20ac");
}

TEST_F(Win32ToolkitTest, PicturesAreTheProgramsBitmapsFoundByNameOnly) {
    for (const char* name : {"DISABLE", "READONLY", "RW", "rw"}) {
        EXPECT_NE(toolkit_.Bitmap(toolkit_.LoadPicture(name).bitmap_name), nullptr) << name;
    }
    for (const char* name : {"MISSING", "#1", "", "RW\\..\\DISABLE"}) {
        try {
            toolkit_.LoadPicture(name);
            ADD_FAILURE() << "found " << name;
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), runtime_error_number::kResourceNotFound);
        }
    }
}

TEST_F(Win32ToolkitTest, ClicksAndTypingReachTheModel) {
    Show(sample_);
    int clicks = 0;
    sample_.Control<CommandButton>("Command1").on_click = [&clicks] { ++clicks; };
    int option_clicks = 0;
    sample_.Control<OptionButton>("OptionB").on_click = [&option_clicks] { ++option_clicks; };
    int check_clicks = 0;
    sample_.Control<CheckBox>("Check1").on_click = [&check_clicks] { ++check_clicks; };

    SendMessageW(Handle(sample_.Control<CommandButton>("Command1")), BM_CLICK, 0, 0);
    EXPECT_EQ(clicks, 1);
    SendMessageW(Handle(sample_.Control<OptionButton>("OptionB")), BM_CLICK, 0, 0);
    EXPECT_TRUE(sample_.Control<OptionButton>("OptionB").value());
    EXPECT_EQ(option_clicks, 1);
    SendMessageW(Handle(sample_.Control<CheckBox>("Check1")), BM_CLICK, 0, 0);
    SendMessageW(Handle(sample_.Control<CheckBox>("Check1")), BM_CLICK, 0, 0);
    EXPECT_EQ(sample_.Control<CheckBox>("Check1").value(), 0);  // toggled twice
    EXPECT_EQ(check_clicks, 2);

    std::vector<KeyEvent> keys;
    sample_.Control<TextBox>("Text1").on_key_down = [&keys](KeyEvent key) { keys.push_back(key); };
    const HWND text = Handle(sample_.Control<TextBox>("Text1"));
    SetFocus(text);
    for (const wchar_t typed : std::wstring(L"m\u00e1")) {
        SendMessageW(text, WM_KEYDOWN, 'M', 0);
        SendMessageW(text, WM_CHAR, typed, 0);
    }
    SendMessageW(text, WM_KEYDOWN, VK_LEFT, 0);  // changes nothing, still a key going down
    EXPECT_EQ(sample_.Control<TextBox>("Text1").text(), "m\xC3\xA1");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].key_code, 'M');
    EXPECT_EQ(keys[2].key_code, VK_LEFT);
    EXPECT_EQ(TextOf(text), L"m\u00e1");  // shown masked, kept in full
}

TEST_F(Win32ToolkitTest, TheCloseBoxAsksTheFlowToUnload) {
    Show(sample_);
    const HWND form = Win32Toolkit::WindowHandle(sample_);
    SendMessageW(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_EQ(input_.closed, std::vector<std::string>{"Sample"});
    EXPECT_FALSE(IsWindow(form));  // the flow's unload took it off the screen
}

TEST_F(Win32ToolkitTest, EnterClicksTheDefaultButtonOnly) {
    TestWindow dialog{kDialog};
    Show(dialog);
    int clicks = 0;
    dialog.Control<CommandButton>("Command1").on_click = [&clicks] { ++clicks; };
    const HWND form = Win32Toolkit::WindowHandle(dialog);
    EXPECT_EQ(GetFocus(), Handle(dialog.Control<TextBox>("Text1")));
    // Enter in the box goes through the dialog manager to the default button.
    MSG enter{Handle(dialog.Control<TextBox>("Text1")), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(IsDialogMessageW(form, &enter));
    PumpPending();
    EXPECT_EQ(clicks, 1);

    // A window without a default button ignores Enter in a box, and on a focused button too,
    // where the dialog manager alone would click it.
    Show(sample_);
    int sample_clicks = 0;
    sample_.Control<CommandButton>("Command1").on_click = [&sample_clicks] { ++sample_clicks; };
    const HWND sample_form = Win32Toolkit::WindowHandle(sample_);
    for (const HWND focus : {Handle(sample_.Control<TextBox>("Text1")),
                             Handle(sample_.Control<CommandButton>("Command1"))}) {
        SendMessageW(sample_form, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
        for (const UINT kind : {UINT{WM_KEYDOWN}, UINT{WM_CHAR}, UINT{WM_KEYUP}}) {
            MSG key{focus, kind, kind == WM_CHAR ? WPARAM{L'\r'} : WPARAM{VK_RETURN}, 0, 0, {}};
            if (!toolkit_.RouteDialogKeys(key)) {
                TranslateMessage(&key);
                DispatchMessageW(&key);
            }
        }
        PumpPending();
    }
    EXPECT_EQ(sample_clicks, 0);
}

TEST_F(Win32ToolkitTest, AModalWindowTurnsTheOthersOffUntilItGoes) {
    Show(sample_);
    const HWND owner = Win32Toolkit::WindowHandle(sample_);
    TestWindow dialog{kDialog};
    Show(dialog);
    bool owner_enabled_meanwhile = true;
    input_.on_close = [&](Window&) { owner_enabled_meanwhile = IsWindowEnabled(owner) != FALSE; };
    PostMessageW(Win32Toolkit::WindowHandle(dialog), WM_CLOSE, 0, 0);
    toolkit_.RunModal(dialog);  // returns once the close has unloaded the dialog
    EXPECT_EQ(input_.closed, std::vector<std::string>{"Dialog"});
    EXPECT_FALSE(owner_enabled_meanwhile);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_EQ(dialog.view(), nullptr);
}

TEST_F(Win32ToolkitTest, TheMainLoopDeliversInputUntilQuit) {
    Show(sample_);
    PostMessageW(Win32Toolkit::WindowHandle(sample_), WM_CLOSE, 0, 0);
    toolkit_.Quit();
    toolkit_.RunEventLoop();  // returns at the quit, after what was queued before it
    EXPECT_EQ(input_.closed, std::vector<std::string>{"Sample"});
}

}  // namespace
}  // namespace varnholt
