// The Win32 renderer on Wine's USER32 with the program's windows: changes made in code and typing
// meet on the screen, Tab and Enter go where the windows say, a modal window holds the others off.
#include "platform/win32/win32_toolkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/form1.h"
#include "ui/login.h"
#include "ui/set_password.h"

namespace varnholt {
namespace {

using platform::win32::Win32Toolkit;
using namespace ui;  // NOLINT: the control model's names read best unqualified here

template <typename T>
T& Get(const Window& window, std::string_view name) {  // the control of that name and kind
    return dynamic_cast<T&>(*window.FindControl(name));
}

// Runs input at once, as the window flow does, and unloads a window on its close box.
class ImmediateInput final : public InputSink {
  public:
    void Dispatch(const std::function<void()>& input) override { input(); }
    void CloseRequested(Window& window) override {
        on_close();
        window.DetachView();
    }
    std::function<void()> on_close;
};

class Win32ToolkitTest : public ::testing::Test {
  protected:
    void Show(Window& window) { window.AttachView(toolkit_.CreateView(window, input_)); }
    static HWND Handle(const ui::Control& control) { return Win32Toolkit::ControlHandle(control); }

    Win32Toolkit toolkit_{GetModuleHandleW(nullptr)};
    ImmediateInput input_;
    Window main_{kForm1};
    Window dialog_{kSetPassword};
};

TEST_F(Win32ToolkitTest, ChangesMadeInCodeAndTypingMeetOnTheScreen) {
    Show(main_);
    Show(dialog_);
    const HWND form = Win32Toolkit::WindowHandle(main_);
    const HWND third = Handle(Get<OptionButton>(main_, "Optiond"));
    const HWND check = Handle(Get<CheckBox>(main_, "Check1"));
    Get<OptionButton>(main_, "Optiond").SetValue(true);
    Get<CheckBox>(main_, "Check1").SetValue(1);
    EXPECT_EQ(SendMessageW(third, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), BST_CHECKED);
    // Tab (forward: 0) enters the options at the selected one, the arrows stay in them.
    EXPECT_EQ(GetNextDlgTabItem(form, Handle(Get<CommandButton>(main_, "Command1")), 0), third);
    EXPECT_EQ(GetNextDlgTabItem(form, third, 0), check);
    EXPECT_EQ(GetNextDlgGroupItem(form, third, 0), Handle(Get<OptionButton>(main_, "Optionrw")));
    Get<Label>(dialog_, "Label4").SetCaption("Current password error");
    EXPECT_EQ(GetWindowTextLengthW(Handle(Get<Label>(dialog_, "Label4"))), 22);

    int keys_down = 0;
    TextBox& box = Get<TextBox>(dialog_, "Text1");
    box.on_key_down = [&keys_down] { ++keys_down; };
    box.SetText("\xE2\x82\xAC");
    SetFocus(Handle(box));
    SendMessageW(Handle(box), WM_KEYDOWN, VK_END, 0);  // changes nothing, still a key going down
    SendMessageW(Handle(box), WM_KEYDOWN, 'M', 0);
    SendMessageW(Handle(box), WM_CHAR, L'\u00e1', 0);
    EXPECT_EQ(box.text(), "\xE2\x82\xAC\xC3\xA1");
    EXPECT_EQ(keys_down, 2);
}

// Enter on the focused control as the main loop routes it, and what the dialog manager posts.
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
    Window login{kLogin};
    Show(login);
    Show(dialog_);
    int clicks = 0;
    Get<CommandButton>(login, "Command1").on_click = [&clicks] { ++clicks; };
    PressEnter(toolkit_, Handle(Get<TextBox>(login, "Text1")));
    EXPECT_EQ(clicks, 1);
    // No default button: nothing, not even on a focused button (the dialog manager would click).
    Get<CommandButton>(dialog_, "Command1").on_click = [&clicks] { ++clicks; };
    PressEnter(toolkit_, Handle(Get<TextBox>(dialog_, "Text1")));
    PressEnter(toolkit_, Handle(Get<CommandButton>(dialog_, "Command1")));
    EXPECT_EQ(clicks, 1);
}

TEST_F(Win32ToolkitTest, AModalWindowTurnsTheOthersOffUntilItGoes) {
    Show(main_);
    Show(dialog_);
    const HWND owner = Win32Toolkit::WindowHandle(main_);
    const HWND option = Handle(Get<OptionButton>(main_, "Optiond"));
    bool owner_enabled_meanwhile = true;
    input_.on_close = [&] {
        owner_enabled_meanwhile = IsWindowEnabled(owner) != FALSE;
        SendMessageW(option, BM_CLICK, 0, 0);  // as an accessibility client's default action
    };
    PostMessageW(Win32Toolkit::WindowHandle(dialog_), WM_CLOSE, 0, 0);
    toolkit_.RunModal(dialog_);  // returns once the close has unloaded the dialog
    EXPECT_FALSE(owner_enabled_meanwhile);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(Get<OptionButton>(main_, "Optiond").value());
    EXPECT_EQ(SendMessageW(option, BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

std::vector<HWND> live_regions_changed;
void CALLBACK RecordLiveRegion(HWINEVENTHOOK, DWORD, HWND region, LONG, LONG, DWORD, DWORD) {
    live_regions_changed.push_back(region);
}

// A refusal is read out as its text appears; a message cleared, or the one a window opens with,
// is not. (The names given by annotation need Windows itself: Wine's oleacc takes none.)
TEST_F(Win32ToolkitTest, ARefusalIsReadOutAsItsTextAppears) {
    const HWINEVENTHOOK hook =
        SetWinEventHook(EVENT_OBJECT_LIVEREGIONCHANGED, EVENT_OBJECT_LIVEREGIONCHANGED, nullptr,
                        RecordLiveRegion, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    Window login{kLogin};  // opens with a message of its own, which is not read out
    Show(login);
    Show(dialog_);
    Get<Label>(login, "Label1").SetCaption("Error password");
    Get<Label>(dialog_, "Label4").SetCaption("");
    Get<Label>(dialog_, "Label4").SetCaption("Confirm password error");
    for (MSG message{}; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
        DispatchMessageW(&message);
    }
    UnhookWinEvent(hook);
    EXPECT_EQ(live_regions_changed, (std::vector<HWND>{Handle(Get<Label>(login, "Label1")),
                                                       Handle(Get<Label>(dialog_, "Label4"))}));
}

}  // namespace
}  // namespace varnholt
