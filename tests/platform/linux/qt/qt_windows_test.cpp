// The real windows on Qt, used through Qt's own input path as a user would use them, so that
// modality, focus, default buttons and hit-testing take part.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

#include "app/application.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "policy/usb_policy.h"
#include "support/memory_registry.h"

namespace varnholt::platform::qt {
namespace {

// The window of that name once it is visible and exposed, or null.
QWidget* Shown(const QString& window_name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == window_name && widget->isVisible())
            return QTest::qWaitForWindowExposed(widget) ? widget : nullptr;
    }
    return nullptr;
}

void Click(QWidget* form, const char* control) {
    QWidget* widget = form->findChild<QWidget*>(control);
    QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {},
                      widget->mapTo(form, widget->rect().center()));
}

void Press(QWidget* form, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(form->windowHandle(), key, modifiers);
}

void Type(QWidget* form, const char* text) {
    for (; *text != '\0'; ++text)
        QTest::keyClick(form->windowHandle(), *text);
}

}  // namespace

class QtWindowsTest : public QObject {
    Q_OBJECT

    std::shared_ptr<testing::MemoryHive> hive;
    QtToolkit toolkit;
    std::unique_ptr<app::Application> application;

    RegValue Stored(const char* name) const { return hive->values.at(name); }

  private slots:
    // The whole program over a registry in memory: nothing of the machine's registry in reach.
    void init() {
        hive = std::make_shared<testing::MemoryHive>();
        SharedShell().SetFactory(
            [h = hive] { return std::make_unique<testing::MemoryRegistry>(h); });
        SharedSettingsStore().SetFactory([h = hive] {
            return std::make_unique<RegistrySettingsStore>(
                std::make_unique<testing::MemoryRegistry>(h));
        });
        PasswordHash().clear();
        application = std::make_unique<app::Application>(toolkit, [](int) {});
    }
    void cleanup() {
        application.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    // Typed text shows masked, Enter clicks the default button, a refusal shows in the label.
    // Clicks and arrow keys on the options write at once. While the dialog is open the main
    // window takes no input; once it closes, the main window has the keyboard again, on the
    // button that opened it.
    void theWindowsTakeKeysAndClicksAndTheChangePasswordDialogIsModal() {
        application->Main();
        QWidget* login = Shown("Login");
        QVERIFY(login);
        Type(login, "Mango");
        QCOMPARE(login->findChild<QLineEdit*>("Text1")->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        QCOMPARE(login->findChild<QLabel*>("Label1")->text(), QString("Error password"));
        Press(login, Qt::Key_A, Qt::ControlModifier);
        Type(login, "mango");
        Press(login, Qt::Key_Return);
        QCOMPARE(Shown("Login"), nullptr);
        QWidget* main = Shown("Form1");
        QVERIFY(main);
        Click(main, "Optionr");
        QCOMPARE(Stored(policy_value::kWriteProtect), RegValue(1));
        QCOMPARE(main->findChild<QLabel*>("Image1")->pixmap().toImage(),
                 toolkit.Pixmap("READONLY").toImage());
        Press(main, Qt::Key_Down);
        QVERIFY(main->findChild<QAbstractButton*>("Optiond")->isChecked());
        QCOMPARE(Stored(policy_value::kUsbStorageStart), RegValue(4));
        Click(main, "Check1");
        QCOMPARE(Stored(policy_value::kDisableRegistryTools), RegValue(1));

        main->findChild<QWidget*>("Command1")->setFocus();
        bool modal_and_kept_open = false;
        QTimer inside;  // runs in the dialog's own event loop
        QObject::connect(&inside, &QTimer::timeout, [&] {
            QWidget* dialog = Shown("SetPassword");
            if (dialog == nullptr)
                return;
            inside.stop();
            Click(main, "Optionrw");
            main->windowHandle()->close();
            // No default or cancel button here: Enter and Escape do nothing.
            Press(dialog, Qt::Key_Return);
            Press(dialog, Qt::Key_Escape);
            modal_and_kept_open =
                QApplication::activeModalWidget() == dialog && Shown("SetPassword") == dialog;
            dialog->windowHandle()->close();
        });
        inside.start(10);
        Press(main, Qt::Key_Space);  // returns once the dialog has closed

        QVERIFY(modal_and_kept_open);
        QCOMPARE(Stored(policy_value::kUsbStorageStart), RegValue(4));
        QCOMPARE(Shown("Form1"), main);
        QCOMPARE(main->focusWidget()->objectName(), QString("Command1"));
        Click(main, "Optionrw");
        QCOMPARE(Stored(policy_value::kWriteProtect), RegValue(0));
    }

    // Should every event loop be told to end while the dialog is open (as when the session
    // ends), the dialog's loop ends with them and the dialog is later removed without harm.
    void aDialogWhoseLoopEndedFromOutsideIsRemovedSafely() {
        application->Main();
        Type(Shown("Login"), "mango");
        Press(Shown("Login"), Qt::Key_Return);
        QWidget* main = Shown("Form1");
        QVERIFY(main);
        QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
        Click(main, "Command1");
        QVERIFY(Shown("SetPassword"));
        application.reset();
        // The exit, asked for outside the main loop, would end the next tests' loops at once.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QApplication::exec();
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtWindowsTest)
#include "qt_windows_test.moc"
