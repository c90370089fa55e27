// The Win32 renderer against Wine's USER32, with the program's own window descriptions: changes
// made in code reach the screen, the user's input reaches the model, and a modal window holds
// the others off. How the windows look is seen in the end-to-end runs, not restated here.
#include "platform/win32/win32_toolkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/error.h"
#include "ui/form1.h"
#include "ui/login.h"
#include "ui/set_password.h"

namespace varnholt {
namespace {

using platform::win32::Win32Toolkit;
using namespace ui;  // NOLINT: the control model's names read best unqualified here

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
        closed.emplace_back(window.description().name);
        if (on_close) {
            on_close();
        }
        window.DetachView();
    }

    std::vector<std::string> closed;
    std::function<void()> on_close;
};

std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

class Win32ToolkitTest : public ::testing::Test {
  protected:
    void Show(TestWindow& window) { window.AttachView(toolkit_.CreateView(window, input_)); }
    static HWND Handle(const ui::Control& control) { return Win32Toolkit::ControlHandle(control); }

    Win32Toolkit toolkit_{GetModuleHandleW(nullptr)};
    RecordingInput input_;
    TestWindow main_{kForm1};
    TestWindow dialog_{kSetPassword};
};

TEST_F(Win32ToolkitTest, TabEntersTheOptionsAtTheSelectedOneAndArrowsStayInThem) {
    Show(main_);
    const HWND form = Win32Toolkit::WindowHandle(main_);
    const HWND button = Handle(main_.Control<CommandButton>("Command1"));
    const HWND first = Handle(main_.Control<OptionButton>("Optionrw"));
    const HWND third = Handle(main_.Control<OptionButton>("Optiond"));
    EXPECT_EQ(GetFocus(), button);                             // the lowest tab index
    EXPECT_EQ(GetNextDlgTabItem(form, button, FALSE), first);  // none selected yet
    main_.Control<OptionButton>("Optiond").SetValue(true);
    EXPECT_EQ(GetNextDlgTabItem(form, button, FALSE), third);
    EXPECT_EQ(GetNextDlgTabItem(form, third, FALSE), Handle(main_.Control<CheckBox>("Check1")));
    EXPECT_EQ(GetNextDlgGroupItem(form, third, FALSE), first);
}

TEST_F(Win32ToolkitTest, ChangesMadeInCodeReachTheScreen) {
    Show(main_);
    Show(dialog_);
    const auto checked = [this](const char* name) {
        return SendMessageW(Handle(*main_.FindControl(name)), BM_GETCHECK, 0, 0);
    };
    main_.Control<CheckBox>("Check1").SetValue(1);
    main_.Control<OptionButton>("Optionr").SetValue(true);
    main_.Control<OptionButton>("Optionrw").SetValue(true);
    EXPECT_EQ(checked("Check1"), BST_CHECKED);
    EXPECT_EQ(checked("Optionrw"), BST_CHECKED);
    EXPECT_EQ(checked("Optionr"), BST_UNCHECKED);
    dialog_.Control<Label>("Label4").SetCaption("Current password error");
    EXPECT_EQ(TextOf(Handle(dialog_.Control<Label>("Label4"))), L"Current password error");
    dialog_.Control<TextBox>("Text1").SetText("\xC3\xA1\xE2\x82\xAC");
    EXPECT_EQ(TextOf(Handle(dialog_.Control<TextBox>("Text1"))), L"\u00e1\u20ac");
}

// The program's own names are found in every end-to-end run; nothing else is.
TEST_F(Win32ToolkitTest, OnlyTheProgramsBitmapsAreFoundByName) {
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
    Show(main_);
    std::vector<std::string> clicks;
    const auto click = [&clicks](auto& control) {
        control.on_click = [&] { clicks.emplace_back(control.description().name); };
        SendMessageW(Handle(control), BM_CLICK, 0, 0);
    };
    click(main_.Control<CommandButton>("Command1"));
    click(main_.Control<OptionButton>("Optionr"));
    click(main_.Control<CheckBox>("Check1"));
    EXPECT_EQ(clicks, (std::vector<std::string>{"Command1", "Optionr", "Check1"}));
    EXPECT_TRUE(main_.Control<OptionButton>("Optionr").value());
    EXPECT_EQ(main_.Control<CheckBox>("Check1").value(), 1);

    Show(dialog_);
    std::vector<int> keys;
    TextBox& box = dialog_.Control<TextBox>("Text1");
    box.on_key_down = [&keys](KeyEvent key) { keys.push_back(key.key_code); };
    SetFocus(Handle(box));
    for (const wchar_t typed : std::wstring(L"m\u00e1")) {
        SendMessageW(Handle(box), WM_KEYDOWN, 'M', 0);
        SendMessageW(Handle(box), WM_CHAR, typed, 0);
    }
    SendMessageW(Handle(box), WM_KEYDOWN, VK_LEFT, 0);  // changes nothing, still a key going down
    EXPECT_EQ(box.text(), "m\xC3\xA1");
    EXPECT_EQ(keys, (std::vector<int>{'M', 'M', VK_LEFT}));
}

// Sends Enter to the control with the focus the way the main loop would, and delivers what the
// dialog manager posted in turn.
void PressEnter(Win32Toolkit& toolkit, HWND focus) {
    SendMessageW(GetAncestor(focus, GA_ROOT), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    for (const UINT kind : {UINT{WM_KEYDOWN}, UINT{WM_CHAR}, UINT{WM_KEYUP}}) {
        MSG key{focus, kind, kind == WM_CHAR ? WPARAM{L'\r'} : WPARAM{VK_RETURN}, 0, 0, {}};
        if (!toolkit.RouteDialogKeys(key)) {
            TranslateMessage(&key);
            DispatchMessageW(&key);
        }
    }
    for (MSG message{}; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

TEST_F(Win32ToolkitTest, EnterClicksTheDefaultButtonOnly) {
    TestWindow login{kLogin};
    Show(login);
    Show(dialog_);
    int clicks = 0;
    login.Control<CommandButton>("Command1").on_click = [&clicks] { ++clicks; };
    PressEnter(toolkit_, Handle(login.Control<TextBox>("Text1")));
    EXPECT_EQ(clicks, 1);
    // Without a default button Enter clicks nothing: not from a box, nor on a focused button,
    // where the dialog manager alone would click it.
    dialog_.Control<CommandButton>("Command1").on_click = [&clicks] { ++clicks; };
    PressEnter(toolkit_, Handle(dialog_.Control<TextBox>("Text1")));
    PressEnter(toolkit_, Handle(dialog_.Control<CommandButton>("Command1")));
    EXPECT_EQ(clicks, 1);
}

TEST_F(Win32ToolkitTest, AModalWindowTurnsTheOthersOffUntilItGoes) {
    Show(main_);
    Show(dialog_);
    const HWND owner = Win32Toolkit::WindowHandle(main_);
    bool owner_enabled_meanwhile = true;
    input_.on_close = [&] { owner_enabled_meanwhile = IsWindowEnabled(owner) != FALSE; };
    PostMessageW(Win32Toolkit::WindowHandle(dialog_), WM_CLOSE, 0, 0);
    toolkit_.RunModal(dialog_);  // returns once the close has unloaded the dialog
    EXPECT_EQ(input_.closed, std::vector<std::string>{"SetPassword"});
    EXPECT_FALSE(owner_enabled_meanwhile);
    EXPECT_TRUE(IsWindowEnabled(owner));
}

}  // namespace
}  // namespace varnholt
