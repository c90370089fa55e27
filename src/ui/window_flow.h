// What the windows' handlers ask of the window flow: showing and unloading windows, and the
// program's bitmaps. Implemented by the application; the handlers never see a toolkit.
#pragma once

#include <string_view>

#include "ui/controls.h"

namespace varnholt::ui {

// Each window has at most one instance in the process.
enum class WindowId { kLogin, kForm1, kSetPassword };

class WindowFlow {
  public:
    virtual ~WindowFlow() = default;

    // Loads the window if needed (its Form_Load runs first), makes it visible, returns at once.
    virtual void ShowModeless(WindowId id) = 0;
    // As ShowModeless, then returns only once the window has been unloaded; meanwhile the
    // other windows take no input.
    virtual void ShowModal(WindowId id) = 0;
    // Hides the window and destroys its controls; a handler may unload its own window.
    virtual void Unload(WindowId id) = 0;
    // The program's bitmap of that name; raises an Error when there is none.
    virtual Picture LoadPicture(std::string_view bitmap_name) = 0;
};

}  // namespace varnholt::ui
