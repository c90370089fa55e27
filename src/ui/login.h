// The first window of every run: asks for the password and opens the main window.
#pragma once

#include <array>

#include "ui/controls.h"
#include "ui/window_flow.h"

namespace varnholt::ui {

inline constexpr std::array kLoginControls{
    ControlDescription{ControlKind::kTextBox, "Text1", "", "", 960, 960, 2775, 375, 0, false, '*',
                       TextAlignment::kLeft, "Password"},
    ControlDescription{ControlKind::kLabel, "Label1", "Initial Password: mango", "", 1200, 1440,
                       2295, 255, 2, false, '\0', TextAlignment::kCenter, "", true},
    ControlDescription{ControlKind::kCommandButton, "Command1", "Login", "", 1440, 1800, 1695, 495,
                       1, true},
};

inline constexpr WindowDescription kLogin{"Login", "Login", 4680, 2595, kLoginControls};

class Login final : public Window {
  public:
    explicit Login(WindowFlow& flow);

    void Form_Load() override;
    void Command1_Click();

  private:
    WindowFlow& flow_;
    TextBox& text1_;
    Label& label1_;
};

}  // namespace varnholt::ui
