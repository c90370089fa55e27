// What the Qt toolkit does apart from the windows: the program's bitmaps and the error report.
#include <QMessageBox>
#include <QtTest>

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
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtToolkitTest)
#include "qt_toolkit_test.moc"
