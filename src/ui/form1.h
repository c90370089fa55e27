// The main window: shows the USB storage mode and the registry-editor lock, and changes them
// at each click. It keeps no state of its own; the registry is the only record.
#pragma once

#include <array>
#include <string_view>

#include "policy/usb_policy.h"
#include "ui/controls.h"
#include "ui/window_flow.h"

namespace varnholt::ui {

inline constexpr std::array kForm1Controls{
    ControlDescription{ControlKind::kCommandButton, "Command1", "Change Password", "", 240, 3480,
                       1815, 495, 0},
    ControlDescription{ControlKind::kOptionButton, "Optionrw", "Read/Write",
                       "Set USB storage device to full access", 2760, 360, 1695, 495, 1},
    ControlDescription{ControlKind::kOptionButton, "Optionr", "ReadOnly",
                       "Set USB storage device to readonly", 2760, 960, 1335, 495, 2},
    ControlDescription{ControlKind::kOptionButton, "Optiond", "Disable",
                       "Disable USB storage device", 2760, 1560, 1215, 375, 3},
    ControlDescription{ControlKind::kCheckBox, "Check1", "Disable Regedit",
                       "Disabling registry editor (Regedit) will prevent users to change USB ",
                       2760, 2280, 1695, 375, 4},
    ControlDescription{
        ControlKind::kLabel, "Label1",
        "All the above-mentioned settings will not affect your USB mouse or keyboard.", "", 120,
        2880, 4695, 375, 5},
    ControlDescription{ControlKind::kPictureBox, "Image1", "", "", 120, 240, 2430, 2430,
                       kNoTabStop},
};

inline constexpr WindowDescription kForm1{"Form1",        "Varnholt",    4905, 4140,
                                          kForm1Controls, "USB storage", true};

class Form1 final : public Window {
  public:
    explicit Form1(WindowFlow& flow);

    void Form_Load() override;
    void Optiond_Click();
    void Optionr_Click();
    void Optionrw_Click();
    void Check1_Click();
    void Command1_Click();

  private:
    void ApplyMode(UsbMode mode);
    void ShowPicture(UsbMode mode);

    WindowFlow& flow_;
    CheckBox& check1_;
    PictureBox& image1_;
};

}  // namespace varnholt::ui
