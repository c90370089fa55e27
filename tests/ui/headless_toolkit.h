// A toolkit without a screen: records the views it is asked for, every change mirrored onto
// them, modal runs, Quit and error reports, and plays the user through the input sink the way
// a real toolkit does (no input reaches a window that is hidden or behind a modal one).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/toolkit.h"

namespace varnholt::ui::testing {

// A control's state as one line, e.g. "Optiond=1", "Label1=Error password", "Image1=RW".
std::string StateOf(const Control& control);

class HeadlessToolkit final : public Toolkit {
  public:
    std::unique_ptr<WindowView> CreateView(Window& window, InputSink& input) override;
    void RunModal(Window& window) override;
    void Quit() override { ++quit_count; }
    Picture LoadPicture(std::string_view bitmap_name) override;
    void ShowErrorReport(const std::string& text) override { error_reports.push_back(text); }

    // The user. Each returns false when the window took no input (not visible, or another
    // window is modal).
    bool Click(Window& window, std::string_view control);  // button, option or check box
    // Replaces what the box holds, as selecting all, Delete and typing would.
    bool Type(Window& window, std::string_view text_box, std::string_view text);
    bool PressKey(Window& window, std::string_view text_box, KeyEvent key);
    bool Close(Window& window);

    bool Visible(const Window& window) const;
    Window* VisibleWindow(std::string_view name) const;  // null when none of that name shows

    // What happened, in order: "show Form1", "Form1.Image1=RW", "modal SetPassword",
    // "end modal SetPassword", "hide Login".
    std::vector<std::string> log;
    // Per view created: the state of every control when it became visible.
    std::vector<std::vector<std::string>> shown_states;
    // What the user does inside each modal run, one step per run, in order. When the steps
    // run out and the window is still open, the user closes it.
    std::deque<std::function<void(Window&)>> modal_steps;
    int quit_count = 0;
    std::vector<std::string> error_reports;

  private:
    class View;
    bool Accepts(const Window& window) const;
    template <typename Input>
    bool Deliver(Window& window, Input input);

    InputSink* sink_ = nullptr;
    std::vector<Window*> visible_;
    std::vector<const Window*> modal_;
};

}  // namespace varnholt::ui::testing
