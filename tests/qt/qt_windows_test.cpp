// The real windows on Qt, used through Qt's own input path as a user would use them.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "qt_program.h"

namespace varnholt::platform::qt {
namespace {

using ui::WindowId;

constexpr const char* kStart = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor\\Start";
constexpr const char* kWriteProtect =
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies\\WriteProtect";
constexpr const char* kRegistryLock =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\DisableRegistryTools";

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

// The names of the controls that Tab visits from the window's first focus, once round.
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

}  // namespace

class QtWindowsTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QtProgram> program;

    // Starts the program and logs in with the initial password; returns the main window.
    QWidget* LogIn() {
        program->application->Main();
        QWidget* login = QtProgram::Shown("Login");
        if (login == nullptr || !QTest::qWaitForWindowExposed(login)) {
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
        program->application->Main();
        QWidget* login = QtProgram::Shown("Login");
        QVERIFY(login);
        QVERIFY(QTest::qWaitForWindowExposed(login));
        QCOMPARE(login->windowTitle(), QString("Login"));
        auto* text1 = login->findChild<QLineEdit*>("Text1");
        QCOMPARE(login->focusWidget(), text1);

        Type(login, "Mango");
        QCOMPARE(text1->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        QCOMPARE(login->findChild<QLabel*>("Label1")->text(), QString("Error password"));
        QCOMPARE(QtProgram::Shown("Form1"), nullptr);

        Press(login, Qt::Key_A, Qt::ControlModifier);
        Type(login, "mango");
        QCOMPARE(text1->displayText(), QString("*****"));
        Press(login, Qt::Key_Return);
        QWidget* main = QtProgram::Shown("Form1");
        QVERIFY(main);
        QCOMPARE(main->windowTitle(), QString("Varnholt"));
        QCOMPARE(QtProgram::Shown("Login"), nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(main));
        QCOMPARE(main->focusWidget()->objectName(), QString("Command1"));
        QVERIFY(main->findChild<QAbstractButton*>("Optiond")->isChecked());  // no mode stored
    }

    void aClickOnAnOptionWritesItsModeAndShowsItsPicture() {
        QWidget* main = LogIn();
        QVERIFY(main);
        QCOMPARE(program->Stored(kStart), Dword(4));  // none stored: the load applied "disable"

        Click(main->findChild<QWidget*>("Optionr"));
        QCOMPARE(program->Stored(kStart), Dword(3));
        QCOMPARE(program->Stored(kWriteProtect), Dword(1));
        QVERIFY(main->findChild<QAbstractButton*>("Optionr")->isChecked());
        QVERIFY(!main->findChild<QAbstractButton*>("Optionrw")->isChecked());
        QCOMPARE(main->findChild<QLabel*>("Image1")->pixmap().toImage(),
                 program->toolkit.Pixmap("READONLY").toImage());

        Click(main->findChild<QWidget*>("Check1"));
        QCOMPARE(program->Stored(kRegistryLock), Dword(1));
    }

    void tabMovesInTheOrderOfTheTabIndexes() {
        program->application->Main();
        QWidget* login = QtProgram::Shown("Login");
        QVERIFY(login);
        QCOMPARE(TabOrder(login, 2), (QStringList{"Text1", "Command1", "Text1"}));
        Type(login, "mango");
        Press(login, Qt::Key_Return);
        QWidget* main = QtProgram::Shown("Form1");
        QVERIFY(main);
        QCOMPARE(TabOrder(main, 5),
                 (QStringList{"Command1", "Optionrw", "Optionr", "Optiond", "Check1", "Command1"}));
    }

    // While the dialog is open the main window takes no input; Enter and Esc do nothing in it.
    void theChangePasswordDialogIsModal() {
        QWidget* main = LogIn();
        QVERIFY(main);
        Click(main->findChild<QWidget*>("Optionr"));
        QWidget* modal = nullptr;
        QStringList dialog_tab_order;
        QString star_text;
        bool open_after_keys = false;
        QTimer inside_the_dialog;  // runs in the dialog's own event loop
        QObject::connect(&inside_the_dialog, &QTimer::timeout, [&] {
            QWidget* dialog = QtProgram::Shown("SetPassword");
            if (dialog == nullptr) {
                return;
            }
            inside_the_dialog.stop();
            modal = QApplication::activeModalWidget();
            dialog_tab_order = TabOrder(dialog, 4);
            Click(main->findChild<QWidget*>("Optiond"));
            main->windowHandle()->close();
            Type(dialog, "pw");
            star_text = dialog->findChild<QLineEdit*>("Text1")->displayText();
            Press(dialog, Qt::Key_Return);
            Press(dialog, Qt::Key_Escape);
            open_after_keys = QtProgram::Shown("SetPassword") == dialog &&
                              dialog->findChild<QLabel*>("Label4")->text().isEmpty();
            modal = modal == dialog ? modal : nullptr;
            dialog->windowHandle()->close();
        });
        inside_the_dialog.start(10);
        Click(main->findChild<QWidget*>("Command1"));  // returns once the dialog has closed

        QVERIFY(modal);
        QCOMPARE(dialog_tab_order, (QStringList{"Text1", "Command1", "Text2", "Text3", "Text1"}));
        QCOMPARE(star_text, QString("**"));
        QVERIFY(open_after_keys);
        QCOMPARE(program->Stored(kStart), Dword(3));  // the click on "Disable" was refused
        QVERIFY(!main->findChild<QAbstractButton*>("Optiond")->isChecked());
        QCOMPARE(QtProgram::Shown("Form1"), main);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);

        Click(main->findChild<QWidget*>("Optiond"));  // and now the main window takes it
        QCOMPARE(program->Stored(kStart), Dword(4));
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtWindowsTest)
#include "qt_windows_test.moc"
