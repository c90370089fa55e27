// Renders each window of the real program to a PNG for the README, over a registry in memory:
//     screenshots <output folder>
// Run it on the offscreen platform; the images hold the windows' client areas.
#include <QApplication>
#include <QTimer>

#include <cstdio>

#include "policy/usb_policy.h"
#include "qt_program.h"

using varnholt::platform::qt::QtProgram;
using varnholt::ui::WindowId;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screenshots <output folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool saved = true;
    const auto save = [&](const char* window, const char* file) {
        QWidget* shown = QtProgram::Shown(window);
        if (shown == nullptr || !shown->grab().save(folder + "/" + file, "PNG")) {
            std::fprintf(stderr, "screenshots: cannot write %s\n", file);
            saved = false;
        }
    };
    QtProgram program;
    // The main window shows the read-only mode, whose picture carries a badge.
    program.hive->values[varnholt::policy_value::kUsbStorageStart] = 3;
    program.hive->values[varnholt::policy_value::kWriteProtect] = 1;
    auto& flow = *program.application;
    const auto control = [&](WindowId id, const char* name) -> auto& {
        return *flow.Loaded(id)->FindControl(name);
    };
    flow.Main();
    flow.Dispatch([&] {
        dynamic_cast<varnholt::ui::TextBox&>(control(WindowId::kLogin, "Text1")).SetText("mango");
    });
    save("Login", "linux-login.png");
    flow.Dispatch([&] {
        dynamic_cast<varnholt::ui::CommandButton&>(control(WindowId::kLogin, "Command1")).Click();
    });
    save("Form1", "linux-main.png");
    QTimer::singleShot(0, [&] {
        save("SetPassword", "linux-setpassword.png");
        flow.CloseRequested(*flow.Loaded(WindowId::kSetPassword));
    });
    flow.Dispatch([&] {
        dynamic_cast<varnholt::ui::CommandButton&>(control(WindowId::kForm1, "Command1")).Click();
    });
    return saved ? 0 : 1;
}
