// What screen readers and other accessibility clients get from the Qt windows beyond Qt's own
// share: password boxes that tell no typed character, a named group for a window's options,
// spoken messages, and the way back to the user's accessibility bus after the admin prompt.
#pragma once

#include <QAccessible>

#include <functional>
#include <optional>
#include <string>

class QLineEdit;
class QWidget;

namespace varnholt::platform::qt {

// Before any window is shown; once is enough.
void InstallAccessibility();

// Runs a text box's focus-in. Qt tells of its caret (and of the text Tab selects) before it tells
// of the focus, and Orca, taking the caret's move for the focus, never names the box: what the
// box tells meanwhile is told again after the focus.
void EnterTextBox(QLineEdit* box, const std::function<void()>& focus_in);

// What accessibility clients take a plain widget for (a filler without it).
void SetAccessibleRole(QWidget* widget, QAccessible::Role role);

// A plain widget that accessibility clients see as a group of controls, named `name`.
QWidget* MakeAccessibleGroup(QWidget* parent, const QString& name);

// Reads `text` out at once, as a message of `source`'s window, wherever its focus is; an empty
// text takes the last message back.
void Announce(QWidget* source, const QString& text);

// The user's accessibility bus, to hand to the elevated run (which pkexec gives a clean
// environment): an address over a local socket, or nothing when the session has no such bus.
std::optional<std::string> AccessibilityBusAddress();
// The argument that hands the address over.
inline constexpr char kAccessibilityBusOption[] = "--accessibility-bus=";
// In the elevated run, once the application object is there and before any window: Qt's
// bridge joins the bus handed over, if it is a local socket.
void UseHandedOverAccessibilityBus(int argc, char** argv);

}  // namespace varnholt::platform::qt
