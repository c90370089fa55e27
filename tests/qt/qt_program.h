// The whole program on Qt over a registry in memory: the real windows, flow, policy and
// password code, with nothing of a real machine's registry in reach.
#pragma once

#include <QApplication>
#include <QWidget>

#include <memory>
#include <optional>

#include "app/application.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "support/memory_registry.h"

namespace varnholt::platform::qt {

struct QtProgram {
    QtProgram() {
        SharedShell().SetFactory(
            [h = hive] { return std::make_unique<testing::MemoryRegistry>(h); });
        SharedSettingsStore().SetFactory([h = hive] {
            return std::make_unique<RegistrySettingsStore>(
                std::make_unique<testing::MemoryRegistry>(h));
        });
        PasswordHash().clear();
    }
    ~QtProgram() {
        application.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SharedShell().Reset();
        SharedSettingsStore().Reset();
        SharedHasher().Reset();
        PasswordHash().clear();
    }

    // The visible top-level widget of the window of that name, or null.
    static QWidget* Shown(const QString& window_name) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == window_name && widget->isVisible())
                return widget;
        }
        return nullptr;
    }

    std::shared_ptr<testing::MemoryHive> hive = std::make_shared<testing::MemoryHive>();
    QtToolkit toolkit;
    std::unique_ptr<app::Application> application =
        std::make_unique<app::Application>(toolkit, [](int) {});
};

}  // namespace varnholt::platform::qt
