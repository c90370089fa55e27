// The whole program on Qt over hive files in a temporary folder: the real windows, flow, policy
// and password code, with nothing of a real machine's registry in reach.
#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "app/application.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/hive_registry.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt::platform::qt {

class QtProgram {
  public:
    QtProgram() {
        SharedShell().SetFactory([this] { return Hives(); });
        SharedSettingsStore().SetFactory(
            [this] { return std::make_unique<RegistrySettingsStore>(Hives()); });
        SharedHasher().Reset();
        PasswordHash().clear();
    }

    // Nothing after this program may reach its folder, nor a real machine's hives.
    ~QtProgram() {
        application.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SharedShell().SetFactory([]() -> std::unique_ptr<RegistryShell> { Refuse(); });
        SharedSettingsStore().SetFactory([]() -> std::unique_ptr<SettingsStore> { Refuse(); });
        SharedHasher().Reset();
        PasswordHash().clear();
    }

    std::unique_ptr<HiveRegistry> Hives() const {
        return std::make_unique<HiveRegistry>(folder_.filePath("machine.reg").toStdString(),
                                              folder_.filePath("user.reg").toStdString());
    }
    std::optional<RegValue> Stored(const std::string& name) const {
        try {
            return Hives()->RegRead(name);
        } catch (const Error&) {
            return std::nullopt;
        }
    }

    // The visible top-level widget of the window of that name, or null.
    static QWidget* Shown(const QString& window_name) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == window_name && widget->isVisible()) {
                return widget;
            }
        }
        return nullptr;
    }

    template <typename T>
    T& Control(ui::WindowId id, std::string_view name) const {
        return static_cast<T&>(*application->Loaded(id)->FindControl(name));
    }

  private:
    [[noreturn]] static void Refuse() {
        Raise(ErrorNumber(registry_error::kAccessDenied), "QtProgram", "no registry here");
    }

    QTemporaryDir folder_;

  public:
    QtToolkit toolkit;
    std::optional<int> exit_status;
    std::unique_ptr<app::Application> application =
        std::make_unique<app::Application>(toolkit, [this](int status) { exit_status = status; });
};

}  // namespace varnholt::platform::qt
