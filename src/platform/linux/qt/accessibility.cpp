#include "platform/linux/qt/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QStyle>
#include <QVariantMap>
#include <QWidget>

#include <cstdlib>
#include <string_view>
#include <utility>

namespace varnholt::platform::qt {
namespace {

constexpr char kAccessibleGroupProperty[] = "varnholtAccessibleGroup";
// The connection Qt's AT-SPI bridge opens to the accessibility bus; events sent on it come from
// this program's accessible objects, under the bridge's object paths.
constexpr char kBridgeConnection[] = "a11y";
constexpr char kAccessiblePathPrefix[] = "/org/a11y/atspi/accessible/";
constexpr int kAtspiLiveAssertive = 2;
constexpr int kBusQueryMilliseconds = 2000;

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

// Qt's own handling (the platform bridge) runs while no handler is installed.
void PassOn(QAccessibleEvent* event) {
    if (previous_update_handler != nullptr) {
        previous_update_handler(event);
        return;
    }
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(MaskPasswordText);
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

QAccessibleInterface* GroupInterface(const QString& class_name, QObject* object) {
    if (class_name == QLatin1String("QWidget") &&
        object->property(kAccessibleGroupProperty).toBool())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Grouping);
    return nullptr;
}

}  // namespace

void InstallAccessibility() {
    previous_update_handler = QAccessible::installUpdateHandler(MaskPasswordText);
    QAccessible::installFactory(GroupInterface);
}

QWidget* MakeAccessibleGroup(QWidget* parent, const QString& name) {
    auto* group = new QWidget(parent);
    group->setProperty(kAccessibleGroupProperty, true);
    group->setAccessibleName(name);
    return group;
}

// Qt's bridge has no announcement of its own: the AT-SPI event goes out on its connection.
void Announce(QWidget* source, const QString& text) {
    const QDBusConnection bus(QString::fromLatin1(kBridgeConnection));
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(source);
    if (!QAccessible::isActive() || !bus.isConnected() || accessible == nullptr)
        return;
    const QString path = QString::fromLatin1(kAccessiblePathPrefix) +
                         QString::number(QAccessible::uniqueId(accessible));
    QDBusMessage announcement = QDBusMessage::createSignal(
        path, QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("Announcement"));
    announcement << QString() << kAtspiLiveAssertive << 0 << QVariant::fromValue(QDBusVariant(text))
                 << QVariantMap();
    bus.send(announcement);
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
