#include "platform/linux/qt/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDateTime>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QVariantMap>
#include <QWidget>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace varnholt::platform::qt {
namespace {

constexpr char kAccessibleRoleProperty[] = "varnholtAccessibleRole";
// The connection Qt's AT-SPI bridge opens to the accessibility bus; events sent on it come from
// this program's accessible objects, under the bridge's object paths.
constexpr char kBridgeConnection[] = "a11y";
constexpr char kAccessiblePathPrefix[] = "/org/a11y/atspi/accessible/";
// Qt asks without a limit of its own (25 s each), so a service that never answers would keep
// the windows away.
constexpr int kBusQueryMilliseconds = 1000;
// As long as Qt's bridge waits for a key's answer.
constexpr int kKeyAnswerMilliseconds = 100;
constexpr int kAsteriskKeysym = 0x2a;

// The control whose description carries the message last read out, while it does.
QPointer<QWidget> described;
// The text box taking the focus, while it does.
const QLineEdit* entering = nullptr;

// Whatever handled updates before (normally nothing: then Qt passes them to its bridge).
QAccessible::UpdateHandler previous_update_handler = nullptr;

// Whether `address` is one socket root alone could have made: a path (no abstract name, which
// anyone may take) to a socket of root's, in folders only root can change.
bool IsRootsSocket(std::string_view address) {
    constexpr std::string_view kPath = "unix:path=";
    if (!address.starts_with(kPath) || address.find_first_of(";%") != std::string_view::npos)
        return false;
    address.remove_prefix(kPath.size());
    const std::filesystem::path socket(std::string(address.substr(0, address.find(','))));
    struct stat status {};
    if (!socket.is_absolute() || ::lstat(socket.c_str(), &status) != 0 ||
        !S_ISSOCK(status.st_mode) || status.st_uid != 0)
        return false;
    for (std::filesystem::path folder = socket.parent_path();; folder = folder.parent_path()) {
        if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != 0 ||
            ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0))
            return false;
        if (folder == folder.root_path())
            return true;
    }
}

// What the session's accessibility service says, each question waited for a short while.
struct SessionAccessibility {
    bool answered = false;  // or no one runs the service
    bool enabled = false;
    std::string address;  // asked for only where enabled
};

SessionAccessibility AskSession(const char* session, bool for_address) {
    int argc = 1;
    char name[] = "varnholt";
    char* argv[] = {name, nullptr};
    const QCoreApplication core(argc, argv);  // for the session bus only: no display yet
    const QString connection = QStringLiteral("varnholt-session-question");
    SessionAccessibility said;
    {
        const QDBusConnection bus =
            QDBusConnection::connectToBus(QString::fromLocal8Bit(session), connection);
        // Who owns the name the bus itself answers, at once.
        if (!bus.isConnected() ||
            !bus.interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")).value()) {
            said.answered = true;
        } else {
            // Asked directly: an interface object would first ask for its description, with no
            // limit of ours.
            const auto property = [&bus](const char* property_name) {
                QDBusMessage get = QDBusMessage::createMethodCall(
                    QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                    QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
                get << QStringLiteral("org.a11y.Status") << QString::fromLatin1(property_name);
                return QDBusReply<QDBusVariant>(bus.call(get, QDBus::Block, kBusQueryMilliseconds));
            };
            const QDBusReply<QDBusVariant> enabled = property("IsEnabled");
            said.answered = enabled.isValid();
            said.enabled =
                said.answered && (enabled.value().variant().toBool() ||
                                  property("ScreenReaderEnabled").value().variant().toBool());
            if (said.enabled && for_address) {
                const QDBusReply<QString> reply =
                    bus.call(QDBusMessage::createMethodCall(
                                 QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                 QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
                             QDBus::Block, kBusQueryMilliseconds);
                said.address = reply.isValid() ? reply.value().toStdString() : std::string();
            }
        }
    }
    QDBusConnection::disconnectFromBus(connection);
    return said;
}

// The accessibility bus root's own session bus names, where accessibility is on there.
std::optional<std::string> RootsAccessibilityBus() {
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session == nullptr || !IsRootsSocket(session))
        return std::nullopt;
    const SessionAccessibility said = AskSession(session, true);
    if (!IsRootsSocket(said.address))
        return std::nullopt;
    return said.address;
}

void PassOn(QAccessibleEvent* event);

// The text of a password box travels as the screen shows it: one password character for each
// character typed, in every event.
QString Masked(const QLineEdit& box, const QString& text) {
    const int mask = box.style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, &box);
    return QString(text.size(), QChar(mask));
}

void MaskPasswordText(QAccessibleEvent* event) {
    const auto* box = qobject_cast<const QLineEdit*>(event->object());
    if (box == nullptr || box->echoMode() == QLineEdit::Normal) {
        PassOn(event);
        return;
    }
    QObject* object = event->object();
    switch (event->type()) {
        case QAccessible::TextInserted: {
            const auto* inserted = static_cast<QAccessibleTextInsertEvent*>(event);
            QAccessibleTextInsertEvent masked(object, inserted->changePosition(),
                                              Masked(*box, inserted->textInserted()));
            PassOn(&masked);
            return;
        }
        case QAccessible::TextRemoved: {
            const auto* removed = static_cast<QAccessibleTextRemoveEvent*>(event);
            QAccessibleTextRemoveEvent masked(object, removed->changePosition(),
                                              Masked(*box, removed->textRemoved()));
            PassOn(&masked);
            return;
        }
        case QAccessible::TextUpdated: {
            const auto* updated = static_cast<QAccessibleTextUpdateEvent*>(event);
            QAccessibleTextUpdateEvent masked(object, updated->changePosition(),
                                              Masked(*box, updated->textRemoved()),
                                              Masked(*box, updated->textInserted()));
            PassOn(&masked);
            return;
        }
        default:
            PassOn(event);
    }
}

// Qt 6.4's bridge sends a description change with the object where the new text belongs, and
// Orca, finding no text, says nothing: the event goes out here as AT-SPI has it.
void SendDescriptionChanged(QAccessibleEvent* event) {
    const QDBusConnection bus(QString::fromLatin1(kBridgeConnection));
    QAccessibleInterface* accessible = event->accessibleInterface();
    if (!bus.isConnected() || accessible == nullptr)
        return;
    const QString path = QString::fromLatin1(kAccessiblePathPrefix) +
                         QString::number(QAccessible::uniqueId(accessible));
    QDBusMessage change = QDBusMessage::createSignal(
        path, QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("PropertyChange"));
    change << QStringLiteral("accessible-description") << 0 << 0
           << QVariant::fromValue(QDBusVariant(accessible->text(QAccessible::Description)))
           << QVariantMap();
    bus.send(change);
}

void Update(QAccessibleEvent* event) {
    if (event->type() == QAccessible::DescriptionChanged) {
        SendDescriptionChanged(event);
        return;
    }
    const bool caret = event->type() == QAccessible::TextCaretMoved ||
                       event->type() == QAccessible::TextSelectionChanged;
    if (caret && entering != nullptr && event->object() == entering)
        return;  // told again once the focus is
    MaskPasswordText(event);
}

// Qt's own handling (the platform bridge) runs while no handler is installed.
void PassOn(QAccessibleEvent* event) {
    if (previous_update_handler != nullptr) {
        previous_update_handler(event);
        return;
    }
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(Update);
}

// Plain widgets given a role: Qt would call each a filler, which screen readers pass over.
QAccessibleInterface* RoleInterface(const QString& class_name, QObject* object) {
    const QVariant role = object->property(kAccessibleRoleProperty);
    if (class_name == QLatin1String("QWidget") && role.isValid())
        return new QAccessibleWidget(static_cast<QWidget*>(object),
                                     static_cast<QAccessible::Role>(role.toInt()));
    return nullptr;
}

void Describe(QWidget* widget, const QString& text) {
    if (widget != nullptr)
        widget->setAccessibleDescription(text);
}

}  // namespace

void InstallAccessibility() {
    // A second toolkit in the process would make the handler its own predecessor.
    static bool installed = false;
    if (std::exchange(installed, true))
        return;
    previous_update_handler = QAccessible::installUpdateHandler(Update);
    QAccessible::installFactory(RoleInterface);
    // The message stays with the control it was read out on only while that has the focus.
    QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget* old, QWidget*) {
        if (old != nullptr && old == described) {
            Describe(described, QString());
            described = nullptr;
        }
    });
}

void EnterTextBox(QLineEdit* box, const std::function<void()>& focus_in) {
    entering = box;
    focus_in();
    entering = nullptr;
    QMetaObject::invokeMethod(
        box,
        [box] {
            if (box->hasSelectedText()) {
                QAccessibleTextSelectionEvent selection(box, box->selectionStart(),
                                                        box->selectionEnd());
                QAccessible::updateAccessibility(&selection);
            }
            QAccessibleTextCursorEvent cursor(box, box->cursorPosition());
            QAccessible::updateAccessibility(&cursor);
        },
        Qt::QueuedConnection);
}

void SetAccessibleRole(QWidget* widget, QAccessible::Role role) {
    widget->setProperty(kAccessibleRoleProperty, static_cast<int>(role));
}

QWidget* MakeAccessibleGroup(QWidget* parent, const QString& name) {
    auto* group = new QWidget(parent);
    SetAccessibleRole(group, QAccessible::Grouping);
    group->setAccessibleName(name);
    return group;
}

// Screen readers speak a change of the focused control's description at once (Orca 43 has no
// listener for AT-SPI announcements, and drops a label's change away from the focus). Cleared
// first, so that the same message given twice is spoken twice.
void Announce(QWidget* source, const QString& text) {
    Describe(described, QString());
    described = nullptr;
    if (text.isEmpty())
        return;
    described = source->window()->focusWidget();
    Describe(described, text);
}

void UseOnlyRootsOwnBuses() {
    // Unset, libdbus would start a session bus through the display; anyone's, it is not ours.
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session == nullptr || !IsRootsSocket(session))
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    const char* given = std::getenv("AT_SPI_BUS_ADDRESS");
    if (given != nullptr && IsRootsSocket(given))
        return;
    // Named here, the bridge asks neither the display nor anyone else where the bus is.
    const std::optional<std::string> found = RootsAccessibilityBus();
    setenv("AT_SPI_BUS_ADDRESS", found ? found->c_str() : "disabled:", 1);
}

void LeaveOutASilentAccessibilityService() {
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session == nullptr || std::getenv("AT_SPI_BUS_ADDRESS") != nullptr)
        return;
    if (!AskSession(session, false).answered)
        setenv("AT_SPI_BUS_ADDRESS", "disabled:", 1);
}

bool TookPasswordKey(QObject* receiver, QEvent* event) {
    if (!event->spontaneous() ||
        (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease))
        return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    static std::set<int> command_keys_down;
    const bool command_key_down = !command_keys_down.empty();
    if (key->text().isEmpty() && key->key() != Qt::Key_Shift && key->key() != Qt::Key_AltGr) {
        if (event->type() == QEvent::KeyPress)
            command_keys_down.insert(key->key());
        else
            command_keys_down.erase(key->key());
    }
    const auto* box = qobject_cast<const QLineEdit*>(QApplication::focusWidget());
    // Keys with a screen reader's modifier held, or Control, Alt or Meta, are commands, and
    // go as they are; so do keys that type no character (Tab, Return, arrows), but Shift and
    // AltGr, which tell what the next key types.
    const bool types = (!key->text().isEmpty() && key->text().at(0).isPrint()) ||
                       key->key() == Qt::Key_Shift || key->key() == Qt::Key_AltGr;
    if (box == nullptr || box->echoMode() == QLineEdit::Normal || !QAccessible::isActive() ||
        !types || command_key_down ||
        (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return false;
    const QDBusConnection bus(QString::fromLatin1(kBridgeConnection));
    if (!bus.isConnected())
        return false;
    // What Qt's bridge sends for a key, with the key told as "*": its keysym, no hardware code
    // and no Shift, which would tell the character as well.
    QDBusArgument masked;
    masked.beginStructure();
    masked << static_cast<uint>(event->type() == QEvent::KeyPress ? 0 : 1) << kAsteriskKeysym << 0
           << 0 << static_cast<int>(QDateTime::currentMSecsSinceEpoch()) << QStringLiteral("*")
           << true;
    masked.endStructure();
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.a11y.atspi.Registry"),
        QStringLiteral("/org/a11y/atspi/registry/deviceeventcontroller"),
        QStringLiteral("org.a11y.atspi.DeviceEventController"),
        QStringLiteral("NotifyListenersSync"));
    notify << QVariant::fromValue(masked);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify, kKeyAnswerMilliseconds));
    // A listener that takes the key keeps it from the box; any other answer lets it through.
    auto copy = std::make_shared<QKeyEvent>(
        key->type(), key->key(), key->modifiers(), key->nativeScanCode(), key->nativeVirtualKey(),
        key->nativeModifiers(), key->text(), key->isAutoRepeat(), key->count());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [target = QPointer<QObject>(receiver), copy](QDBusPendingCallWatcher* call) {
                         const QDBusPendingReply<bool> reply = *call;
                         call->deleteLater();
                         if (target && !(reply.isValid() && reply.value()))
                             QCoreApplication::sendEvent(target, copy.get());
                     });
    return true;
}

}  // namespace varnholt::platform::qt
