// Renders each window of the real program to a PNG for the README, over hive files in a
// temporary folder, so the machine's own settings are neither read nor changed:
//     screenshots <output folder>
// Run it on the offscreen platform; the images hold the windows' client areas.
#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <memory>

#include "app/application.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/hive_registry.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "policy/usb_policy.h"

using namespace varnholt;
using ui::WindowId;

namespace {

QWidget* Shown(const QString& window_name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == window_name && widget->isVisible())
            return widget;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QTemporaryDir hives;
    if (argc != 2 || !hives.isValid()) {
        std::fprintf(stderr, "usage: screenshots <output folder>\n");
        return 2;
    }
    const auto hive = [machine = hives.filePath("machine.reg").toStdString(),
                       user = hives.filePath("user.reg").toStdString()] {
        return std::make_unique<platform::HiveRegistry>(machine, user);
    };
    SharedShell().SetFactory(hive);
    SharedSettingsStore().SetFactory(
        [hive] { return std::make_unique<RegistrySettingsStore>(hive()); });
    // The main window shows the read-only mode, whose picture carries a badge.
    ApplyUsbMode(UsbMode::kReadOnly);

    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool saved = true;
    // Each window as it opens, with the application's font and palette as they are now.
    const auto render = [&](const char* suffix) {
        const auto save = [&](const char* window, const char* name) {
            const QString file = QString::fromLatin1("linux-%1%2.png").arg(name, suffix);
            QWidget* shown = Shown(window);
            if (shown == nullptr || !shown->grab().save(folder + "/" + file, "PNG")) {
                std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(file));
                saved = false;
            }
        };
        platform::qt::QtToolkit toolkit;
        app::Application flow(toolkit, [](int) {});
        const auto control = [&](WindowId id, const char* name) -> auto& {
            return *flow.Loaded(id)->FindControl(name);
        };
        flow.Main();
        flow.Dispatch([&] {
            dynamic_cast<ui::TextBox&>(control(WindowId::kLogin, "Text1")).SetText("mango");
        });
        save("Login", "login");
        flow.Dispatch([&] {
            dynamic_cast<ui::CommandButton&>(control(WindowId::kLogin, "Command1")).Click();
        });
        save("Form1", "main");
        QTimer::singleShot(0, [&] {
            save("SetPassword", "setpassword");
            flow.CloseRequested(*flow.Loaded(WindowId::kSetPassword));
        });
        flow.Dispatch([&] {
            dynamic_cast<ui::CommandButton&>(control(WindowId::kForm1, "Command1")).Click();
        });
        flow.CloseRequested(*flow.Loaded(WindowId::kForm1));
    };
    render("");
    // The desktop's font at 16 points, as a user who needs larger text sets it.
    const QFont desktop = QApplication::font();
    QApplication::setFont(QFont(desktop.family(), 16));
    render("-16pt");
    QApplication::setFont(desktop);
    // A high-contrast palette, as a desktop theme hands it to Qt.
    // A high-contrast palette and a style that draws its edges in the palette's colours, as a
    // desktop theme or the -style option hands them to Qt.
    QApplication::setStyle(QStringLiteral("Windows"));
    QPalette contrast(Qt::white, Qt::black, Qt::white, Qt::white, Qt::white, Qt::white, Qt::yellow,
                      Qt::black, Qt::black);
    contrast.setColor(QPalette::Highlight, Qt::yellow);
    contrast.setColor(QPalette::HighlightedText, Qt::black);
    contrast.setColor(QPalette::Shadow, Qt::white);
    QApplication::setPalette(contrast);
    render("-high-contrast");
    return saved ? 0 : 1;
}
