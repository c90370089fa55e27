// What the Qt toolkit does apart from the windows: the program's bitmaps, the error report and
// the key codes KeyDown reports.
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <string>

#include "platform/linux/qt/qt_toolkit.h"
#include "runtime/error.h"

namespace varnholt::platform::qt {

class QtToolkitTest : public QObject {
    Q_OBJECT

  private:
    QtToolkit toolkit;

  private slots:
    void picturesAreFoundByTheirNamesOnly() {
        QCOMPARE(toolkit.LoadPicture("readonly").bitmap_name, std::string("READONLY"));
        for (const char* name : {"DISABLE", "READONLY", "RW"})
            QCOMPARE(toolkit.Pixmap(toolkit.LoadPicture(name).bitmap_name).size(), QSize(162, 162));
        for (const char* name : {"NOPE", "", "../RW", "icon/varnholt.ico"}) {
            try {
                toolkit.LoadPicture(name);
                QFAIL(name);
            } catch (const Error& error) {
                QCOMPARE(error.number(), 326);
            }
        }
    }

    void theErrorReportWaitsForTheUserAndShowsTheWholeText() {
        QString text;
        QTimer reader;  // runs inside the report's own event loop
        QObject::connect(&reader, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                reader.stop();
                text = box->windowTitle() + "|" + box->text();
                QTest::keyClick(box->windowHandle(), Qt::Key_Return);
            }
        });
        reader.start(10);
        toolkit.ShowErrorReport("Run-time error '326':\n\nResource with identifier 'X' not found");
        QCOMPARE(text, QString("Varnholt|Run-time error '326':\n\nResource with identifier 'X' not "
                               "found"));
    }

    void keyDownReportsWindowsKeyCodesAndShiftBits() {
        struct Case {
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
            int key_code;
            int shift;
        };
        const Case cases[] = {
            {Qt::Key_A, {}, 0x41, 0},
            {Qt::Key_Exclam, Qt::ShiftModifier, 0x31, 1},  // Shift+1
            {Qt::Key_ParenRight, Qt::ShiftModifier, 0x30, 1},
            {Qt::Key_5, Qt::KeypadModifier, 0x65, 0},
            {Qt::Key_Asterisk, Qt::KeypadModifier, 0x6A, 0},
            {Qt::Key_Shift, {}, 0x10, 1},
            {Qt::Key_C, Qt::ControlModifier | Qt::AltModifier, 0x43, 6},
            {Qt::Key_Return, {}, 0x0D, 0},
            {Qt::Key_F1, {}, 0x70, 0},
            {Qt::Key_F12, {}, 0x7B, 0},
            {Qt::Key_Colon, Qt::ShiftModifier, 0xBA, 1},
            {Qt::Key_Delete, {}, 0x2E, 0},
            {Qt::Key_Adiaeresis, {}, 0, 0},
        };
        for (const Case& c : cases) {
            const ui::KeyEvent key =
                VirtualKeyEvent(QKeyEvent(QEvent::KeyPress, c.key, c.modifiers));
            QCOMPARE(key.key_code, c.key_code);
            QCOMPARE(key.shift, c.shift);
        }
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtToolkitTest)
#include "qt_toolkit_test.moc"
