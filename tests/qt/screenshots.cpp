// Renders each window of the real program to a PNG, over temporary hives, for the README:
//     screenshots <output folder>
// Run it on the offscreen platform; the images hold the windows' client areas.
#include <QApplication>
#include <QTimer>

#include <cstdio>

#include "qt_program.h"

namespace {

using varnholt::platform::qt::QtProgram;
using varnholt::ui::WindowId;

bool Save(const QString& window_name, const QString& file) {
    QWidget* window = QtProgram::Shown(window_name);
    if (window == nullptr || !window->grab().save(file, "PNG")) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: screenshots <output folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool saved = true;
    {
        QtProgram program;
        auto& flow = *program.application;
        // The main window shows the read-only mode, whose picture carries a badge.
        program.Hives()->RegWrite("HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor\\Start", 3,
                                  "REG_DWORD");
        program.Hives()->RegWrite(
            "HKLM\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies\\WriteProtect", 1,
            "REG_DWORD");

        flow.Main();
        flow.Dispatch([&] {
            program.Control<varnholt::ui::TextBox>(WindowId::kLogin, "Text1").SetText("mango");
        });
        saved = Save("Login", folder + "/linux-login.png") && saved;
        flow.Dispatch([&] {
            program.Control<varnholt::ui::CommandButton>(WindowId::kLogin, "Command1").Click();
        });
        saved = Save("Form1", folder + "/linux-main.png") && saved;

        QTimer::singleShot(0, [&] {
            saved = Save("SetPassword", folder + "/linux-setpassword.png") && saved;
            flow.CloseRequested(*flow.Loaded(WindowId::kSetPassword));
        });
        flow.Dispatch([&] {
            program.Control<varnholt::ui::CommandButton>(WindowId::kForm1, "Command1").Click();
        });
    }
    return saved ? 0 : 1;
}
