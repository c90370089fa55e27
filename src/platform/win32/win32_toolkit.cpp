#include "platform/win32/win32_toolkit.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/win32/resource_ids.h"
#include "platform/win32/win32_text.h"
#include "runtime/error.h"

namespace varnholt::platform::win32 {
namespace {

constexpr wchar_t kFormClass[] = L"VarnholtForm";
constexpr wchar_t kErrorReportTitle[] = L"Varnholt";
constexpr UINT kTwipsPerInch = 1440;
constexpr UINT kDefaultDpi = USER_DEFAULT_SCREEN_DPI;  // 96: 15 twips per pixel
// Control identifiers start clear of IDOK and IDCANCEL, which the dialog manager sends for
// Enter and Esc when no control claims them.
constexpr int kFirstControlId = 100;
// UI Automation's LiveSetting property, and its value for a message read out at once.
constexpr GUID kLiveSettingProperty{
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kLiveAssertive = 2;

// Functions of newer systems, looked up at run time so the program still starts on systems
// that only know system-wide density.
template <typename Function>
Function* User32Function(const char* name) {
    static const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC found = user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
    Function* function = nullptr;
    static_assert(sizeof function == sizeof found);
    std::memcpy(&function, &found, sizeof function);
    return function;
}

UINT DpiOf(HWND window) {
    static auto* const get_dpi_for_window = User32Function<UINT WINAPI(HWND)>("GetDpiForWindow");
    if (get_dpi_for_window != nullptr) {
        if (const UINT dpi = get_dpi_for_window(window); dpi != 0) {
            return dpi;
        }
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

int Pixels(int twips, UINT dpi) {
    return MulDiv(twips, static_cast<int>(dpi), kTwipsPerInch);
}

// The outer size of a window whose client area has the given size.
SIZE FrameSize(int client_width, int client_height, DWORD style, DWORD ex_style, UINT dpi) {
    static auto* const adjust_for_dpi =
        User32Function<BOOL WINAPI(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
    RECT frame{0, 0, client_width, client_height};
    if (adjust_for_dpi == nullptr || !adjust_for_dpi(&frame, style, FALSE, ex_style, dpi)) {
        AdjustWindowRectEx(&frame, style, FALSE, ex_style);
    }
    return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

// The system's dialog font at the given density.
HFONT CreateDialogFont(UINT dpi) {
    static auto* const parameters_for_dpi =
        User32Function<BOOL WINAPI(UINT, UINT, void*, UINT, UINT)>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (parameters_for_dpi == nullptr ||
        !parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
        if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        }
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), DpiOf(nullptr));
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

std::wstring WideText(std::string_view text) {
    // Every text shown comes from the program itself; an invalid one shows as nothing.
    return Widen(text).value_or(std::wstring());
}

// Pictures are named like the resources: letters, digits and underscores only, so that no
// name is read as a resource number ("#1") or reaches past the program's own bitmaps.
bool PlainResourceName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_';
    });
}

}  // namespace

// One window on the screen, from its load to its unload.
class Win32WindowView final : public ui::WindowView {
  public:
    Win32WindowView(Win32Toolkit& toolkit, ui::Window& window, ui::InputSink& input);
    ~Win32WindowView() override;
    Win32WindowView(const Win32WindowView&) = delete;
    Win32WindowView& operator=(const Win32WindowView&) = delete;

    void ControlChanged(const ui::Control& control) override;

    HWND handle() const noexcept { return form_; }
    bool HasDefaultButton() const noexcept {
        const auto controls = window_.description().controls;
        return std::any_of(controls.begin(), controls.end(),
                           [](const ui::ControlDescription& c) { return c.default_button; });
    }
    HWND ControlHandle(const ui::Control& control) const {
        const Child* child = Find(control);
        return child == nullptr ? nullptr : child->handle;
    }
    // Makes every other window of the process refuse input until this one goes, which then
    // sets *ended.
    void BecomeModal(bool* ended);

    static LRESULT CALLBACK FormProcedure(HWND form, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK TextBoxProcedure(HWND box, UINT message, WPARAM w, LPARAM l,
                                             UINT_PTR subclass_id, DWORD_PTR reference);

  private:
    struct Child {
        ui::Control* control;
        HWND handle;
    };

    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Send(const std::function<void()>& input) { input_.Dispatch(input); }
    void CreateChildren();
    HWND CreateChild(ui::Control& control, int id, bool starts_group);
    void AddToolTip(HWND child, std::string_view text);
    // Places the window and its controls for a density; the frame goes where `frame` says,
    // or centred on its monitor's work area.
    void Layout(UINT dpi, const RECT* frame);
    void Command(int id, int notification);
    void UpdateOptionTabStops();
    const Child* Find(const ui::Control& control) const;
    void Annotate(HWND child, const ui::ControlDescription& description);
    void SetAccessibleName(HWND child, std::string_view name);
    void EndModal();

    Win32Toolkit& toolkit_;
    ui::Window& window_;
    ui::InputSink& input_;
    HWND form_ = nullptr;
    HWND tool_tips_ = nullptr;
    HFONT font_ = nullptr;
    UINT dpi_ = kDefaultDpi;
    std::vector<Child> children_;     // in tab order
    std::vector<std::wstring> tips_;  // kept for the tool tip control
    std::vector<HWND> disabled_;      // windows this modal one turned off
    bool* modal_ended_ = nullptr;
    // Messages set from then on are read out; the one a window opens with is not.
    bool built_ = false;
};

Win32WindowView::Win32WindowView(Win32Toolkit& toolkit, ui::Window& window, ui::InputSink& input)
    : toolkit_(toolkit), window_(window), input_(input) {
    const ui::WindowDescription& description = window.description();
    // A fixed dialog frame: caption, system menu with close box, no sizing, no min/max box.
    constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    constexpr DWORD ex_style = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
    form_ = CreateWindowExW(ex_style, kFormClass, WideText(description.caption).c_str(), style,
                            CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr,
                            toolkit.instance(), this);
    if (form_ == nullptr) {
        const auto code = static_cast<std::uint32_t>(HRESULT_FROM_WIN32(GetLastError()));
        Raise(ErrorNumber(code), std::string(description.name), SystemMessage(code));
    }
    tool_tips_ =
        CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, form_, nullptr, toolkit.instance(), nullptr);
    CreateChildren();
    Layout(DpiOf(form_), nullptr);
    for (const Child& child : children_) {
        ControlChanged(*child.control);
    }
    built_ = true;
    toolkit_.views_.push_back(this);

    ShowWindow(form_, SW_SHOWNORMAL);
    SetForegroundWindow(form_);
    // Focus starts on the first control in tab order that takes it.
    const auto first = std::find_if(children_.begin(), children_.end(), [](const Child& child) {
        return (GetWindowLongW(child.handle, GWL_STYLE) & WS_TABSTOP) != 0;
    });
    if (first != children_.end()) {
        SendMessageW(form_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first->handle), TRUE);
    }
}

Win32WindowView::~Win32WindowView() {
    toolkit_.views_.erase(std::remove(toolkit_.views_.begin(), toolkit_.views_.end(), this),
                          toolkit_.views_.end());
    // Input that is still queued for the window finds no view any more.
    SetWindowLongPtrW(form_, GWLP_USERDATA, 0);
    MSAAPROPID annotated[] = {PROPID_ACC_NAME, kLiveSettingProperty};
    for (const Child& child : children_) {
        RemoveWindowSubclass(child.handle, TextBoxProcedure, 0);
        if (toolkit_.annotations_ != nullptr) {
            toolkit_.annotations_->ClearHwndProps(child.handle, static_cast<DWORD>(OBJID_CLIENT),
                                                  CHILDID_SELF, annotated, std::size(annotated));
        }
    }
    EndModal();
    DestroyWindow(form_);  // its controls and tool tips go with it
    DeleteObject(font_);
}

void Win32WindowView::CreateChildren() {
    // Created in tab order, which is the order the dialog manager walks with Tab; controls
    // that take no focus come last.
    std::vector<ui::Control*> ordered;
    for (const auto& control : window_.controls()) {
        ordered.push_back(control.get());
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](ui::Control* a, ui::Control* b) {
        const int a_index = a->description().tab_index;
        const int b_index = b->description().tab_index;
        if ((a_index == ui::kNoTabStop) != (b_index == ui::kNoTabStop)) {
            return b_index == ui::kNoTabStop;
        }
        return a_index < b_index;
    });
    bool in_option_group = false;
    int id = kFirstControlId;
    for (ui::Control* control : ordered) {
        // Options next to each other in tab order form one group for the arrow keys; every
        // other control is a group of its own.
        const bool option = control->description().kind == ui::ControlKind::kOptionButton;
        const HWND child = CreateChild(*control, id, !(option && in_option_group));
        in_option_group = option;
        if (control->description().default_button) {
            // Enter anywhere in the window clicks it, unless another button has the focus.
            SendMessageW(form_, DM_SETDEFID, static_cast<WPARAM>(id), 0);
        }
        ++id;
        children_.push_back(Child{control, child});
        Annotate(child, control->description());
        if (!control->description().tool_tip.empty()) {
            AddToolTip(child, control->description().tool_tip);
        }
    }
}

HWND Win32WindowView::CreateChild(ui::Control& control, int id, bool starts_group) {
    const ui::ControlDescription& description = control.description();
    const wchar_t* window_class = WC_STATICW;
    DWORD style = WS_CHILD | WS_VISIBLE | (starts_group ? WS_GROUP : 0);
    DWORD ex_style = 0;
    switch (description.kind) {
        case ui::ControlKind::kCommandButton:
            window_class = WC_BUTTONW;
            style |= WS_TABSTOP | (description.default_button ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
            break;
        case ui::ControlKind::kOptionButton:
            // Tab stops among the options follow the selection (UpdateOptionTabStops).
            window_class = WC_BUTTONW;
            style |= BS_AUTORADIOBUTTON;
            break;
        case ui::ControlKind::kCheckBox:
            // Not automatic: the model says when the box is checked.
            window_class = WC_BUTTONW;
            style |= WS_TABSTOP | BS_CHECKBOX;
            break;
        case ui::ControlKind::kTextBox:
            window_class = WC_EDITW;
            style |= WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT |
                     (description.password_char != '\0' ? ES_PASSWORD : 0);
            ex_style |= WS_EX_CLIENTEDGE;
            break;
        case ui::ControlKind::kLabel:
            style |=
                SS_NOPREFIX | (description.alignment == ui::TextAlignment::kRight    ? SS_RIGHT
                               : description.alignment == ui::TextAlignment::kCenter ? SS_CENTER
                                                                                     : SS_LEFT);
            break;
        case ui::ControlKind::kPictureBox:
            style |= SS_BITMAP;  // the bitmap at its natural size, from the top-left corner
            break;
    }
    const std::wstring caption = description.kind == ui::ControlKind::kTextBox ||
                                         description.kind == ui::ControlKind::kPictureBox
                                     ? std::wstring()
                                     : WideText(description.caption);
    const HWND child = CreateWindowExW(ex_style, window_class, caption.c_str(), style, 0, 0, 0, 0,
                                       form_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                       toolkit_.instance(), nullptr);
    if (description.kind == ui::ControlKind::kTextBox) {
        if (description.password_char != '\0') {
            SendMessageW(child, EM_SETPASSWORDCHAR,
                         static_cast<WPARAM>(static_cast<unsigned char>(description.password_char)),
                         0);
        }
        SetWindowSubclass(child, TextBoxProcedure, 0, reinterpret_cast<DWORD_PTR>(&control));
    }
    return child;
}

// Created in tab order, a box follows the label before it rather than its own, so the system's
// rule (the text just before a box names it) would misname it: boxes get their names here.
void Win32WindowView::Annotate(HWND child, const ui::ControlDescription& description) {
    SetAccessibleName(child, description.accessible_name);
    if (description.announces_caption && toolkit_.annotations_ != nullptr) {
        VARIANT assertive;
        VariantInit(&assertive);
        assertive.vt = VT_I4;
        assertive.lVal = kLiveAssertive;
        toolkit_.annotations_->SetHwndProp(child, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                           kLiveSettingProperty, assertive);
    }
}

void Win32WindowView::SetAccessibleName(HWND child, std::string_view name) {
    if (!name.empty() && toolkit_.annotations_ != nullptr) {
        toolkit_.annotations_->SetHwndPropStr(child, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                              PROPID_ACC_NAME, WideText(name).c_str());
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, child, OBJID_CLIENT, CHILDID_SELF);
    }
}

void Win32WindowView::AddToolTip(HWND child, std::string_view text) {
    tips_.push_back(WideText(text));
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = form_;
    tool.uId = reinterpret_cast<UINT_PTR>(child);
    tool.lpszText = tips_.back().data();
    SendMessageW(tool_tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void Win32WindowView::Layout(UINT dpi, const RECT* frame) {
    dpi_ = dpi;
    const HFONT old_font = font_;
    font_ = CreateDialogFont(dpi);
    const ui::WindowDescription& description = window_.description();
    constexpr DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    const SIZE size =
        FrameSize(Pixels(description.client_width, dpi), Pixels(description.client_height, dpi),
                  style, WS_EX_CONTROLPARENT | WS_EX_APPWINDOW, dpi);
    RECT placed{};
    if (frame != nullptr) {
        placed = *frame;
    } else {
        // Centred on the work area of the monitor the window was made on.
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(form_, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT& work = monitor.rcWork;
        placed.left = work.left + (work.right - work.left - size.cx) / 2;
        placed.top = work.top + (work.bottom - work.top - size.cy) / 2;
    }
    SetWindowPos(form_, nullptr, placed.left, placed.top, size.cx, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    for (const Child& child : children_) {
        const ui::ControlDescription& place = child.control->description();
        // A picture keeps its bitmap's own size; only its corner is placed.
        const UINT keep_size =
            place.kind == ui::ControlKind::kPictureBox ? static_cast<UINT>(SWP_NOSIZE) : 0u;
        SetWindowPos(child.handle, nullptr, Pixels(place.left, dpi), Pixels(place.top, dpi),
                     Pixels(place.width, dpi), Pixels(place.height, dpi),
                     SWP_NOZORDER | SWP_NOACTIVATE | keep_size);
        SendMessageW(child.handle, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    }
    if (old_font != nullptr) {
        DeleteObject(old_font);
    }
}

const Win32WindowView::Child* Win32WindowView::Find(const ui::Control& control) const {
    const auto found =
        std::find_if(children_.begin(), children_.end(),
                     [&control](const Child& child) { return child.control == &control; });
    return found == children_.end() ? nullptr : &*found;
}

void Win32WindowView::ControlChanged(const ui::Control& control) {
    const Child* child = Find(control);
    if (child == nullptr) {
        return;
    }
    switch (control.description().kind) {
        case ui::ControlKind::kCommandButton:
            break;
        case ui::ControlKind::kOptionButton:
            SendMessageW(
                child->handle, BM_SETCHECK,
                static_cast<const ui::OptionButton&>(control).value() ? BST_CHECKED : BST_UNCHECKED,
                0);
            UpdateOptionTabStops();
            break;
        case ui::ControlKind::kCheckBox:
            SendMessageW(child->handle, BM_SETCHECK,
                         static_cast<const ui::CheckBox&>(control).value() == 1 ? BST_CHECKED
                                                                                : BST_UNCHECKED,
                         0);
            break;
        case ui::ControlKind::kTextBox: {
            const std::wstring text = WideText(static_cast<const ui::TextBox&>(control).text());
            const int length = GetWindowTextLengthW(child->handle);
            std::wstring shown(static_cast<std::size_t>(length) + 1, L'\0');
            shown.resize(
                static_cast<std::size_t>(GetWindowTextW(child->handle, shown.data(), length + 1)));
            if (shown != text) {
                SetWindowTextW(child->handle, text.c_str());
            }
            break;
        }
        case ui::ControlKind::kLabel: {
            const std::string& caption = static_cast<const ui::Label&>(control).caption();
            SetWindowTextW(child->handle, WideText(caption).c_str());
            if (built_ && control.description().announces_caption && !caption.empty()) {
                NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, child->handle, OBJID_CLIENT,
                               CHILDID_SELF);
            }
            break;
        }
        case ui::ControlKind::kPictureBox: {
            const auto& picture = static_cast<const ui::PictureBox&>(control);
            SendMessageW(child->handle, STM_SETIMAGE, IMAGE_BITMAP,
                         reinterpret_cast<LPARAM>(toolkit_.Bitmap(picture.picture())));
            SetAccessibleName(child->handle, picture.alternative_text());
            break;
        }
    }
}

// As in any group of options on Windows, Tab reaches the selected option (the first when
// none is), and the arrow keys move between them. Tab alone never selects one.
void Win32WindowView::UpdateOptionTabStops() {
    const Child* first = nullptr;
    bool any_selected = false;
    for (const Child& child : children_) {
        if (child.control->description().kind != ui::ControlKind::kOptionButton) {
            continue;
        }
        if (first == nullptr) {
            first = &child;
        }
        const bool selected = static_cast<const ui::OptionButton*>(child.control)->value();
        any_selected = any_selected || selected;
        LONG style = GetWindowLongW(child.handle, GWL_STYLE);
        style = selected ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP);
        SetWindowLongW(child.handle, GWL_STYLE, style);
    }
    if (first != nullptr && !any_selected) {
        SetWindowLongW(first->handle, GWL_STYLE,
                       GetWindowLongW(first->handle, GWL_STYLE) | WS_TABSTOP);
    }
}

void Win32WindowView::Command(int id, int notification) {
    const std::size_t index = static_cast<std::size_t>(id - kFirstControlId);
    if (id < kFirstControlId || index >= children_.size()) {
        return;  // Enter or Esc with no control of theirs: nothing to do
    }
    ui::Control& control = *children_[index].control;
    const HWND handle = children_[index].handle;
    // A window a modal one holds off takes no input; only an accessibility client's action can
    // still reach its controls, and what that changed on the screen goes back to the model's.
    if (!IsWindowEnabled(form_)) {
        for (const Child& child : children_) {
            if (child.control->description().kind != ui::ControlKind::kLabel) {
                ControlChanged(*child.control);
            }
        }
        return;
    }
    switch (control.description().kind) {
        case ui::ControlKind::kCommandButton:
            if (notification == BN_CLICKED) {
                auto& button = static_cast<ui::CommandButton&>(control);
                Send([&button] { button.Click(); });
            }
            break;
        case ui::ControlKind::kOptionButton:
            if (notification == BN_CLICKED) {
                auto& option = static_cast<ui::OptionButton&>(control);
                Send([&option] { option.SetValue(true); });
            }
            break;
        case ui::ControlKind::kCheckBox:
            if (notification == BN_CLICKED) {
                auto& check_box = static_cast<ui::CheckBox&>(control);
                Send([&check_box] { check_box.Toggle(); });
            }
            break;
        case ui::ControlKind::kTextBox:
            if (notification == EN_CHANGE) {
                const int length = GetWindowTextLengthW(handle);
                std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
                text.resize(
                    static_cast<std::size_t>(GetWindowTextW(handle, text.data(), length + 1)));
                auto& box = static_cast<ui::TextBox&>(control);
                Send([&box, typed = Narrow(text)]() mutable { box.TextEdited(std::move(typed)); });
            }
            break;
        case ui::ControlKind::kLabel:
        case ui::ControlKind::kPictureBox:
            break;
    }
}

void Win32WindowView::BecomeModal(bool* ended) {
    modal_ended_ = ended;
    for (Win32WindowView* other : toolkit_.views_) {
        if (other != this && IsWindowEnabled(other->form_)) {
            EnableWindow(other->form_, FALSE);
            disabled_.push_back(other->form_);
        }
    }
}

// The other windows take input again before this one goes, so activation passes to them
// rather than to another program.
void Win32WindowView::EndModal() {
    if (modal_ended_ != nullptr) {
        *modal_ended_ = true;
    }
    for (HWND other : disabled_) {
        if (IsWindow(other)) {
            EnableWindow(other, TRUE);
        }
    }
    if (!disabled_.empty() && GetActiveWindow() == form_ && IsWindow(disabled_.back())) {
        SetActiveWindow(disabled_.back());
    }
    disabled_.clear();
}

LRESULT CALLBACK Win32WindowView::FormProcedure(HWND form, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(l);
        SetWindowLongPtrW(form, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    auto* view = reinterpret_cast<Win32WindowView*>(GetWindowLongPtrW(form, GWLP_USERDATA));
    if (view != nullptr && view->form_ == nullptr) {
        view->form_ = form;  // messages sent while CreateWindowExW has not yet returned
    }
    if (view != nullptr) {
        return view->Handle(message, w, l);
    }
    return DefDlgProcW(form, message, w, l);
}

LRESULT Win32WindowView::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            // The view may be gone when this returns: nothing of it is used afterwards.
            Command(LOWORD(w), HIWORD(w));
            return 0;
        case WM_CLOSE:
            input_.CloseRequested(window_);
            return 0;
        case WM_DPICHANGED:
            Layout(HIWORD(w), reinterpret_cast<const RECT*>(l));
            return 0;
        default:
            // The dialog manager's own handling: default button, focus, Tab and arrow keys.
            return DefDlgProcW(form_, message, w, l);
    }
}

// A key going down in a text box reaches the model before the box acts on it, as KeyDown
// comes before the typing it starts.
LRESULT CALLBACK Win32WindowView::TextBoxProcedure(HWND box, UINT message, WPARAM w, LPARAM l,
                                                   UINT_PTR, DWORD_PTR reference) {
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
        const HWND form = GetParent(box);
        auto* view = reinterpret_cast<Win32WindowView*>(GetWindowLongPtrW(form, GWLP_USERDATA));
        if (view != nullptr) {
            auto& text_box = *reinterpret_cast<ui::TextBox*>(reference);
            view->Send([&text_box] { text_box.KeyDown(); });
        }
        if (!IsWindow(box)) {
            return 0;  // the key unloaded the window
        }
    }
    return DefSubclassProc(box, message, w, l);
}

Win32Toolkit::Win32Toolkit(HINSTANCE instance) : instance_(instance) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    joined_apartment_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IAccPropServices, reinterpret_cast<void**>(&annotations_)))) {
        annotations_ = nullptr;
    }

    large_icon_ =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(VARNHOLT_ICON), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    small_icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(VARNHOLT_ICON),
                                                IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                GetSystemMetrics(SM_CYSMICON), 0));
    WNDCLASSEXW form_class{};
    form_class.cbSize = sizeof form_class;
    form_class.lpfnWndProc = Win32WindowView::FormProcedure;
    form_class.cbWndExtra = DLGWINDOWEXTRA;  // the dialog manager keeps its state there
    form_class.hInstance = instance;
    form_class.hIcon = large_icon_;
    form_class.hIconSm = small_icon_;
    form_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    form_class.lpszClassName = kFormClass;
    form_class_ = RegisterClassExW(&form_class);
    if (form_class_ == 0) {
        const auto code = static_cast<std::uint32_t>(HRESULT_FROM_WIN32(GetLastError()));
        Raise(ErrorNumber(code), "Varnholt", SystemMessage(code));
    }
}

Win32Toolkit::~Win32Toolkit() {
    UnregisterClassW(kFormClass, instance_);
    for (const auto& [name, bitmap] : bitmaps_) {
        DeleteObject(bitmap);
    }
    DestroyIcon(large_icon_);
    DestroyIcon(small_icon_);
    if (annotations_ != nullptr) {
        annotations_->Release();
    }
    if (joined_apartment_) {
        CoUninitialize();
    }
}

std::unique_ptr<ui::WindowView> Win32Toolkit::CreateView(ui::Window& window, ui::InputSink& input) {
    return std::make_unique<Win32WindowView>(*this, window, input);
}

void Win32Toolkit::RunModal(ui::Window& window) {
    auto* view = dynamic_cast<Win32WindowView*>(window.view());
    if (view == nullptr) {
        return;
    }
    // The view ends the loop from its destructor; nothing of it is touched after that.
    bool ended = false;
    view->BecomeModal(&ended);
    PumpMessagesUntil([&ended] { return ended; });
}

void Win32Toolkit::Quit() {
    PostQuitMessage(0);
}

void Win32Toolkit::RunEventLoop() {
    PumpMessagesUntil([] { return false; });
}

bool Win32Toolkit::PumpMessagesUntil(const std::function<bool()>& done) {
    MSG message{};
    while (!done()) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the loop outside this one
            return false;
        }
        if (got == -1) {
            return false;
        }
        if (RouteDialogKeys(message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

bool Win32Toolkit::RouteDialogKeys(MSG& message) {
    const HWND root = GetAncestor(message.hwnd, GA_ROOT);
    const auto view = std::find_if(
        views_.begin(), views_.end(),
        [root](const Win32WindowView* candidate) { return candidate->handle() == root; });
    if (view == views_.end()) {
        return false;
    }
    // The dialog manager would let Enter click a focused button; in a window without a default
    // button Enter clicks nothing, so it is dropped before it gets there.
    const bool enter = (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) ||
                       (message.message == WM_CHAR && message.wParam == L'\r');
    if (enter && !(*view)->HasDefaultButton()) {
        return true;
    }
    return IsDialogMessageW(root, &message) != FALSE;
}

ui::Picture Win32Toolkit::LoadPicture(std::string_view bitmap_name) {
    std::string key(bitmap_name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (bitmaps_.find(key) == bitmaps_.end()) {
        const std::wstring name = WideText(key);
        if (!PlainResourceName(key) ||
            FindResourceW(instance_, name.c_str(), RT_BITMAP) == nullptr) {
            Raise(runtime_error_number::kResourceNotFound, "Varnholt",
                  "Resource with identifier '" + std::string(bitmap_name) + "' not found");
        }
        const auto bitmap = static_cast<HBITMAP>(
            LoadImageW(instance_, name.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        if (bitmap == nullptr) {
            Raise(runtime_error_number::kInvalidPicture, "Varnholt", "Invalid picture");
        }
        bitmaps_.emplace(key, bitmap);
    }
    return ui::Picture{key};
}

HBITMAP Win32Toolkit::Bitmap(const std::string& bitmap_name) const {
    const auto found = bitmaps_.find(bitmap_name);
    return found == bitmaps_.end() ? nullptr : found->second;
}

HWND Win32Toolkit::WindowHandle(const ui::Window& window) {
    const auto* view = dynamic_cast<const Win32WindowView*>(window.view());
    return view == nullptr ? nullptr : view->handle();
}

HWND Win32Toolkit::ControlHandle(const ui::Control& control) {
    const auto* view = dynamic_cast<const Win32WindowView*>(control.window().view());
    return view == nullptr ? nullptr : view->ControlHandle(control);
}

void ShowErrorMessage(const std::string& text) {
    MessageBoxW(nullptr, WideText(text).c_str(), kErrorReportTitle,
                MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

void Win32Toolkit::ShowErrorReport(const std::string& text) {
    ShowErrorMessage(text);
}

}  // namespace varnholt::platform::win32
