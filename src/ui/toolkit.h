// What the windows need of a windowing toolkit, and nothing more. One implementation per
// toolkit (Qt on Linux, Win32 on Windows), and a headless one in the tests.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/controls.h"

namespace varnholt::ui {

// Where a toolkit sends the user's input (implemented by the window flow).
class InputSink {
  public:
    virtual ~InputSink() = default;
    // Runs what one input raises (a call on a control: Click, SetValue, Toggle, KeyDown,
    // TextEdited). An error that leaves it untrapped ends the process with the error report.
    virtual void Dispatch(const std::function<void()>& input) = 0;
    // The user closed the window with its close box: it is unloaded.
    virtual void CloseRequested(Window& window) = 0;
};

class Toolkit {
  public:
    virtual ~Toolkit() = default;

    // Builds the on-screen window from the window's description and the current state of its
    // controls, makes it visible, and returns its view. Input on it goes to `input`.
    virtual std::unique_ptr<WindowView> CreateView(Window& window, InputSink& input) = 0;

    // Runs a nested event loop until the window's view has been detached (the window was
    // unloaded); meanwhile no other window of the process takes input.
    virtual void RunModal(Window& window) = 0;

    // Ends the main event loop: no window is loaded any more.
    virtual void Quit() = 0;

    // The program's bitmap of that name; raises an Error when there is none.
    virtual Picture LoadPicture(std::string_view bitmap_name) = 0;

    // Shows the report of an error nobody trapped and returns when the user has read it.
    virtual void ShowErrorReport(const std::string& text) = 0;
};

}  // namespace varnholt::ui
