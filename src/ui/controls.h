// The toolkit-independent model of windows and their controls. Windows are data (a
// design-time description) plus handlers; a toolkit backend renders a loaded window from its
// description, mirrors every change made in code onto the screen, and turns the user's input
// into calls on these objects. So the order of events is the same on every toolkit.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnholt::ui {

enum class ControlKind { kCommandButton, kOptionButton, kCheckBox, kTextBox, kLabel, kPictureBox };
enum class TextAlignment { kLeft, kRight, kCenter };

inline constexpr int kNoTabStop = -1;

// Positions and sizes are in twips (1/1440 inch) from the top-left of the client area.
struct ControlDescription {
    ControlKind kind;
    std::string_view name;
    std::string_view caption;   // empty where the control has none
    std::string_view tool_tip;  // empty: no tool tip
    int left;
    int top;
    int width;
    int height;
    int tab_index;                // kNoTabStop: takes no focus
    bool default_button = false;  // Enter anywhere in the window clicks it
    char password_char = '\0';    // when set, each character is shown as this one
    TextAlignment alignment = TextAlignment::kLeft;
    // What a screen reader calls a control that shows no caption of its own.
    std::string_view accessible_name = {};
    // A message line: each caption set on it is read out at once, wherever the focus is.
    bool announces_caption = false;
};

struct WindowDescription {
    std::string_view name;
    std::string_view caption;
    int client_width;  // twips
    int client_height;
    std::span<const ControlDescription> controls;
    std::string_view option_group_name =
        {};  // what the window's options choose, for screen readers
    // The program's main window; screen readers take every other window for a dialog.
    bool main_window = false;
};

class Window;

class Control {
  public:
    Control(Window& window, const ControlDescription& description);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const ControlDescription& description() const noexcept { return description_; }
    std::string_view name() const noexcept { return description_.name; }
    Window& window() const noexcept { return window_; }

  protected:
    // Tells the window's view, if it has one, to show the new state.
    void Changed();

  private:
    Window& window_;
    const ControlDescription& description_;
};

class CommandButton final : public Control {
  public:
    using Control::Control;
    std::function<void()> on_click;

    // A click by mouse, by keyboard, or as the window's default button.
    void Click();
};

class OptionButton final : public Control {
  public:
    using Control::Control;
    std::function<void()> on_click;

    bool value() const noexcept { return value_; }
    // False to True clears the other options of the window and raises Click before returning,
    // whether from code or from the user. Setting the value it already has raises nothing.
    void SetValue(bool value);

  private:
    bool value_ = false;
};

class CheckBox final : public Control {
  public:
    using Control::Control;
    std::function<void()> on_click;

    int value() const noexcept { return value_; }  // 0 cleared, 1 checked
    // A change raises Click before returning; the value it already has raises nothing.
    void SetValue(int value);
    // The user's click toggles between 0 and 1.
    void Toggle() { SetValue(value_ == 1 ? 0 : 1); }

  private:
    int value_ = 0;
};

class TextBox final : public Control {
  public:
    using Control::Control;
    std::function<void()> on_key_down;

    const std::string& text() const noexcept { return text_; }  // UTF-8
    void SetText(std::string text);  // from code: mirrored onto the screen
    // From the toolkit: the user's typing changed the text (already on screen).
    void TextEdited(std::string text) { text_ = std::move(text); }
    // From the toolkit: a key went down while the box had the focus.
    void KeyDown();

  private:
    std::string text_;
};

class Label final : public Control {
  public:
    Label(Window& window, const ControlDescription& description);

    const std::string& caption() const noexcept { return caption_; }
    void SetCaption(std::string caption);

  private:
    std::string caption_;
};

// A bitmap of the program's resources, found by its name.
struct Picture {
    std::string bitmap_name;
};

class PictureBox final : public Control {
  public:
    using Control::Control;

    const std::string& picture() const noexcept { return bitmap_name_; }  // empty: none
    // What the picture shows, for those who cannot see it.
    const std::string& alternative_text() const noexcept { return alternative_text_; }
    void SetPicture(const Picture& picture, std::string alternative_text);

  private:
    std::string bitmap_name_;
    std::string alternative_text_;
};

// What a toolkit backend keeps for one loaded, visible window.
class WindowView {
  public:
    virtual ~WindowView() = default;  // removes the window from the screen
    // Mirror a change made in code (value, text, caption, picture) onto the screen.
    virtual void ControlChanged(const Control& control) = 0;
};

class Window {
  public:
    explicit Window(const WindowDescription& description);  // controls at design-time values
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    const WindowDescription& description() const noexcept { return description_; }
    std::span<const std::unique_ptr<Control>> controls() const noexcept { return controls_; }
    Control* FindControl(std::string_view name) const noexcept;

    // Runs once per load, before the window becomes visible.
    virtual void Form_Load() {}

    WindowView* view() const noexcept { return view_.get(); }
    void AttachView(std::unique_ptr<WindowView> view) { view_ = std::move(view); }
    void DetachView() noexcept { view_.reset(); }

  protected:
    template <typename T>
    T& Get(std::string_view name) const {  // the control of that name and kind
        return dynamic_cast<T&>(ControlNamed(name));
    }

  private:
    Control& ControlNamed(std::string_view name) const;  // raises when there is none

    const WindowDescription& description_;
    std::vector<std::unique_ptr<Control>> controls_;
    std::unique_ptr<WindowView> view_;
};

}  // namespace varnholt::ui
