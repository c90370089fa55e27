// The event rules of the control model that every window's load and every toolkit rely on.
#include "ui/controls.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace varnholt::ui {
namespace {

using Log = std::vector<std::string>;

constexpr std::array kControls{
    ControlDescription{ControlKind::kOptionButton, "OptionA", "A", "", 0, 0, 100, 100, 0},
    ControlDescription{ControlKind::kOptionButton, "OptionB", "B", "", 0, 100, 100, 100, 1},
    ControlDescription{ControlKind::kCheckBox, "Check1", "C", "", 0, 200, 100, 100, 2},
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 0, 300, 100, 100, 3},
    ControlDescription{ControlKind::kLabel, "Label1", "Caption", "", 0, 400, 100, 100, 4},
};
constexpr WindowDescription kWindow{"Sample", "Sample", 1000, 1000, kControls};

// Logs "view:<name>" for each change mirrored onto the screen.
class RecordingView final : public WindowView {
  public:
    explicit RecordingView(Log& log) : log_(log) {}
    void ControlChanged(const Control& control) override {
        log_.push_back("view:" + std::string(control.name()));
    }

  private:
    Log& log_;
};

class SampleWindow final : public Window {
  public:
    SampleWindow() : Window(kWindow) {}
    using Window::Get;
};

class ControlModelTest : public ::testing::Test {
  protected:
    ControlModelTest() {
        window.AttachView(std::make_unique<RecordingView>(log));
        a.on_click = [this] { log.push_back("A_Click b=" + std::to_string(b.value())); };
        b.on_click = [this] { log.push_back("B_Click a=" + std::to_string(a.value())); };
        check.on_click = [this] { log.push_back("Check1_Click " + std::to_string(check.value())); };
    }

    Log log;
    SampleWindow window;
    OptionButton& a = window.Get<OptionButton>("OptionA");
    OptionButton& b = window.Get<OptionButton>("OptionB");
    CheckBox& check = window.Get<CheckBox>("Check1");
};

// Selecting clears the other options before the click runs; the selected option and clearing
// from code raise nothing.
TEST_F(ControlModelTest, OptionsOfAWindowExcludeEachOtherAndClickOnlyWhenSelected) {
    a.SetValue(true);
    b.SetValue(true);
    b.SetValue(true);
    b.SetValue(false);
    EXPECT_FALSE(a.value() || b.value());
    EXPECT_EQ(log, (Log{"view:OptionA", "A_Click b=0", "view:OptionA", "view:OptionB",
                        "B_Click a=0", "view:OptionB"}));
}

TEST_F(ControlModelTest, CheckBoxClicksOnlyOnAChangeAndHoldsOnlyZeroOrOne) {
    check.SetValue(0);
    check.SetValue(1);
    check.SetValue(1);
    check.Toggle();
    EXPECT_EQ(log, (Log{"view:Check1", "Check1_Click 1", "view:Check1", "Check1_Click 0"}));
    EXPECT_THROW(check.SetValue(2), Error);
    EXPECT_EQ(check.value(), 0);
}

// What the user typed is on the screen already; what code sets must be put there. Without a
// view (while the window loads) the events run all the same.
TEST_F(ControlModelTest, CodeChangesAreMirroredAndUserEditsAreNot) {
    auto& text = window.Get<TextBox>("Text1");
    text.on_key_down = [this](KeyEvent key) {
        log.push_back("KeyDown " + std::to_string(key.key_code));
    };
    text.KeyDown({0x25, 0});
    text.TextEdited("typed");
    text.SetText("");
    window.Get<Label>("Label1").SetCaption("New");
    window.DetachView();
    a.SetValue(true);
    EXPECT_EQ(log, (Log{"KeyDown 37", "view:Text1", "view:Label1", "A_Click b=0"}));
}

}  // namespace
}  // namespace varnholt::ui
