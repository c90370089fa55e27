// The windows on USER32 and the common controls. Each window is a fixed dialog frame built
// from its description with CreateWindowExW; the controls only show the control model's state
// and hand every user input to the window flow, so the model decides what a click or a key does.
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/toolkit.h"

namespace varnholt::platform::win32 {

class Win32WindowView;

// The message box of an error nobody trapped; returns when the user has read it.
void ShowErrorMessage(const std::string& text);

class Win32Toolkit final : public ui::Toolkit {
  public:
    // Registers the window class; the icon and the pictures come from the module's resources.
    explicit Win32Toolkit(HINSTANCE instance);
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

    std::unique_ptr<ui::WindowView> CreateView(ui::Window& window, ui::InputSink& input) override;
    void RunModal(ui::Window& window) override;
    void Quit() override;
    ui::Picture LoadPicture(std::string_view bitmap_name) override;
    void ShowErrorReport(const std::string& text) override;

    // The main event loop, until Quit.
    void RunEventLoop();

    // Gives a message for one of our windows to the dialog manager (Tab, arrows, Enter);
    // true when it was taken there and must not be dispatched.
    bool RouteDialogKeys(MSG& message);

    HINSTANCE instance() const noexcept { return instance_; }
    // A bitmap already found by LoadPicture; null for any other name.
    HBITMAP Bitmap(const std::string& bitmap_name) const;
    // The on-screen window of a loaded window, and of one of its controls; null when the
    // window has no view.
    static HWND WindowHandle(const ui::Window& window);
    static HWND ControlHandle(const ui::Control& control);

  private:
    friend class Win32WindowView;

    // Runs the message loop until `done`; false when the process was asked to quit.
    bool PumpMessagesUntil(const std::function<bool()>& done);

    HINSTANCE instance_;
    HICON large_icon_ = nullptr;
    HICON small_icon_ = nullptr;
    ATOM form_class_ = 0;
    std::map<std::string, HBITMAP, std::less<>> bitmaps_;
    std::vector<Win32WindowView*> views_;  // every window on screen, oldest first
    // Names and live messages for screen readers (dynamic annotation); null where the system
    // has none, and the windows then tell only what USER32 tells of them.
    IAccPropServices* annotations_ = nullptr;
    bool joined_apartment_ = false;
};

}  // namespace varnholt::platform::win32
