// The program on Linux: Qt's application object, the Qt windows, then the portable entry.
#include <QApplication>

#include "app/application.h"
#include "platform/linux/qt/accessibility.h"
#include "platform/linux/qt/elevation.h"
#include "platform/linux/qt/qt_toolkit.h"

int main(int argc_given, char** argv_given) {
    // Nothing of Qt's windows starts before the administrator prompt has been answered.
    if (const std::optional<int> status = varnholt::platform::qt::RunAsRootThroughPkexec())
        return *status;
    // Qt takes its own options (-style, -stylesheet and the like) out of the command line; the
    // program itself takes none but what the run before the prompt hands over (read below).
    QApplication application(argc_given, argv_given);
    varnholt::platform::qt::UseHandedOverAccessibilityBus(argc_given, argv_given);
    varnholt::platform::qt::QtToolkit toolkit;
    const int status = varnholt::app::RunProgram(toolkit, [] { QApplication::exec(); });
    // Windows unloaded in the last events are still waiting to be deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
