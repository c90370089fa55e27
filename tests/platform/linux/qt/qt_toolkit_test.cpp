// The real windows on Qt, used through Qt's own input path as a user would use them, so that
// modality, focus, default buttons and hit-testing take part; and the toolkit's bitmaps and report.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>

#include "app/application.h"
#include "platform/linux/qt/qt_toolkit.h"
#include "policy/usb_policy.h"
#include "runtime/error.h"
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

QImage Looks(QWidget* form, const char* control) {
    return form->findChild<QWidget*>(control)->grab().toImage();
}

// The controls whose caption needs more room than they have.
QString Clipped(QWidget* form) {
    QString clipped;
    for (auto* button : form->findChildren<QAbstractButton*>())
        if (button->sizeHint().boundedTo(button->size()) != button->sizeHint())
            clipped += button->objectName();
    for (auto* label : form->findChildren<QLabel*>())
        if (label->pixmap().isNull() && label->heightForWidth(label->width()) > label->height())
            clipped += label->objectName();
    return clipped;
}

}  // namespace

class QtToolkitTest : public QObject {
    Q_OBJECT

    std::shared_ptr<testing::MemoryHive> hive;
    QtToolkit toolkit;
    std::unique_ptr<app::Application> application;
    const QFont desktop_font = QApplication::font();

    RegValue Stored(const char* name) const { return hive->values.at(name); }

  private slots:
    // The whole program over a registry in memory: nothing of the machine's registry in reach.
    void init() {
        hive = std::make_shared<testing::MemoryHive>();
        testing::UseMemoryHive(hive);
        application = std::make_unique<app::Application>(toolkit, [](int) {});
    }
    void cleanup() {
        QApplication::setFont(desktop_font);
        application.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    // Masked typing, Enter on the default button only, the tab orders, options written at once
    // by click or arrow key. The dialog holds the main window off; once it closes, the keyboard
    // is back on the button that opened it.
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
        QCOMPARE(main->focusWidget()->objectName(), QString("Command1"));  // first tab stop
        Click(main, "Optionr");
        QCOMPARE(main->findChild<QLabel*>("Image1")->pixmap().toImage(),
                 toolkit.Pixmap("READONLY").toImage());
        Press(main, Qt::Key_Down);
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

    // The layout grows with the desktop font, so that no caption is cut off; the focus shows
    // from the start, unlike the default button's frame, and after a click.
    void everyCaptionFitsAndTheFocusShowsAtEveryFontSize_data() {
        QTest::addColumn<int>("points");
        for (int points : {8, 11, 16, 24})
            QTest::addRow("%d pt", points) << points;
    }
    void everyCaptionFitsAndTheFocusShowsAtEveryFontSize() {
        QFETCH(int, points);
        QApplication::setFont(QFont(desktop_font.family(), points));
        application->Main();
        QWidget* login = Shown("Login");
        QVERIFY(QTest::qWaitForWindowActive(login));
        Type(login, "mango");
        const QImage unfocused = Looks(login, "Command1");
        Press(login, Qt::Key_Tab);
        QVERIFY(Looks(login, "Command1") != unfocused);
        QCOMPARE(Clipped(login), QString());
        Press(login, Qt::Key_Return);
        QWidget* main = Shown("Form1");
        QVERIFY(QTest::qWaitForWindowActive(main));
        QCOMPARE(main->width(), std::lround(4905 * points / 120.0));  // 15 twips a pixel at 8 pt
        QCOMPARE(Clipped(main), QString());
        const QImage focused = Looks(main, "Command1"), check_box = Looks(main, "Check1");
        Click(main, "Check1");
        Click(main, "Check1");
        QVERIFY(Looks(main, "Command1") != focused && Looks(main, "Check1") != check_box);
    }

    void picturesAreFoundByTheirNamesOnly() {
        QCOMPARE(toolkit.Pixmap(toolkit.LoadPicture("readonly").bitmap_name).size(),
                 QSize(162, 162));
        for (const char* name : {"NOPE", "", "../RW", "icon/varnholt.ico"}) {
            try {
                toolkit.LoadPicture(name);
                QFAIL(name);
            } catch (const Error& error) {
                QCOMPARE(error.number(), 326);
                QCOMPARE(error.source(), std::string("Varnholt"));
            }
        }
    }

    void theErrorReportWaitsForTheUserAndShowsTheWholeText() {
        QString text;
        QTimer::singleShot(50, [&] {  // runs inside the report's own event loop
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            text = box->windowTitle() + "|" + box->text();
            QTest::keyClick(box->windowHandle(), Qt::Key_Return);
        });
        toolkit.ShowErrorReport("Run-time error '326':\n\nNot found");
        QCOMPARE(text, QString("Varnholt|Run-time error '326':\n\nNot found"));
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

QTEST_MAIN(varnholt::platform::qt::QtToolkitTest)
#include "qt_toolkit_test.moc"
