// The Win32 renderer against Wine's USER32 and common controls: each window is built as its
// description says, changes made in code reach the screen, and the user's input reaches the
// model. Runs at Wine's default density, 96 dots per inch: 15 twips to the pixel.
#include "platform/win32/win32_toolkit.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/win32/resource_ids.h"
#include "platform/win32/win32_text.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

using platform::win32::Win32Toolkit;
using namespace ui;  // NOLINT: the control model's names read best unqualified here

constexpr std::array kSampleControls{
    ControlDescription{ControlKind::kCommandButton, "Command1", "Go", "", 240, 3480, 1815, 495, 0},
    ControlDescription{ControlKind::kOptionButton, "OptionA", "First", "Tip of the first", 2760,
                       360, 1695, 495, 1},
    ControlDescription{ControlKind::kOptionButton, "OptionB", "Second", "", 2760, 960, 1335, 495,
                       2},
    ControlDescription{ControlKind::kOptionButton, "OptionC", "Third", "", 2760, 1560, 1215, 375,
                       3},
    ControlDescription{ControlKind::kCheckBox, "Check1", "Check", "Ends in a blank ", 2760, 2280,
                       1695, 375, 4},
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 120, 2880, 1500, 375, 5, false, '*'},
    ControlDescription{ControlKind::kLabel, "Label1", "Right", "", 1700, 2880, 1000, 255, 6, false,
                       '\0', TextAlignment::kRight},
    ControlDescription{ControlKind::kLabel, "Label2", "Centre & more", "", 120, 3240, 2000, 200, 7,
                       false, '\0', TextAlignment::kCenter},
    ControlDescription{ControlKind::kPictureBox, "Image1", "", "", 120, 240, 2430, 2430,
                       kNoTabStop},
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
    void Dispatch(const std::function<void()>& input) override {
        ++dispatched;
        input();
    }
    void CloseRequested(Window& window) override {
        closed.push_back(std::string(window.description().name));
        if (on_close) {
            on_close(window);
        }
        window.DetachView();
    }

    int dispatched = 0;
    std::vector<std::string> closed;
    std::function<void(Window&)> on_close;
};

std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

LONG StyleOf(HWND window) {
    return GetWindowLongW(window, GWL_STYLE);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

RECT ClientPlace(HWND control) {  // in the parent's client coordinates
    RECT place{};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
    return place;
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

TEST_F(Win32ToolkitTest, TheWindowIsAFixedDialogFrameOfTheDescribedClientSize) {
    Show(sample_);
    const HWND form = Win32Toolkit::WindowHandle(sample_);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(IsWindowVisible(form));
    EXPECT_EQ(TextOf(form), L"Sample window");
    const LONG style = StyleOf(form);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    RECT client{};
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, 327);   // 4905 twips
    EXPECT_EQ(client.bottom, 276);  // 4140 twips
    // The program icon, small and large, as every window carries it.
    EXPECT_NE(GetClassLongPtrW(form, GCLP_HICONSM), 0);
    EXPECT_NE(GetClassLongPtrW(form, GCLP_HICON), 0);
}

TEST_F(Win32ToolkitTest, ControlsStandAtTheirTwipPositionsAsTheirKindsOfControl) {
    Show(sample_);
    const HWND button = Handle(sample_.Control<CommandButton>("Command1"));
    EXPECT_EQ(ClassOf(button), L"Button");
    EXPECT_EQ(TextOf(button), L"Go");
    const RECT place = ClientPlace(button);
    EXPECT_EQ(place.left, 16);     // 240 twips
    EXPECT_EQ(place.top, 232);     // 3480
    EXPECT_EQ(place.right, 137);   // 240 + 1815
    EXPECT_EQ(place.bottom, 265);  // 3480 + 495

    const HWND text = Handle(sample_.Control<TextBox>("Text1"));
    EXPECT_EQ(ClassOf(text), L"Edit");
    EXPECT_TRUE(StyleOf(text) & ES_PASSWORD);
    EXPECT_EQ(SendMessageW(text, EM_GETPASSWORDCHAR, 0, 0), L'*');

    const HWND right = Handle(sample_.Control<Label>("Label1"));
    EXPECT_EQ(StyleOf(right) & SS_TYPEMASK, SS_RIGHT);
    const HWND centred = Handle(sample_.Control<Label>("Label2"));
    EXPECT_EQ(StyleOf(centred) & SS_TYPEMASK, SS_CENTER);
    EXPECT_TRUE(StyleOf(centred) & SS_NOPREFIX);  // an ampersand is shown, not an access key
    EXPECT_EQ(TextOf(centred), L"Centre & more");

    const HWND check = Handle(sample_.Control<CheckBox>("Check1"));
    EXPECT_EQ(StyleOf(check) & BS_TYPEMASK, BS_CHECKBOX);
    const HWND picture = Handle(sample_.Control<PictureBox>("Image1"));
    EXPECT_EQ(StyleOf(picture) & SS_TYPEMASK, SS_BITMAP);
}

TEST_F(Win32ToolkitTest, ControlsUseTheSystemsDialogFont) {
    Show(sample_);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const auto font = reinterpret_cast<HFONT>(
        SendMessageW(Handle(sample_.Control<CommandButton>("Command1")), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW used{};
    GetObjectW(font, sizeof used, &used);
    EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName);
    EXPECT_EQ(used.lfHeight, metrics.lfMessageFont.lfHeight);
}

TEST_F(Win32ToolkitTest, TheOptionsAreOneGroupAndTabReachesOnlyTheSelectedOne) {
    Show(sample_);
    const HWND first = Handle(sample_.Control<OptionButton>("OptionA"));
    const HWND second = Handle(sample_.Control<OptionButton>("OptionB"));
    const HWND third = Handle(sample_.Control<OptionButton>("OptionC"));
    const HWND check = Handle(sample_.Control<CheckBox>("Check1"));
    EXPECT_TRUE(StyleOf(first) & WS_GROUP);
    EXPECT_FALSE(StyleOf(second) & WS_GROUP);
    EXPECT_FALSE(StyleOf(third) & WS_GROUP);
    EXPECT_TRUE(StyleOf(check) & WS_GROUP);  // the group ends before the check box
    // None selected: the first option is the way in.
    EXPECT_TRUE(StyleOf(first) & WS_TABSTOP);
    EXPECT_FALSE(StyleOf(third) & WS_TABSTOP);

    sample_.Control<OptionButton>("OptionC").SetValue(true);
    EXPECT_EQ(SendMessageW(third, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_FALSE(StyleOf(first) & WS_TABSTOP);
    EXPECT_TRUE(StyleOf(third) & WS_TABSTOP);

    // Tab order is the order of the tab indexes, entering the group at its selection.
    const HWND form = Win32Toolkit::WindowHandle(sample_);
    const HWND button = Handle(sample_.Control<CommandButton>("Command1"));
    EXPECT_EQ(GetNextDlgTabItem(form, button, FALSE), third);
    EXPECT_EQ(GetNextDlgTabItem(form, third, FALSE), check);
    EXPECT_EQ(GetNextDlgTabItem(form, check, FALSE), Handle(sample_.Control<TextBox>("Text1")));
    // The arrow keys stay within the options.
    EXPECT_EQ(GetNextDlgGroupItem(form, third, FALSE), first);
}

TEST_F(Win32ToolkitTest, FocusStartsOnTheLowestTabIndex) {
    Show(sample_);
    EXPECT_EQ(GetFocus(), Handle(sample_.Control<CommandButton>("Command1")));
}

TEST_F(Win32ToolkitTest, ChangesMadeInCodeReachTheScreen) {
    Show(sample_);
    sample_.Control<Label>("Label1").SetCaption("Error password");
    EXPECT_EQ(TextOf(Handle(sample_.Control<Label>("Label1"))), L"Error password");
    sample_.Control<CheckBox>("Check1").SetValue(1);
    EXPECT_EQ(SendMessageW(Handle(sample_.Control<CheckBox>("Check1")), BM_GETCHECK, 0, 0),
              BST_CHECKED);
    sample_.Control<OptionButton>("OptionB").SetValue(true);
    sample_.Control<OptionButton>("OptionA").SetValue(true);
    EXPECT_EQ(SendMessageW(Handle(sample_.Control<OptionButton>("OptionA")), BM_GETCHECK, 0, 0),
              BST_CHECKED);
    EXPECT_EQ(SendMessageW(Handle(sample_.Control<OptionButton>("OptionB")), BM_GETCHECK, 0, 0),
              BST_UNCHECKED);
    sample_.Control<TextBox>("Text1").SetText("\xC3\xA1\xE2\x82\xAC");
    EXPECT_EQ(TextOf(Handle(sample_.Control<TextBox>("Text1"))), L"\u00e1\u20ac");
}

TEST_F(Win32ToolkitTest, APictureShowsItsBitmapAtNaturalSizeFromTheTopLeft) {
    Show(sample_);
    const Picture picture = toolkit_.LoadPicture("READONLY");
    sample_.Control<PictureBox>("Image1").SetPicture(picture);
    const HWND image = Handle(sample_.Control<PictureBox>("Image1"));
    EXPECT_EQ(reinterpret_cast<HBITMAP>(SendMessageW(image, STM_GETIMAGE, IMAGE_BITMAP, 0)),
              toolkit_.Bitmap("READONLY"));
    const RECT place = ClientPlace(image);
    EXPECT_EQ(place.left, 8);  // 120 twips
    EXPECT_EQ(place.top, 16);  // 240 twips
    EXPECT_EQ(place.right - place.left, 162);
    EXPECT_EQ(place.bottom - place.top, 162);
}

TEST_F(Win32ToolkitTest, PicturesAreFoundByNameAsThe24BitBitmapsOfTheProgram) {
    for (const char* name : {"DISABLE", "READONLY", "RW", "rw"}) {
        const Picture picture = toolkit_.LoadPicture(name);
        BITMAP bitmap{};
        ASSERT_NE(GetObjectW(toolkit_.Bitmap(picture.bitmap_name), sizeof bitmap, &bitmap), 0)
            << name;
        EXPECT_EQ(bitmap.bmWidth, 162);
        EXPECT_EQ(bitmap.bmHeight, 162);
        EXPECT_EQ(bitmap.bmBitsPixel, 24);
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
    const HWND button = Handle(dialog.Control<CommandButton>("Command1"));
    EXPECT_EQ(StyleOf(button) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(LOWORD(SendMessageW(form, DM_GETDEFID, 0, 0)), GetDlgCtrlID(button));
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
