#include "headless_toolkit.h"

#include <algorithm>

#include "runtime/error.h"

namespace varnholt::ui::testing {

std::string StateOf(const Control& control) {
    std::string state = std::string(control.name()) + "=";
    if (const auto* option = dynamic_cast<const OptionButton*>(&control)) {
        return state + (option->value() ? "1" : "0");
    }
    if (const auto* check = dynamic_cast<const CheckBox*>(&control)) {
        return state + std::to_string(check->value());
    }
    if (const auto* text = dynamic_cast<const TextBox*>(&control)) {
        return state + text->text();
    }
    if (const auto* label = dynamic_cast<const Label*>(&control)) {
        return state + label->caption();
    }
    if (const auto* picture = dynamic_cast<const PictureBox*>(&control)) {
        return state + picture->picture();
    }
    return state + std::string(control.description().caption);
}

class HeadlessToolkit::View final : public WindowView {
  public:
    View(HeadlessToolkit& toolkit, Window& window) : toolkit_(toolkit), window_(window) {
        toolkit_.visible_.push_back(&window_);
    }
    ~View() override {
        std::erase(toolkit_.visible_, &window_);
        toolkit_.log.push_back("hide " + std::string(window_.description().name));
    }
    void ControlChanged(const Control& control) override {
        toolkit_.log.push_back(std::string(window_.description().name) + "." + StateOf(control));
    }

  private:
    HeadlessToolkit& toolkit_;
    Window& window_;
};

std::unique_ptr<WindowView> HeadlessToolkit::CreateView(Window& window, InputSink& input) {
    sink_ = &input;
    log.push_back("show " + std::string(window.description().name));
    std::vector<std::string> state;
    for (const auto& control : window.controls()) {
        state.push_back(StateOf(*control));
    }
    shown_states.push_back(std::move(state));
    return std::make_unique<View>(*this, window);
}

void HeadlessToolkit::RunModal(Window& window) {
    const std::string name(window.description().name);
    log.push_back("modal " + name);
    modal_.push_back(&window);
    while (window.view() != nullptr && !modal_steps.empty()) {
        auto step = std::move(modal_steps.front());
        modal_steps.pop_front();
        step(window);
    }
    if (window.view() != nullptr) {
        Close(window);
    }
    modal_.pop_back();
    log.push_back("end modal " + name);
}

Picture HeadlessToolkit::LoadPicture(std::string_view bitmap_name) {
    if (bitmap_name != "DISABLE" && bitmap_name != "READONLY" && bitmap_name != "RW") {
        Raise(runtime_error_number::kResourceNotFound, "Varnholt",
              "Resource with identifier '" + std::string(bitmap_name) + "' not found");
    }
    return Picture{std::string(bitmap_name)};
}

bool HeadlessToolkit::Visible(const Window& window) const {
    return std::find(visible_.begin(), visible_.end(), &window) != visible_.end();
}

Window* HeadlessToolkit::VisibleWindow(std::string_view name) const {
    auto found = std::find_if(visible_.begin(), visible_.end(), [name](const Window* window) {
        return window->description().name == name;
    });
    return found == visible_.end() ? nullptr : *found;
}

bool HeadlessToolkit::Accepts(const Window& window) const {
    return sink_ != nullptr && Visible(window) && (modal_.empty() || modal_.back() == &window);
}

template <typename Input>
bool HeadlessToolkit::Deliver(Window& window, Input input) {
    if (!Accepts(window)) {
        return false;
    }
    sink_->Dispatch(input);
    return true;
}

bool HeadlessToolkit::Click(Window& window, std::string_view name) {
    Control* control = window.FindControl(name);
    if (auto* button = dynamic_cast<CommandButton*>(control)) {
        return Deliver(window, [button] { button->Click(); });
    }
    if (auto* option = dynamic_cast<OptionButton*>(control)) {
        return Deliver(window, [option] { option->SetValue(true); });
    }
    if (auto* check = dynamic_cast<CheckBox*>(control)) {
        return Deliver(window, [check] { check->Toggle(); });
    }
    return false;
}

// Each key goes down before the text shows what it did, as a toolkit reports typing.
bool HeadlessToolkit::Type(Window& window, std::string_view name, std::string_view text) {
    constexpr int kDeleteKey = 0x2E;
    auto* box = dynamic_cast<TextBox*>(window.FindControl(name));
    if (box == nullptr || (!box->text().empty() && !Deliver(window, [box] {
            box->KeyDown({kDeleteKey, 0});
            box->TextEdited("");
        }))) {
        return false;
    }
    for (char character : text) {
        const bool delivered = Deliver(window, [box, character] {
            box->KeyDown({static_cast<unsigned char>(character), 0});
            box->TextEdited(box->text() + character);
        });
        if (!delivered) {
            return false;
        }
    }
    return true;
}

bool HeadlessToolkit::PressKey(Window& window, std::string_view name, KeyEvent key) {
    auto* box = dynamic_cast<TextBox*>(window.FindControl(name));
    return box != nullptr && Deliver(window, [box, key] { box->KeyDown(key); });
}

bool HeadlessToolkit::Close(Window& window) {
    if (!Accepts(window)) {
        return false;
    }
    log.push_back("close " + std::string(window.description().name));
    sink_->CloseRequested(window);
    return true;
}

}  // namespace varnholt::ui::testing
