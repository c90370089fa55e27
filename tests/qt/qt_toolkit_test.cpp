// The Qt renderer on a window of its own: that it shows the model, hands every input to the
// flow, and changes nothing by itself.
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/error.h"
#include "platform/linux/qt/qt_toolkit.h"

namespace varnholt::platform::qt {
namespace {

using ui::ControlDescription;
using ui::ControlKind;

constexpr std::array kProbeControls{
    ControlDescription{ControlKind::kTextBox, "Secret", "", "", 120, 120, 1500, 375, 0, false, '*'},
    ControlDescription{ControlKind::kCommandButton, "Go", "Go", "", 120, 600, 1200, 495, 2, true},
    ControlDescription{ControlKind::kOptionButton, "First", "First", "first tip", 2000, 120, 1500,
                       375, 3},
    ControlDescription{ControlKind::kOptionButton, "Second", "Second", "", 2000, 600, 1500, 375, 1},
    ControlDescription{ControlKind::kCheckBox, "Check", "Check", "", 2000, 1080, 1500, 375, 4},
    ControlDescription{ControlKind::kLabel, "Note", "a <b>note</b>", "", 120, 1500, 3000, 255, 5,
                       false, '\0', ui::TextAlignment::kRight},
    ControlDescription{ControlKind::kPictureBox, "Picture", "", "", 3600, 120, 2430, 2430,
                       ui::kNoTabStop},
};
constexpr ui::WindowDescription kProbe{"Probe", "Probe window", 6300, 2700, kProbeControls};

class ProbeWindow final : public ui::Window {
  public:
    ProbeWindow() : Window(kProbe) {}
    template <typename T>
    T& Get(std::string_view name) {
        return static_cast<T&>(*FindControl(name));
    }
};

class RecordingSink final : public ui::InputSink {
  public:
    void Dispatch(const std::function<void()>& input) override {
        ++dispatches;
        input();
    }
    void CloseRequested(ui::Window& window) override {
        ++close_requests;
        if (unload_on_close) {
            window.DetachView();
        }
    }
    int dispatches = 0;
    int close_requests = 0;
    bool unload_on_close = false;
};

struct KeySeen {
    int key_code;
    int shift;
    std::string text_before;
    bool operator==(const KeySeen&) const = default;
};

}  // namespace

class QtToolkitTest : public QObject {
    Q_OBJECT

  private:
    QtToolkit toolkit;
    RecordingSink sink;
    std::unique_ptr<ProbeWindow> window;

    QWidget* Show() {
        window->AttachView(toolkit.CreateView(*window, sink));
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == "Probe" && widget->isVisible()) {
                return QTest::qWaitForWindowExposed(widget) ? widget : nullptr;
            }
        }
        return nullptr;
    }
    // A click as the window system delivers it, so modality and hit-testing take part.
    static void Click(QWidget* widget) {
        QWidget* form = widget->window();
        QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {},
                          widget->mapTo(form, widget->rect().center()));
    }
    static void Press(QWidget* form, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(form->windowHandle(), key, modifiers);
    }

  private slots:
    void init() {
        sink = RecordingSink();
        window = std::make_unique<ProbeWindow>();
    }
    void cleanup() {
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
    }

    void theWindowHasAFixedDialogFrameSizedInTwips() {
        QWidget* form = Show();
        QVERIFY(form);
        QCOMPARE(form->windowTitle(), QString("Probe window"));
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        // 15 twips to the pixel on the offscreen screen's 96 dots per inch.
        QCOMPARE(form->minimumSize(), QSize(420, 180));
        QCOMPARE(form->maximumSize(), QSize(420, 180));
        QCOMPARE(form->findChild<QWidget*>("Go")->geometry(), QRect(8, 40, 80, 33));
        QCOMPARE(form->findChild<QWidget*>("First")->toolTip(), QString("first tip"));
        QVERIFY(form->windowIcon().availableSizes().contains(QSize(16, 16)));

        auto* note = form->findChild<QLabel*>("Note");
        QCOMPARE(note->text(), QString("a <b>note</b>"));  // shown as typed, never as markup
        QCOMPARE(note->textFormat(), Qt::PlainText);
        QVERIFY(note->alignment() & Qt::AlignRight);
        window->Get<ui::Label>("Note").SetCaption("changed");
        QCOMPARE(note->text(), QString("changed"));
    }

    void anOptionClickGoesToTheModelWhichAloneDecidesWhatIsSelected() {
        auto& first = window->Get<ui::OptionButton>("First");
        auto& second = window->Get<ui::OptionButton>("Second");
        int first_clicks = 0;
        first.on_click = [&] { ++first_clicks; };
        second.SetValue(true);
        QWidget* form = Show();
        QVERIFY(form);
        auto* first_radio = form->findChild<QRadioButton*>("First");
        auto* second_radio = form->findChild<QRadioButton*>("Second");
        QVERIFY(second_radio->isChecked() && !first_radio->isChecked());

        Click(first_radio);
        QCOMPARE(first_clicks, 1);
        QVERIFY(first.value() && !second.value());
        QVERIFY(first_radio->isChecked() && !second_radio->isChecked());

        Click(first_radio);  // the selected option stays selected and raises nothing
        QCOMPARE(first_clicks, 1);
        QVERIFY(first_radio->isChecked());

        Press(form, Qt::Key_Down);  // focus and selection move on to the next option
        QVERIFY(second.value() && !first.value());
        QCOMPARE(form->focusWidget(), second_radio);
        Press(form, Qt::Key_Up);
        QCOMPARE(first_clicks, 2);
        QCOMPARE(form->focusWidget(), first_radio);

        const int dispatches = sink.dispatches;
        second.SetValue(true);  // from code: shown, without coming back as a user's click
        QVERIFY(second_radio->isChecked() && !first_radio->isChecked());
        QCOMPARE(sink.dispatches, dispatches);
    }

    void aCheckBoxClickTogglesTheModel() {
        auto& check = window->Get<ui::CheckBox>("Check");
        std::vector<int> values_seen;
        check.on_click = [&] { values_seen.push_back(check.value()); };
        QWidget* form = Show();
        QVERIFY(form);
        auto* box = form->findChild<QCheckBox*>("Check");
        Click(box);
        Click(box);
        QCOMPARE(values_seen, (std::vector<int>{1, 0}));
        QVERIFY(!box->isChecked());
        check.SetValue(1);
        QVERIFY(box->isChecked());
    }

    void keysReachTheModelBeforeTheTextAndOnlyStarsAreShown() {
        auto& secret = window->Get<ui::TextBox>("Secret");
        std::vector<KeySeen> seen;
        secret.on_key_down = [&](ui::KeyEvent key) {
            seen.push_back({key.key_code, key.shift, secret.text()});
        };
        QWidget* form = Show();
        QVERIFY(form);
        QTest::keyClick(form->windowHandle(), 'a');
        QTest::keyClick(form->windowHandle(), 'B', Qt::ShiftModifier);
        Press(form, Qt::Key_Left);
        const std::vector<KeySeen> expected{
            {0x41, 0, ""}, {0x10, 1, "a"}, {0x42, 1, "a"}, {0x25, 0, "aB"}};
        QVERIFY(seen == expected);
        QCOMPARE(secret.text(), std::string("aB"));
        QCOMPARE(form->findChild<QLineEdit*>("Secret")->displayText(), QString("**"));

        secret.SetText("xyz");
        QCOMPARE(form->findChild<QLineEdit*>("Secret")->displayText(), QString("***"));
    }

    void tabFollowsTheTabIndexesFromTheFirstFocus() {
        QWidget* form = Show();
        QVERIFY(form);
        QStringList order{form->focusWidget()->objectName()};
        for (int i = 0; i < 5; ++i) {
            Press(form, Qt::Key_Tab);
            order << form->focusWidget()->objectName();
        }
        QCOMPARE(order, (QStringList{"Secret", "Second", "Go", "First", "Check", "Secret"}));
    }

    void enterClicksTheDefaultButtonAndEscapeNothing() {
        int go_clicks = 0;
        window->Get<ui::CommandButton>("Go").on_click = [&] { ++go_clicks; };
        QWidget* form = Show();
        QVERIFY(form);
        Press(form, Qt::Key_Return);
        QCOMPARE(go_clicks, 1);
        Press(form, Qt::Key_Escape);
        QCOMPARE(go_clicks, 1);
        QCOMPARE(sink.close_requests, 0);
        QVERIFY(form->isVisible());
    }

    void theCloseBoxAsksTheFlowWhichUnloadsTheWindow() {
        QWidget* form = Show();
        QVERIFY(form);
        form->windowHandle()->close();
        QCOMPARE(sink.close_requests, 1);
        QVERIFY(form->isVisible());  // the flow has not unloaded it
        sink.unload_on_close = true;
        form->windowHandle()->close();
        QCOMPARE(sink.close_requests, 2);
        QVERIFY(window->view() == nullptr);
        QVERIFY(!form->isVisible());
    }

    void picturesAreFoundByTheirNamesOnly() {
        const ui::Picture picture = toolkit.LoadPicture("readonly");
        QCOMPARE(picture.bitmap_name, std::string("READONLY"));
        for (const char* name : {"DISABLE", "READONLY", "RW"}) {
            QCOMPARE(toolkit.Pixmap(toolkit.LoadPicture(name).bitmap_name).size(), QSize(162, 162));
        }
        for (const char* name : {"NOPE", "", "../RW", "icon/varnholt.ico"}) {
            try {
                toolkit.LoadPicture(name);
                QFAIL(name);
            } catch (const Error& error) {
                QCOMPARE(error.number(), 326);
                QCOMPARE(error.description(),
                         "Resource with identifier '" + std::string(name) + "' not found");
            }
        }

        window->Get<ui::PictureBox>("Picture").SetPicture(picture);
        QWidget* form = Show();
        QVERIFY(form);
        const QPixmap shown = form->findChild<QLabel*>("Picture")->pixmap();
        QCOMPARE(shown.toImage(), toolkit.Pixmap("READONLY").toImage());
    }

    void theErrorReportWaitsForTheUserAndShowsTheWholeText() {
        QString title;
        QString text;
        bool critical = false;
        QTimer reader;  // runs inside the report's own event loop
        QObject::connect(&reader, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            reader.stop();
            title = box->windowTitle();
            text = box->text();
            critical = box->icon() == QMessageBox::Critical;
            QTest::keyClick(box->windowHandle(), Qt::Key_Return);
        });
        reader.start(10);
        toolkit.ShowErrorReport("Run-time error '326':\n\nResource with identifier 'X' not found");
        QCOMPARE(title, QString("Varnholt"));
        QCOMPARE(text, QString("Run-time error '326':\n\nResource with identifier 'X' not found"));
        QVERIFY(critical);
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
            {Qt::Key_F12, {}, 0x7B, 0},
            {Qt::Key_Colon, Qt::ShiftModifier, 0xBA, 1},
            {Qt::Key_Delete, {}, 0x2E, 0},
            {Qt::Key_Adiaeresis, {}, 0, 0},
        };
        for (const Case& c : cases) {
            const QKeyEvent event(QEvent::KeyPress, c.key, c.modifiers);
            const ui::KeyEvent key = VirtualKeyEvent(event);
            QCOMPARE(key.key_code, c.key_code);
            QCOMPARE(key.shift, c.shift);
        }
    }
};

}  // namespace varnholt::platform::qt

QTEST_MAIN(varnholt::platform::qt::QtToolkitTest)
#include "qt_toolkit_test.moc"
