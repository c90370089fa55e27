// The real windows on Qt, used through Qt's own input path as a user would use them, so that
// modality, focus, default buttons and hit-testing take part.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "policy/usb_policy.h"
#include "qt_program.h"

namespace varnholt::platform::qt {
namespace {

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

bool Checked(QWidget* form, const char* option) {
    return form->findChild<QAbstractButton*>(option)->isChecked();
}

}  // namespace

class QtWindowsTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QtProgram> program;

    QWidget* Exposed(const char* name) {
        QWidget* window = QtProgram::Shown(name);
        return window != nullptr && QTest::qWaitForWindowExposed(window) ? window : nullptr;
    }
    // Logs in with the initial password through the keyboard; returns the main window.
    QWidget* LogIn() {
        program->application->Main();
        QWidget* login = Exposed("Login");
        if (login == nullptr)
            return nullptr;
        Type(login, "mango");
        Press(login, Qt::Key_Return);
        return Exposed("Form1");
    }
    std::optional<RegValue> Stored(const char* name) const {
        const auto found = program->hive->values.find(name);
        return found == program->hive->values.end() ? std::nullopt : std::optional(found->second);
    }

  private slots:
    void init() { program = std::make_unique<QtProgram>(); }
    void cleanup() {
        program.reset();
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    // Typed text shows masked, Enter clicks the default button, a refusal shows in the label.
    void typingThePasswordAndEnterOpensTheMainWindow() {
        program->application->Main();
        QWidget* login = Exposed("Login");
        QVERIFY(login);
        Type(login, "Mango");
        QCOMPARE(login->findChild<QLineEdit*>("Text1")->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        QCOMPARE(login->findChild<QLabel*>("Label1")->text(), QString("Error password"));
        Press(login, Qt::Key_A, Qt::ControlModifier);
        Type(login, "mango");
        Press(login, Qt::Key_Return);
        QVERIFY(QtProgram::Shown("Form1"));
        QCOMPARE(QtProgram::Shown("Login"), nullptr);
    }

    void closingTheLoginWindowEndsTheEventLoop() {
        QTimer::singleShot(0, [] { QtProgram::Shown("Login")->windowHandle()->close(); });
        QCOMPARE(app::RunProgram(program->toolkit, [] { QApplication::exec(); }), 0);
    }

    // Clicks and, as on Windows, arrow keys on the options write at once. While the dialog is
    // open the main window takes no input; once it closes, the main window has the keyboard
    // again, on the button that opened it.
    void theMainWindowWritesAtOnceAndTheChangePasswordDialogIsModal() {
        QWidget* main = LogIn();
        QVERIFY(main);
        Click(main, "Optionr");
        QCOMPARE(Stored(policy_value::kWriteProtect), RegValue(1));
        QCOMPARE(main->findChild<QLabel*>("Image1")->pixmap().toImage(),
                 program->toolkit.Pixmap("READONLY").toImage());
        Press(main, Qt::Key_Down);
        QVERIFY(Checked(main, "Optiond") && !Checked(main, "Optionr"));
        QCOMPARE(Stored(policy_value::kUsbStorageStart), RegValue(4));
        Click(main, "Check1");
        QCOMPARE(Stored(policy_value::kDisableRegistryTools), RegValue(1));

        main->findChild<QWidget*>("Command1")->setFocus();
        bool modal = false;
        bool still_open = false;
        QStringList tab_order;
        QTimer inside;  // runs in the dialog's own event loop
        QObject::connect(&inside, &QTimer::timeout, [&] {
            QWidget* dialog = QtProgram::Shown("SetPassword");
            if (dialog == nullptr)
                return;
            inside.stop();
            modal = QApplication::activeModalWidget() == dialog;
            for (int i = 0; i < 4; ++i) {
                tab_order << dialog->focusWidget()->objectName();
                Press(dialog, Qt::Key_Tab);
            }
            Click(main, "Optionrw");
            main->windowHandle()->close();
            // No default or cancel button here: Enter and Escape do nothing.
            Press(dialog, Qt::Key_Return);
            Press(dialog, Qt::Key_Escape);
            still_open = QtProgram::Shown("SetPassword") == dialog &&
                         dialog->findChild<QLabel*>("Label4")->text().isEmpty();
            dialog->windowHandle()->close();
        });
        inside.start(10);
        Press(main, Qt::Key_Space);  // returns once the dialog has closed

        QVERIFY(modal && still_open);
        QCOMPARE(tab_order, (QStringList{"Text1", "Command1", "Text2", "Text3"}));
        QCOMPARE(Stored(policy_value::kUsbStorageStart), RegValue(4));
        QCOMPARE(QtProgram::Shown("Form1"), main);
        QCOMPARE(QApplication::activeWindow(), main);
        QCOMPARE(main->focusWidget()->objectName(), QString("Command1"));
        Click(main, "Optionrw");
        QCOMPARE(Stored(policy_value::kWriteProtect), RegValue(0));
    }

    // Should every event loop be told to end while the dialog is open (as when the session
    // ends), the dialog's loop ends with them and the dialog is later removed without harm.
    void aDialogWhoseLoopEndedFromOutsideIsRemovedSafely() {
        QWidget* main = LogIn();
        QVERIFY(main);
        QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
        Click(main, "Command1");
        QVERIFY(QtProgram::Shown("SetPassword"));
        program.reset();
        // The exit, asked for outside the main loop, would end the next tests' loops at once:
        // running the main loop clears it.
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
        QApplication::exec();
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtWindowsTest)
#include "qt_windows_test.moc"
