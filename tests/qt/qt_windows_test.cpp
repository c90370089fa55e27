// The real windows on Qt, used through Qt's own input path as a user would use them.
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

using namespace policy_value;

// The user, through the window system, so that modality, focus and hit-testing take part.
void Click(QWidget* widget) {
    QWidget* form = widget->window();
    QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {},
                      widget->mapTo(form, widget->rect().center()));
}

void Press(QWidget* form, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(form->windowHandle(), key, modifiers);
}

void Type(QWidget* form, const char* text) {
    for (; *text != '\0'; ++text) {
        QTest::keyClick(form->windowHandle(), *text);
    }
}

// The names of the controls that Tab visits from the current focus, once round.
QStringList TabOrder(QWidget* form, int stops) {
    QStringList order{form->focusWidget()->objectName()};
    for (int i = 0; i < stops; ++i) {
        Press(form, Qt::Key_Tab);
        order << form->focusWidget()->objectName();
    }
    return order;
}

std::optional<RegValue> Dword(std::int32_t value) {
    return RegValue{value};
}

bool Checked(QWidget* form, const char* option) {
    return form->findChild<QAbstractButton*>(option)->isChecked();
}

}  // namespace

class QtWindowsTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QtProgram> program;

    QWidget* ShowLogin() {
        program->application->Main();
        QWidget* login = QtProgram::Shown("Login");
        return login != nullptr && QTest::qWaitForWindowExposed(login) ? login : nullptr;
    }
    // Logs in with the initial password; returns the main window.
    QWidget* LogIn() {
        QWidget* login = ShowLogin();
        if (login == nullptr) {
            return nullptr;
        }
        Type(login, "mango");
        Press(login, Qt::Key_Return);
        QWidget* main = QtProgram::Shown("Form1");
        return main != nullptr && QTest::qWaitForWindowExposed(main) ? main : nullptr;
    }

  private slots:
    void init() { program = std::make_unique<QtProgram>(); }
    void cleanup() {
        program.reset();
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    void typingTheRightPasswordAndEnterOpensTheMainWindow() {
        QWidget* login = ShowLogin();
        QVERIFY(login);
        QCOMPARE(login->windowTitle(), QString("Login"));
        QVERIFY(login->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(login->windowFlags() &
                  (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(login->windowIcon().availableSizes().contains(QSize(16, 16)));
        QCOMPARE(TabOrder(login, 2), (QStringList{"Text1", "Command1", "Text1"}));

        auto* text1 = login->findChild<QLineEdit*>("Text1");
        Type(login, "Mango");
        QCOMPARE(text1->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        auto* label1 = login->findChild<QLabel*>("Label1");
        QCOMPARE(label1->text(), QString("Error password"));
        QVERIFY(label1->alignment() & Qt::AlignHCenter);
        QCOMPARE(QtProgram::Shown("Form1"), nullptr);

        Press(login, Qt::Key_A, Qt::ControlModifier);
        Type(login, "mango");
        QCOMPARE(text1->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        QWidget* main = QtProgram::Shown("Form1");
        QVERIFY(main);
        QCOMPARE(QtProgram::Shown("Login"), nullptr);
        QCOMPARE(main->windowTitle(), QString("Varnholt"));
        // 15 twips to the pixel at the offscreen screen's 96 dots per inch.
        QCOMPARE(main->size(), QSize(327, 276));
        QCOMPARE(main->findChild<QWidget*>("Image1")->geometry(), QRect(8, 16, 162, 162));
        QCOMPARE(main->findChild<QWidget*>("Optiond")->toolTip(),
                 QString("Disable USB storage device"));
        QVERIFY(QTest::qWaitForWindowExposed(main));
        QCOMPARE(TabOrder(main, 5),
                 (QStringList{"Command1", "Optionrw", "Optionr", "Optiond", "Check1", "Command1"}));
        QVERIFY(Checked(main, "Optiond"));  // no mode stored: the load applied "disable"
    }

    void closingTheLoginWindowEndsTheEventLoop() {
        QTimer::singleShot(0, [] { QtProgram::Shown("Login")->windowHandle()->close(); });
        QCOMPARE(app::RunProgram(program->toolkit, [] { QApplication::exec(); }), 0);
        QCOMPARE(QtProgram::Shown("Login"), nullptr);
        QCOMPARE(QtProgram::Shown("Form1"), nullptr);
    }

    // The options and the check box change only through the model, which writes at once.
    void clicksOnTheRealControlsWriteTheModeAndTheLock() {
        QWidget* main = LogIn();
        QVERIFY(main);
        Click(main->findChild<QWidget*>("Optiond"));  // the selected one stays selected
        QVERIFY(Checked(main, "Optiond"));

        Click(main->findChild<QWidget*>("Optionr"));
        QCOMPARE(program->Stored(kUsbStorageStart), Dword(3));
        QCOMPARE(program->Stored(kWriteProtect), Dword(1));
        QVERIFY(Checked(main, "Optionr") && !Checked(main, "Optiond"));
        QCOMPARE(main->findChild<QLabel*>("Image1")->pixmap().toImage(),
                 program->toolkit.Pixmap("READONLY").toImage());

        Press(main, Qt::Key_Down);  // as on Windows, an arrow key selects the next option
        QVERIFY(Checked(main, "Optiond") && !Checked(main, "Optionr"));
        QCOMPARE(program->Stored(kUsbStorageStart), Dword(4));

        Click(main->findChild<QWidget*>("Check1"));
        QCOMPARE(program->Stored(kDisableRegistryTools), Dword(1));
        Click(main->findChild<QWidget*>("Check1"));
        QCOMPARE(program->Stored(kDisableRegistryTools), Dword(0));
        QVERIFY(!Checked(main, "Check1"));
    }

    // While the dialog is open the main window takes no input; once it closes, the main window
    // has the keyboard again, on the button that opened it.
    void theChangePasswordDialogIsModal() {
        QWidget* main = LogIn();
        QVERIFY(main);
        Click(main->findChild<QWidget*>("Optionr"));
        main->findChild<QWidget*>("Command1")->setFocus();
        bool modal = false;
        QStringList dialog_tab_order;
        QStringList messages;
        QString stars;
        bool open_after_enter_and_escape = false;
        QTimer inside_the_dialog;  // runs in the dialog's own event loop
        QObject::connect(&inside_the_dialog, &QTimer::timeout, [&] {
            QWidget* dialog = QtProgram::Shown("SetPassword");
            if (dialog == nullptr) {
                return;
            }
            inside_the_dialog.stop();
            modal = QApplication::activeModalWidget() == dialog;
            dialog_tab_order = TabOrder(dialog, 4);
            Click(main->findChild<QWidget*>("Optiond"));
            main->windowHandle()->close();

            auto* label4 = dialog->findChild<QLabel*>("Label4");
            Click(dialog->findChild<QWidget*>("Command1"));  // the current password is wrong
            messages << label4->text();
            Press(dialog, Qt::Key_Tab);  // from "Change" to the new password's box
            Type(dialog, "x");
            messages << label4->text();
            Press(dialog, Qt::Key_Backtab);
            Press(dialog, Qt::Key_Backtab);
            Type(dialog, "pw");
            messages << label4->text();
            stars = dialog->findChild<QLineEdit*>("Text1")->displayText();

            Press(dialog, Qt::Key_Return);
            Press(dialog, Qt::Key_Escape);
            open_after_enter_and_escape =
                QtProgram::Shown("SetPassword") == dialog && label4->text().isEmpty();
            dialog->windowHandle()->close();
        });
        inside_the_dialog.start(10);
        Press(main, Qt::Key_Space);  // returns once the dialog has closed

        QVERIFY(modal);
        QCOMPARE(dialog_tab_order, (QStringList{"Text1", "Command1", "Text2", "Text3", "Text1"}));
        QCOMPARE(messages, (QStringList{"Current password error", "Current password error", ""}));
        QCOMPARE(stars, QString("**"));
        QVERIFY(open_after_enter_and_escape);
        QCOMPARE(program->Stored(kUsbStorageStart),
                 Dword(3));  // the click on "Disable" was refused
        QVERIFY(!Checked(main, "Optiond"));
        QCOMPARE(QtProgram::Shown("Form1"), main);

        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        QCOMPARE(QApplication::activeWindow(), main);
        QCOMPARE(main->focusWidget()->objectName(), QString("Command1"));
        Click(main->findChild<QWidget*>("Optiond"));
        QCOMPARE(program->Stored(kUsbStorageStart), Dword(4));
    }

    // Should every event loop be told to end while the dialog is open (as when the session
    // ends), the dialog's loop ends with them and the dialog is later removed without harm.
    void aDialogWhoseLoopEndedFromOutsideIsRemovedSafely() {
        QWidget* main = LogIn();
        QVERIFY(main);
        QTimer::singleShot(10, [] { QCoreApplication::exit(0); });
        Click(main->findChild<QWidget*>("Command1"));
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
