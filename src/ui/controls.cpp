#include "ui/controls.h"

#include <algorithm>
#include <utility>

#include "runtime/error.h"

namespace varnholt::ui {
namespace {

// The runtime's numbers for a bad property value and for a control that is not on the window.
constexpr std::int32_t kInvalidPropertyValue = 380;
constexpr std::int32_t kControlNotFound = 730;

std::unique_ptr<Control> MakeControl(Window& window, const ControlDescription& description) {
    switch (description.kind) {
        case ControlKind::kCommandButton:
            return std::make_unique<CommandButton>(window, description);
        case ControlKind::kOptionButton:
            return std::make_unique<OptionButton>(window, description);
        case ControlKind::kCheckBox:
            return std::make_unique<CheckBox>(window, description);
        case ControlKind::kTextBox:
            return std::make_unique<TextBox>(window, description);
        case ControlKind::kLabel:
            return std::make_unique<Label>(window, description);
        case ControlKind::kPictureBox:
            return std::make_unique<PictureBox>(window, description);
    }
    Raise(kInvalidPropertyValue, std::string(description.name), "Invalid property value");
}

}  // namespace

Control::Control(Window& window, const ControlDescription& description)
    : window_(window), description_(description) {}

void Control::Changed() {
    if (WindowView* view = window_.view()) {
        view->ControlChanged(*this);
    }
}

void CommandButton::Click() {
    if (on_click) {
        on_click();
    }
}

void OptionButton::SetValue(bool value) {
    if (value == value_) {
        return;
    }
    value_ = value;
    if (value) {
        // The options of a window form one group: selecting one clears the others.
        for (const auto& control : window().controls()) {
            auto* other = dynamic_cast<OptionButton*>(control.get());
            if (other != nullptr && other != this && other->value_) {
                other->value_ = false;
                other->Changed();
            }
        }
    }
    Changed();
    if (value && on_click) {
        on_click();
    }
}

void CheckBox::SetValue(int value) {
    if (value != 0 && value != 1) {
        Raise(kInvalidPropertyValue, std::string(name()), "Invalid property value");
    }
    if (value == value_) {
        return;
    }
    value_ = value;
    Changed();
    if (on_click) {
        on_click();
    }
}

void TextBox::SetText(std::string text) {
    text_ = std::move(text);
    Changed();
}

void TextBox::KeyDown() {
    if (on_key_down) {
        on_key_down();
    }
}

Label::Label(Window& window, const ControlDescription& description)
    : Control(window, description), caption_(description.caption) {}

void Label::SetCaption(std::string caption) {
    caption_ = std::move(caption);
    Changed();
}

void PictureBox::SetPicture(const Picture& picture, std::string alternative_text) {
    bitmap_name_ = picture.bitmap_name;
    alternative_text_ = std::move(alternative_text);
    Changed();
}

Window::Window(const WindowDescription& description) : description_(description) {
    controls_.reserve(description.controls.size());
    for (const ControlDescription& control : description.controls) {
        controls_.push_back(MakeControl(*this, control));
    }
}

// The view goes first (it is the last member), so it never sees a destroyed control.
Window::~Window() = default;

Control* Window::FindControl(std::string_view name) const noexcept {
    auto found = std::find_if(controls_.begin(), controls_.end(),
                              [name](const auto& control) { return control->name() == name; });
    return found == controls_.end() ? nullptr : found->get();
}

Control& Window::ControlNamed(std::string_view name) const {
    Control* control = FindControl(name);
    if (control == nullptr) {
        Raise(kControlNotFound, std::string(description_.name),
              "Control '" + std::string(name) + "' not found");
    }
    return *control;
}

}  // namespace varnholt::ui
