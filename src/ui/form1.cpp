#include "ui/form1.h"

namespace varnholt::ui {
namespace {

// Each mode: its option, its picture, and what the picture tells those who cannot see it.
struct ModeRow {
    std::string_view option;
    std::string_view bitmap_name;
    std::string_view picture_text;
};

constexpr ModeRow kDisable{"Optiond", "DISABLE", "USB storage: disabled"};
constexpr ModeRow kReadOnly{"Optionr", "READONLY", "USB storage: read-only"};
constexpr ModeRow kReadWrite{"Optionrw", "RW", "USB storage: read/write"};

const ModeRow& RowFor(UsbMode mode) {
    switch (mode) {
        case UsbMode::kDisable:
            return kDisable;
        case UsbMode::kReadOnly:
            return kReadOnly;
        case UsbMode::kReadWrite:
            break;
    }
    return kReadWrite;
}

}  // namespace

Form1::Form1(WindowFlow& flow)
    : Window(kForm1),
      flow_(flow),
      check1_(Get<CheckBox>("Check1")),
      image1_(Get<PictureBox>("Image1")) {
    Get<OptionButton>(kDisable.option).on_click = [this] { Optiond_Click(); };
    Get<OptionButton>(kReadOnly.option).on_click = [this] { Optionr_Click(); };
    Get<OptionButton>(kReadWrite.option).on_click = [this] { Optionrw_Click(); };
    check1_.on_click = [this] { Check1_Click(); };
    Get<CommandButton>("Command1").on_click = [this] { Command1_Click(); };
}

void Form1::Form_Load() {
    const UsbMode mode = GetUsbState();
    // No option is selected yet, so this runs the option's click: the mode read is applied again.
    Get<OptionButton>(RowFor(mode).option).SetValue(true);
    ShowPicture(mode);
    // 0 is the box's value already and raises nothing; 1 runs Check1_Click, rewriting the lock.
    check1_.SetValue(GetRegistryLock() ? 1 : 0);
}

void Form1::Optiond_Click() {
    ApplyMode(UsbMode::kDisable);
}

void Form1::Optionr_Click() {
    ApplyMode(UsbMode::kReadOnly);
}

void Form1::Optionrw_Click() {
    ApplyMode(UsbMode::kReadWrite);
}

void Form1::Check1_Click() {
    SetRegistryLock(check1_.value() == 1);
}

void Form1::Command1_Click() {
    flow_.ShowModal(WindowId::kSetPassword);
}

// The picture changes only once the mode has been applied in full.
void Form1::ApplyMode(UsbMode mode) {
    ApplyUsbMode(mode);
    ShowPicture(mode);
}

void Form1::ShowPicture(UsbMode mode) {
    const ModeRow& row = RowFor(mode);
    image1_.SetPicture(flow_.LoadPicture(row.bitmap_name), std::string(row.picture_text));
}

}  // namespace varnholt::ui
