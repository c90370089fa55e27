// The program on Linux: the administrator's helper, Qt's application object, the Qt windows,
// then the portable entry.
#include <QApplication>

#include "app/application.h"
#include "platform/linux/hive_registry.h"
#include "platform/linux/machine_writer/machine_writer.h"
#include "platform/linux/qt/accessibility.h"
#include "platform/linux/qt/elevation.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "policy/registry_shell.h"

namespace {

// Sees each event before Qt's accessibility bridge does.
class Application final : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        return varnholt::platform::qt::TookPasswordKey(receiver, event) ||
               QApplication::notify(receiver, event);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Nothing of Qt's windows starts before the administrator prompt has been answered.
    const varnholt::platform::qt::Elevation elevation = varnholt::platform::qt::Elevate();
    if (elevation.end_status)
        return *elevation.end_status;
    if (elevation.machine_writer >= 0) {
        varnholt::SharedShell().SetFactory([helper = elevation.machine_writer] {
            return varnholt::platform::MachineWritesThroughHelper(
                varnholt::platform::CreateRegistryShell(), helper);
        });
    }
    // The program takes no command line of its own; Qt takes its options (-style, -stylesheet
    // and the like) out of it.
    Application application(argc, argv);
    varnholt::platform::qt::QtToolkit toolkit;
    const int status = varnholt::app::RunProgram(toolkit, [] { QApplication::exec(); });
    // Windows unloaded in the last events are still waiting to be deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
