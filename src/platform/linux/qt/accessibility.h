// What screen readers and other accessibility clients get from the Qt windows beyond Qt's own
// share: password boxes that tell no typed character, a named group for a window's options,
// spoken messages; and, run as root, only root's own buses.
#pragma once

#include <QAccessible>

#include <functional>

class QEvent;
class QLineEdit;
class QObject;
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

// Run as root, before the application object: the session bus only when the address is a
// socket of root's, else none (never one started on the display); the accessibility bus only
// one root owns, found through that session bus, never a display's AT_SPI_BUS property.
void UseOnlyRootsOwnBuses();

// As the user, before the application object: a session accessibility service that does not
// answer at once is left out (no accessibility), as Qt would wait for it before any window.
void LeaveOutASilentAccessibilityService();

// For the application's notify(), ahead of everything else that sees events: a key typed into
// a password box goes to accessibility clients as "*" and reaches the box only as their answer
// allows, as Qt's bridge does with other keys. True when it took the event.
bool TookPasswordKey(QObject* receiver, QEvent* event);

}  // namespace varnholt::platform::qt
