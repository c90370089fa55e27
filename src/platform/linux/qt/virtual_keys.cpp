// Qt names keys by what they type; KeyDown reports the key itself, with Windows' numbers. Shifted
// symbols are taken back to their key as a US keyboard places them.
#include <QKeyEvent>

#include <string_view>

#include "platform/linux/qt/qt_toolkit.h"

namespace varnholt::platform::qt {
namespace {

struct KeyCode {
    int qt_key;
    int virtual_key;
};

constexpr KeyCode kNamedKeys[] = {
    {Qt::Key_Backspace, 0x08},    {Qt::Key_Tab, 0x09},        {Qt::Key_Backtab, 0x09},
    {Qt::Key_Clear, 0x0C},        {Qt::Key_Return, 0x0D},     {Qt::Key_Enter, 0x0D},
    {Qt::Key_Shift, 0x10},        {Qt::Key_Control, 0x11},    {Qt::Key_Alt, 0x12},
    {Qt::Key_AltGr, 0x12},        {Qt::Key_Pause, 0x13},      {Qt::Key_CapsLock, 0x14},
    {Qt::Key_Escape, 0x1B},       {Qt::Key_Space, 0x20},      {Qt::Key_PageUp, 0x21},
    {Qt::Key_PageDown, 0x22},     {Qt::Key_End, 0x23},        {Qt::Key_Home, 0x24},
    {Qt::Key_Left, 0x25},         {Qt::Key_Up, 0x26},         {Qt::Key_Right, 0x27},
    {Qt::Key_Down, 0x28},         {Qt::Key_Print, 0x2C},      {Qt::Key_Insert, 0x2D},
    {Qt::Key_Delete, 0x2E},       {Qt::Key_Help, 0x2F},       {Qt::Key_Meta, 0x5B},
    {Qt::Key_Menu, 0x5D},         {Qt::Key_NumLock, 0x90},    {Qt::Key_ScrollLock, 0x91},
    {Qt::Key_Semicolon, 0xBA},    {Qt::Key_Colon, 0xBA},      {Qt::Key_Equal, 0xBB},
    {Qt::Key_Plus, 0xBB},         {Qt::Key_Comma, 0xBC},      {Qt::Key_Less, 0xBC},
    {Qt::Key_Minus, 0xBD},        {Qt::Key_Underscore, 0xBD}, {Qt::Key_Period, 0xBE},
    {Qt::Key_Greater, 0xBE},      {Qt::Key_Slash, 0xBF},      {Qt::Key_Question, 0xBF},
    {Qt::Key_QuoteLeft, 0xC0},    {Qt::Key_AsciiTilde, 0xC0}, {Qt::Key_BracketLeft, 0xDB},
    {Qt::Key_BraceLeft, 0xDB},    {Qt::Key_Backslash, 0xDC},  {Qt::Key_Bar, 0xDC},
    {Qt::Key_BracketRight, 0xDD}, {Qt::Key_BraceRight, 0xDD}, {Qt::Key_Apostrophe, 0xDE},
    {Qt::Key_QuoteDbl, 0xDE},
};

constexpr KeyCode kKeypadKeys[] = {
    {Qt::Key_Asterisk, 0x6A}, {Qt::Key_Plus, 0x6B},  {Qt::Key_Minus, 0x6D}, {Qt::Key_Period, 0x6E},
    {Qt::Key_Comma, 0x6E},    {Qt::Key_Slash, 0x6F}, {Qt::Key_Enter, 0x0D},
};

// The shifted symbols of the digit keys 0 to 9.
constexpr std::string_view kShiftedDigits = ")!@#$%^&*(";

int VirtualKeyCode(int key, bool keypad) {
    if (keypad) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9) {
            return 0x60 + (key - Qt::Key_0);
        }
        for (const KeyCode& code : kKeypadKeys) {
            if (code.qt_key == key) {
                return code.virtual_key;
            }
        }
    }
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9)) {
        return key;  // Qt and Windows share ASCII here
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) {
        return 0x70 + (key - Qt::Key_F1);
    }
    if (const auto digit = kShiftedDigits.find(static_cast<char>(key));
        key < 0x80 && digit != std::string_view::npos) {
        return Qt::Key_0 + static_cast<int>(digit);
    }
    for (const KeyCode& code : kNamedKeys) {
        if (code.qt_key == key) {
            return code.virtual_key;
        }
    }
    return 0;  // a key Windows has no fixed number for
}

}  // namespace

ui::KeyEvent VirtualKeyEvent(const QKeyEvent& event) {
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    const int key = event.key();
    // A modifier key counts itself as held, as it does on Windows.
    int shift = 0;
    if ((modifiers & Qt::ShiftModifier) || key == Qt::Key_Shift) {
        shift |= 1;
    }
    if ((modifiers & Qt::ControlModifier) || key == Qt::Key_Control) {
        shift |= 2;
    }
    if ((modifiers & Qt::AltModifier) || key == Qt::Key_Alt) {
        shift |= 4;
    }
    return {VirtualKeyCode(key, modifiers & Qt::KeypadModifier), shift};
}

}  // namespace varnholt::platform::qt
