#include "platform/linux/qt/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QVariantMap>
#include <QWidget>

#include <cstdlib>
#include <string_view>
#include <utility>

namespace varnholt::platform::qt {
namespace {

constexpr char kAccessibleRoleProperty[] = "varnholtAccessibleRole";
// The connection Qt's AT-SPI bridge opens to the accessibility bus; events sent on it come from
// this program's accessible objects, under the bridge's object paths.
constexpr char kBridgeConnection[] = "a11y";
constexpr char kAccessiblePathPrefix[] = "/org/a11y/atspi/accessible/";
constexpr int kBusQueryMilliseconds = 2000;

// The control whose description carries the message last read out, while it does.
QPointer<QWidget> described;
// The text box taking the focus, while it does.
const QLineEdit* entering = nullptr;

// Whatever handled updates before (normally nothing: then Qt passes them to its bridge).
QAccessible::UpdateHandler previous_update_handler = nullptr;

bool IsLocalBusAddress(const std::string& address) {
    // One unix-socket address: never a program to start (unixexec) or another machine.
    return (address.starts_with("unix:path=/") || address.starts_with("unix:abstract=")) &&
           address.find(';') == std::string::npos;
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

// Qt 6.4's bridge loses a bus named in AT_SPI_BUS_ADDRESS (it reports the bus before it
// listens), and root may not join the user's session bus. So the elevated run takes the
// accessibility bus (which lets root in) as its session bus, and answers there itself what Qt
// asks the session's accessibility service: accessibility is on, and the bus is at `address`.
class HandedOverBus final : public QDBusVirtualObject {
  public:
    HandedOverBus(QString address, QObject* parent)
        : QDBusVirtualObject(parent), address_(std::move(address)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QVariant answer = message.member() == QLatin1String("GetAddress")
                                    ? QVariant(address_)
                                    : QVariant::fromValue(QDBusVariant(true));
        return connection.send(message.createReply(answer));
    }

  private:
    QString address_;
};

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

std::optional<std::string> AccessibilityBusAddress() {
    std::string address;
    if (const char* given = std::getenv("AT_SPI_BUS_ADDRESS"); given != nullptr && *given != '\0') {
        address = given;
    } else if (std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) {
        int argc = 1;
        char name[] = "varnholt";
        char* argv[] = {name, nullptr};
        const QCoreApplication core(argc, argv);  // for the session bus only: no display yet
        const QDBusConnection session = QDBusConnection::sessionBus();
        // Asked only where the session runs it already, as Qt itself does, so nothing starts.
        if (!session.isConnected() ||
            !session.interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")))
            return std::nullopt;
        // Handed over only where the session has accessibility on, as Qt decides for a user's run.
        const QDBusInterface status(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                    QStringLiteral("org.a11y.Status"), session);
        if (!status.property("IsEnabled").toBool() &&
            !status.property("ScreenReaderEnabled").toBool())
            return std::nullopt;
        const QDBusReply<QString> reply =
            session.call(QDBusMessage::createMethodCall(
                             QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                             QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
                         QDBus::Block, kBusQueryMilliseconds);
        address = reply.isValid() ? reply.value().toStdString() : std::string();
    }
    if (!IsLocalBusAddress(address))
        return std::nullopt;
    return address;
}

void UseHandedOverAccessibilityBus(int argc, char** argv) {
    const std::string_view option = kAccessibilityBusOption;
    const std::string given = argc == 2 ? argv[1] : "";
    if (!given.starts_with(option) || !IsLocalBusAddress(given.substr(option.size())))
        return;
    setenv("DBUS_SESSION_BUS_ADDRESS", given.c_str() + option.size(), 1);
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.registerVirtualObject(QStringLiteral("/org/a11y/bus"),
                              new HandedOverBus(QString::fromStdString(given.substr(option.size())),
                                                QCoreApplication::instance()));
    bus.registerService(QStringLiteral("org.a11y.Bus"));
}

}  // namespace varnholt::platform::qt
