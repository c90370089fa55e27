#include "ui/controls.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "app/error.h"

namespace varnholt::ui {
namespace {

constexpr std::array kControls{
    ControlDescription{ControlKind::kOptionButton, "OptionA", "A", "", 0, 0, 100, 100, 0},
    ControlDescription{ControlKind::kOptionButton, "OptionB", "B", "", 0, 100, 100, 100, 1},
    ControlDescription{ControlKind::kCheckBox, "Check1", "C", "", 0, 200, 100, 100, 2},
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 0, 300, 100, 100, 3},
    ControlDescription{ControlKind::kLabel, "Label1", "Caption", "", 0, 400, 100, 100, 4},
    ControlDescription{ControlKind::kPictureBox, "Image1", "", "", 0, 500, 100, 100, kNoTabStop},
    ControlDescription{ControlKind::kCommandButton, "Command1", "Go", "", 0, 600, 100, 100, 5},
};
constexpr WindowDescription kWindow{"Sample", "Sample", 1000, 1000, kControls};

// Records what the view was told, as "name" per mirrored change.
class RecordingView final : public WindowView {
  public:
    explicit RecordingView(std::vector<std::string>& log) : log_(log) {}
    void ControlChanged(const Control& control) override {
        log_.push_back("view:" + std::string(control.name()));
    }

  private:
    std::vector<std::string>& log_;
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

    std::vector<std::string> log;
    SampleWindow window;
    OptionButton& a = window.Get<OptionButton>("OptionA");
    OptionButton& b = window.Get<OptionButton>("OptionB");
    CheckBox& check = window.Get<CheckBox>("Check1");
};

TEST_F(ControlModelTest, LoadsAtDesignTimeValues) {
    EXPECT_FALSE(a.value());
    EXPECT_FALSE(b.value());
    EXPECT_EQ(check.value(), 0);
    EXPECT_EQ(window.Get<TextBox>("Text1").text(), "");
    EXPECT_EQ(window.Get<Label>("Label1").caption(), "Caption");
    EXPECT_EQ(window.Get<PictureBox>("Image1").picture(), "");
    EXPECT_TRUE(log.empty());
}

TEST_F(ControlModelTest, SelectingAnOptionClearsTheOthersBeforeItsClickRuns) {
    a.SetValue(true);
    b.SetValue(true);
    EXPECT_FALSE(a.value());
    EXPECT_TRUE(b.value());
    EXPECT_EQ(log, (std::vector<std::string>{"view:OptionA", "A_Click b=0", "view:OptionA",
                                             "view:OptionB", "B_Click a=0"}));
}

TEST_F(ControlModelTest, SelectingTheSelectedOptionRaisesNothing) {
    a.SetValue(true);
    log.clear();
    a.SetValue(true);
    EXPECT_TRUE(log.empty());
    a.SetValue(false);  // clearing from code raises no Click
    EXPECT_EQ(log, std::vector<std::string>{"view:OptionA"});
}

TEST_F(ControlModelTest, CheckBoxRaisesClickOnlyOnAChange) {
    check.SetValue(0);
    EXPECT_TRUE(log.empty());
    check.SetValue(1);
    check.SetValue(1);
    check.Toggle();
    EXPECT_EQ(log, (std::vector<std::string>{"view:Check1", "Check1_Click 1", "view:Check1",
                                             "Check1_Click 0"}));
    EXPECT_THROW(check.SetValue(2), Error);
    EXPECT_EQ(check.value(), 0);
}

TEST_F(ControlModelTest, CodeChangesAreMirroredAndUserEditsAreNot) {
    auto& text = window.Get<TextBox>("Text1");
    std::vector<int> keys;
    text.on_key_down = [&keys](KeyEvent key) { keys.push_back(key.key_code); };
    text.TextEdited("typed");
    text.KeyDown({37, 0});
    text.SetText("");
    window.Get<Label>("Label1").SetCaption("New");
    window.Get<PictureBox>("Image1").SetPicture({"RW"});
    EXPECT_EQ(keys, std::vector<int>{37});
    EXPECT_EQ(window.Get<PictureBox>("Image1").picture(), "RW");
    EXPECT_EQ(log, (std::vector<std::string>{"view:Text1", "view:Label1", "view:Image1"}));
}

TEST_F(ControlModelTest, WithoutAViewChangesStillRaiseTheirEvents) {
    window.DetachView();
    a.SetValue(true);
    EXPECT_EQ(log, std::vector<std::string>{"A_Click b=0"});
}

TEST_F(ControlModelTest, AskingForAMissingOrMistypedControlFails) {
    EXPECT_EQ(window.FindControl("Nothing"), nullptr);
    EXPECT_THROW(window.Get<Label>("Nothing"), Error);
    EXPECT_THROW(window.Get<Label>("Text1"), std::bad_cast);
}

}  // namespace
}  // namespace varnholt::ui
