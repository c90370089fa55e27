// The modal dialog that replaces the password after checking the current one.
#pragma once

#include <array>

#include "ui/controls.h"
#include "ui/window_flow.h"

namespace varnholt::ui {

inline constexpr std::array kSetPasswordControls{
    ControlDescription{ControlKind::kLabel, "Label1", "Current Password", "", 240, 1080, 1455, 375,
                       2, false, '\0', TextAlignment::kRight},
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 2040, 1080, 2175, 375, 0, false, '*',
                       TextAlignment::kLeft, "Current Password"},
    ControlDescription{ControlKind::kLabel, "Label2", "New Password", "", 240, 1680, 1455, 375, 4,
                       false, '\0', TextAlignment::kRight},
    ControlDescription{ControlKind::kTextBox, "Text2", "", "", 2040, 1680, 2175, 375, 3, false, '*',
                       TextAlignment::kLeft, "New Password"},
    ControlDescription{ControlKind::kLabel, "Label3", "Confirm Password", "", 240, 2280, 1455, 375,
                       6, false, '\0', TextAlignment::kRight},
    ControlDescription{ControlKind::kTextBox, "Text3", "", "", 2040, 2280, 2175, 375, 5, false, '*',
                       TextAlignment::kLeft, "Confirm Password"},
    ControlDescription{ControlKind::kLabel, "Label4", "", "", 480, 2880, 4095, 255, 7, false, '\0',
                       TextAlignment::kLeft, "", true},
    ControlDescription{ControlKind::kCommandButton, "Command1", "Change", "", 1920, 3240, 1215, 495,
                       1},
};

inline constexpr WindowDescription kSetPassword{"SetPassword", "SetPassword", 5205, 3810,
                                                kSetPasswordControls};

class SetPassword final : public Window {
  public:
    explicit SetPassword(WindowFlow& flow);

    void Command1_Click();
    void Text1_KeyDown();

  private:
    WindowFlow& flow_;
    TextBox& text1_;
    TextBox& text2_;
    TextBox& text3_;
    Label& label4_;
};

}  // namespace varnholt::ui
