// What the Qt toolkit does apart from the windows: the program's bitmaps, the error report and
// the key codes KeyDown reports.
#include <QKeyEvent>
#include <QMessageBox>
#include <QtTest>

#include <tuple>

#include "platform/linux/qt/qt_toolkit.h"
#include "runtime/error.h"

namespace varnholt::platform::qt {

class QtToolkitTest : public QObject {
    Q_OBJECT

    QtToolkit toolkit;

  private slots:
    void picturesAreFoundByTheirNamesOnly() {
        QCOMPARE(toolkit.Pixmap(toolkit.LoadPicture("readonly").bitmap_name).size(),
                 QSize(162, 162));
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
        QTimer::singleShot(50, [&] {  // runs inside the report's own event loop
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            text = box->windowTitle() + "|" + box->text();
            QTest::keyClick(box->windowHandle(), Qt::Key_Return);
        });
        toolkit.ShowErrorReport("Run-time error '326':\n\nNot found");
        QCOMPARE(text, QString("Varnholt|Run-time error '326':\n\nNot found"));
    }

    void keyDownReportsWindowsKeyCodesAndShiftBits() {
        const std::tuple<Qt::Key, Qt::KeyboardModifiers, int, int> cases[] = {
            {Qt::Key_A, {}, 0x41, 0},
            {Qt::Key_Exclam, Qt::ShiftModifier, 0x31, 1},  // Shift+1
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
        for (const auto& [qt_key, modifiers, key_code, shift] : cases) {
            const ui::KeyEvent key =
                VirtualKeyEvent(QKeyEvent(QEvent::KeyPress, qt_key, modifiers));
            QCOMPARE(key.key_code, key_code);
            QCOMPARE(key.shift, shift);
        }
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtToolkitTest)
#include "qt_toolkit_test.moc"
