#include "platform/linux/qt/qt_toolkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFont>
#include <QFontInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyleFactory>
#include <QStyleOption>
#include <QStylePainter>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/linux/qt/accessibility.h"
#include "runtime/error.h"

namespace varnholt::platform::qt {
namespace {

constexpr char kPasswordCharProperty[] = "varnholtPasswordChar";
constexpr char kErrorReportTitle[] = "Varnholt";
constexpr double kTwipsPerInch = 1440;
constexpr int kDialogFontPoints = 8;

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Password boxes show the character their description names instead of the style's own dot,
// and never the last character typed for a moment, as some platform themes would have them do.
class PasswordCharacterStyle final : public QProxyStyle {
  public:
    // Over the application's own style, whatever chose it (also a style set in code, which
    // QProxyStyle would not follow).
    PasswordCharacterStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* return_data) const override {
        if (hint == SH_LineEdit_PasswordMaskDelay) {
            return 0;
        }
        if (hint == SH_LineEdit_PasswordCharacter && widget != nullptr) {
            const QVariant character = widget->property(kPasswordCharProperty);
            if (character.isValid()) {
                return character.toInt();
            }
        }
        return QProxyStyle::styleHint(hint, option, widget, return_data);
    }
};

// Option buttons and check boxes do not change themselves when clicked: the click goes to the
// model, and the model's new value comes back through ControlChanged. As on Windows, the whole
// control takes the click, not only its mark and caption.
template <typename Button>
class ModelButton final : public Button {
  public:
    using Button::Button;

  protected:
    void nextCheckState() override {}
    bool hitButton(const QPoint& position) const override {
        return this->rect().contains(position);
    }
    // As on Windows, an arrow key moves to the next option of the window and selects it.
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        const bool forward = key == Qt::Key_Down || key == Qt::Key_Right;
        const bool backward = key == Qt::Key_Up || key == Qt::Key_Left;
        if constexpr (std::is_same_v<Button, QRadioButton>) {
            if (forward || backward) {
                QWidget* next = this;
                do {
                    next = forward ? next->nextInFocusChain() : next->previousInFocusChain();
                } while (next != this && qobject_cast<QRadioButton*>(next) == nullptr);
                next->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                static_cast<QRadioButton*>(next)->click();
                return;
            }
        }
        Button::keyPressEvent(event);
    }
    // Qt would leave only the focused option of a group in the tab chain; Tab reaches each here.
    void focusInEvent(QFocusEvent* event) override {
        Button::focusInEvent(event);
        if constexpr (std::is_same_v<Button, QRadioButton>) {
            for (QWidget* option : this->parentWidget()->template findChildren<QRadioButton*>(
                     Qt::FindDirectChildrenOnly)) {
                option->setFocusPolicy(Qt::StrongFocus);
            }
        }
    }
};

// Some styles (Fusion among them) draw a focused button as they draw the default one: the
// style's focus frame goes inside, so that the focus shows on the default button too.
class FocusFramedButton final : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void paintEvent(QPaintEvent* event) override {
        QPushButton::paintEvent(event);
        if (!hasFocus())
            return;
        QStyleOptionButton button;
        initStyleOption(&button);
        QStyleOptionFocusRect frame;
        frame.initFrom(this);
        frame.rect = style()->subElementRect(QStyle::SE_PushButtonFocusRect, &button, this);
        frame.backgroundColor = palette().color(QPalette::Button);
        QStylePainter(this).drawPrimitive(QStyle::PE_FrameFocusRect, frame);
    }
};

}  // namespace

class QtWindowView;

// The top-level widget of one window. It outlives its view by a little (it is deleted once
// control is back in the event loop, as the view may go inside one of its own events), so
// every input checks that the view is still there. The flow reports what an input raises; were
// anything to escape it all the same, the process ends here rather than unwind through Qt.
class FormWidget final : public QWidget {
  public:
    explicit FormWidget(QtWindowView* view)
        : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint),
          view_(view) {}

    void Detach() noexcept { view_ = nullptr; }
    void Send(const std::function<void()>& input) noexcept;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QtWindowView* view_;
};

namespace {

class ModelLineEdit final : public QLineEdit {
  public:
    ModelLineEdit(FormWidget& form, ui::TextBox& box) : QLineEdit(&form), form_(form), box_(box) {}

  protected:
    // The key goes to the model before the box acts on it, as KeyDown precedes the typing.
    void keyPressEvent(QKeyEvent* event) override {
        ui::TextBox& box = box_;
        form_.Send([&box] { box.KeyDown(); });
        QLineEdit::keyPressEvent(event);
    }
    void focusInEvent(QFocusEvent* event) override {
        EnterTextBox(this, [this, event] { QLineEdit::focusInEvent(event); });
    }

  private:
    FormWidget& form_;
    ui::TextBox& box_;
};

}  // namespace

class QtWindowView final : public ui::WindowView {
  public:
    QtWindowView(QtToolkit& toolkit, ui::Window& window, ui::InputSink& input);
    ~QtWindowView() override;

    void ControlChanged(const ui::Control& control) override;

    void Send(const std::function<void()>& input) noexcept { input_.Dispatch(input); }
    void ShowModelAgain();
    void CloseBox() noexcept { input_.CloseRequested(window_); }
    bool ClickDefaultButton() noexcept;
    void RunModal();

  private:
    QWidget* MakeWidget(ui::Control& control);

    QtToolkit& toolkit_;
    ui::Window& window_;
    ui::InputSink& input_;
    FormWidget* form_;
    std::vector<std::pair<const ui::Control*, QWidget*>> widgets_;
    ui::CommandButton* default_button_ = nullptr;
    QPointer<QEventLoop> modal_loop_;  // null again once the loop has ended, however it ended
    QWidget* option_group_ = nullptr;  // holds the options where the window names their group
    // Messages set from then on are read out; the one a window opens with is not.
    bool built_ = false;
};

// A window that a modal one holds off takes no input; only an accessibility client's action can
// still reach it, and what that action changed on the screen goes back to the model's state.
void FormWidget::Send(const std::function<void()>& input) noexcept {
    if (view_ == nullptr) {
        return;
    }
    const QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != this) {
        view_->ShowModelAgain();
        return;
    }
    view_->Send(input);
}

void FormWidget::closeEvent(QCloseEvent* event) {
    event->ignore();  // the flow unloads the window, which takes it off the screen
    if (view_ != nullptr) {
        view_->CloseBox();
    }
}

// Reached by the keys the focused control leaves alone. Esc does nothing on these windows.
void FormWidget::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && view_ != nullptr && view_->ClickDefaultButton()) {
        return;
    }
    QWidget::keyPressEvent(event);
}

QtWindowView::QtWindowView(QtToolkit& toolkit, ui::Window& window, ui::InputSink& input)
    : toolkit_(toolkit), window_(window), input_(input), form_(new FormWidget(this)) {
    const ui::WindowDescription& description = window.description();
    form_->setObjectName(ToQString(description.name));
    form_->setWindowTitle(ToQString(description.caption));
    SetAccessibleRole(form_, description.main_window ? QAccessible::Window : QAccessible::Dialog);
    // The layouts in twips were made for the narrow 8-point Windows dialog font and grow with
    // the desktop's font (Pixels); its narrower cut, where it has one, keeps each caption inside
    // its control.
    QFont font = QApplication::font();
    font.setStretch(QFont::SemiCondensed);
    form_->setFont(font);
    form_->setFixedSize(toolkit.Pixels(description.client_width),
                        toolkit.Pixels(description.client_height));

    std::vector<std::pair<int, QWidget*>> tab_stops;
    for (const auto& control : window.controls()) {
        const ui::ControlDescription& place = control->description();
        QWidget* widget = MakeWidget(*control);
        widget->setObjectName(ToQString(place.name));
        widget->setGeometry(toolkit.Pixels(place.left), toolkit.Pixels(place.top),
                            toolkit.Pixels(place.width), toolkit.Pixels(place.height));
        if (!place.tool_tip.empty()) {
            widget->setToolTip(ToQString(place.tool_tip));
        }
        if (!place.accessible_name.empty()) {
            widget->setAccessibleName(ToQString(place.accessible_name));
        }
        if (place.tab_index != ui::kNoTabStop && widget->focusPolicy() != Qt::NoFocus) {
            tab_stops.emplace_back(place.tab_index, widget);
        }
        widgets_.emplace_back(control.get(), widget);
        ControlChanged(*control);
    }
    if (option_group_ != nullptr) {
        // The group fits around its options; they keep their place in the window.
        const QRect around = option_group_->childrenRect();
        option_group_->setGeometry(around);
        for (QWidget* option : option_group_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            option->move(option->pos() - around.topLeft());
    }
    std::stable_sort(tab_stops.begin(), tab_stops.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < tab_stops.size(); ++i) {
        QWidget::setTabOrder(tab_stops[i - 1].second, tab_stops[i].second);
    }

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        form_->move(screen->availableGeometry().center() - form_->rect().center());
    }
    built_ = true;
    form_->show();
    // A window shown takes the keyboard, also where no window manager hands it over.
    form_->activateWindow();
    if (!tab_stops.empty()) {
        tab_stops.front().second->setFocus(Qt::OtherFocusReason);
    }
}

QtWindowView::~QtWindowView() {
    if (modal_loop_) {
        modal_loop_->quit();
    }
    const bool was_active = form_->isActiveWindow();
    form_->Detach();
    form_->hide();
    form_->deleteLater();
    // The keyboard goes back to a window still shown (the main window, once the dialog goes)
    // rather than to no window at all.
    if (was_active) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget != form_ && widget->isVisible() && dynamic_cast<FormWidget*>(widget)) {
                widget->activateWindow();
                break;
            }
        }
    }
}

QWidget* QtWindowView::MakeWidget(ui::Control& control) {
    const ui::ControlDescription& description = control.description();
    const QString caption = ToQString(description.caption);
    switch (description.kind) {
        case ui::ControlKind::kCommandButton: {
            auto& button = static_cast<ui::CommandButton&>(control);
            auto* widget = new FocusFramedButton(caption, form_);
            widget->setAutoDefault(false);
            if (description.default_button) {
                widget->setDefault(true);
                default_button_ = &button;
            }
            QObject::connect(widget, &QPushButton::clicked, form_, [form = form_, &button] {
                form->Send([&button] { button.Click(); });
            });
            return widget;
        }
        case ui::ControlKind::kOptionButton: {
            auto& option = static_cast<ui::OptionButton&>(control);
            const std::string_view group_name = window_.description().option_group_name;
            if (option_group_ == nullptr && !group_name.empty()) {
                option_group_ = MakeAccessibleGroup(form_, ToQString(group_name));
                option_group_->resize(form_->size());
            }
            // Auto-exclusive, so screen readers know it for an option; the model still decides.
            auto* widget =
                new ModelButton<QRadioButton>(caption, option_group_ ? option_group_ : form_);
            QObject::connect(widget, &QAbstractButton::clicked, form_, [form = form_, &option] {
                form->Send([&option] { option.SetValue(true); });
            });
            // Checked by anything but the model (an accessibility client's toggle): a selection.
            QObject::connect(widget, &QAbstractButton::toggled, form_,
                             [form = form_, &option](bool checked) {
                                 if (checked)
                                     form->Send([&option] { option.SetValue(true); });
                             });
            return widget;
        }
        case ui::ControlKind::kCheckBox: {
            auto& check_box = static_cast<ui::CheckBox&>(control);
            auto* widget = new ModelButton<QCheckBox>(caption, form_);
            QObject::connect(widget, &QAbstractButton::clicked, form_, [form = form_, &check_box] {
                form->Send([&check_box] { check_box.Toggle(); });
            });
            QObject::connect(widget, &QAbstractButton::toggled, form_,
                             [form = form_, &check_box](bool checked) {
                                 form->Send([&check_box, checked] { check_box.SetValue(checked); });
                             });
            return widget;
        }
        case ui::ControlKind::kTextBox: {
            auto& box = static_cast<ui::TextBox&>(control);
            auto* widget = new ModelLineEdit(*form_, box);
            if (description.password_char != '\0') {
                widget->setProperty(kPasswordCharProperty,
                                    static_cast<int>(description.password_char));
                widget->setStyle(toolkit_.password_style());
                widget->setEchoMode(QLineEdit::Password);
            }
            // Typed or set by an accessibility client: the model hears every change not its own.
            QObject::connect(widget, &QLineEdit::textChanged, form_,
                             [form = form_, &box](const QString& text) {
                                 form->Send([&box, &text] { box.TextEdited(text.toStdString()); });
                             });
            return widget;
        }
        case ui::ControlKind::kLabel: {
            auto* widget = new QLabel(form_);
            widget->setTextFormat(Qt::PlainText);
            widget->setWordWrap(true);
            const Qt::Alignment across =
                description.alignment == ui::TextAlignment::kRight    ? Qt::AlignRight
                : description.alignment == ui::TextAlignment::kCenter ? Qt::AlignHCenter
                                                                      : Qt::AlignLeft;
            widget->setAlignment(across | Qt::AlignTop);
            return widget;
        }
        case ui::ControlKind::kPictureBox: {
            auto* widget = new QLabel(form_);
            widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            // The bitmaps fill their box at 8 points; the box grows with the font.
            widget->setScaledContents(true);
            return widget;
        }
    }
    return new QWidget(form_);
}

void QtWindowView::ControlChanged(const ui::Control& control) {
    const auto found = std::find_if(widgets_.begin(), widgets_.end(), [&control](const auto& pair) {
        return pair.first == &control;
    });
    if (found == widgets_.end()) {
        return;
    }
    QWidget* widget = found->second;
    // What the model shows is no input: the widgets' change signals stay quiet meanwhile.
    const QSignalBlocker quiet(widget);
    switch (control.description().kind) {
        case ui::ControlKind::kCommandButton:
            break;
        case ui::ControlKind::kOptionButton: {
            auto* option = static_cast<QAbstractButton*>(widget);
            const bool selected = static_cast<const ui::OptionButton&>(control).value();
            // An auto-exclusive option refuses to be cleared alone; the model may clear it so.
            option->setAutoExclusive(selected);
            option->setChecked(selected);
            option->setAutoExclusive(true);
            break;
        }
        case ui::ControlKind::kCheckBox:
            static_cast<QAbstractButton*>(widget)->setChecked(
                static_cast<const ui::CheckBox&>(control).value() == 1);
            break;
        case ui::ControlKind::kTextBox: {
            auto* edit = static_cast<QLineEdit*>(widget);
            const QString text = ToQString(static_cast<const ui::TextBox&>(control).text());
            if (edit->text() != text) {
                edit->setText(text);
            }
            break;
        }
        case ui::ControlKind::kLabel: {
            const QString caption = ToQString(static_cast<const ui::Label&>(control).caption());
            auto* label = static_cast<QLabel*>(widget);
            label->setText(caption);
            // The layouts were made for another font: a caption a line's leading taller than its
            // box takes the room below rather than lose its last line.
            label->resize(label->width(), std::max(toolkit_.Pixels(control.description().height),
                                                   label->heightForWidth(label->width())));
            if (built_ && control.description().announces_caption) {
                Announce(widget, caption);
            }
            break;
        }
        case ui::ControlKind::kPictureBox: {
            const auto& picture = static_cast<const ui::PictureBox&>(control);
            static_cast<QLabel*>(widget)->setPixmap(toolkit_.Pixmap(picture.picture()));
            widget->setAccessibleName(ToQString(picture.alternative_text()));
            break;
        }
    }
}

// Labels keep what they show: setting a message again would read it out again.
void QtWindowView::ShowModelAgain() {
    for (const auto& [control, widget] : widgets_) {
        if (control->description().kind != ui::ControlKind::kLabel) {
            ControlChanged(*control);
        }
    }
}

bool QtWindowView::ClickDefaultButton() noexcept {
    if (default_button_ == nullptr) {
        return false;
    }
    ui::CommandButton& button = *default_button_;
    Send([&button] { button.Click(); });
    return true;
}

void QtWindowView::RunModal() {
    // Qt takes a window's modality into account only when it is shown.
    form_->hide();
    form_->setWindowModality(Qt::ApplicationModal);
    form_->show();
    QEventLoop loop;
    modal_loop_ = &loop;
    loop.exec();  // ends as the view goes (or as every loop is told to); use nothing of it after
}

QtToolkit::QtToolkit()
    : pixels_per_twip_(96 / kTwipsPerInch), password_style_(new PasswordCharacterStyle) {
    password_style_->setParent(QCoreApplication::instance());
    InstallAccessibility();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        pixels_per_twip_ = screen->logicalDotsPerInch() / kTwipsPerInch;
    }
    // Focus is drawn from the moment a window opens and after a click too, not only once a key
    // has moved it (Qt clears this at each other move).
    QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget*, QWidget* now) {
        if (now != nullptr && dynamic_cast<FormWidget*>(now->window()) != nullptr)
            now->window()->setAttribute(Qt::WA_KeyboardFocusChange);
    });
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/icon/varnholt.ico")));
    // The window flow says when the process ends, through Quit.
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

QtToolkit::~QtToolkit() = default;

std::unique_ptr<ui::WindowView> QtToolkit::CreateView(ui::Window& window, ui::InputSink& input) {
    return std::make_unique<QtWindowView>(*this, window, input);
}

void QtToolkit::RunModal(ui::Window& window) {
    if (auto* view = dynamic_cast<QtWindowView*>(window.view())) {
        view->RunModal();
    }
}

// Ends the main loop once the current event is done. Without a loop running there is nothing to
// end (the flow starts none once it has ended), and an exit asked for then would end whichever
// loop ran next.
void QtToolkit::Quit() {
    if (QThread::currentThread()->loopLevel() > 0) {
        QCoreApplication::exit(0);
    }
}

// Resource names are case-insensitive, as on Windows; the resources keep them in upper case.
ui::Picture QtToolkit::LoadPicture(std::string_view bitmap_name) {
    std::string key(bitmap_name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (!pixmaps_.contains(key)) {
        const QString name = QString::fromStdString(key);
        if (!QDir(QStringLiteral(":/bitmap")).entryList().contains(name)) {
            Raise(runtime_error_number::kResourceNotFound, "Varnholt",
                  "Resource with identifier '" + std::string(bitmap_name) + "' not found");
        }
        QPixmap pixmap;
        if (!pixmap.load(QStringLiteral(":/bitmap/") + name, "BMP")) {
            Raise(runtime_error_number::kInvalidPicture, "Varnholt", "Invalid picture");
        }
        pixmaps_.emplace(key, std::move(pixmap));
    }
    return ui::Picture{key};
}

QPixmap QtToolkit::Pixmap(const std::string& bitmap_name) const {
    const auto found = pixmaps_.find(bitmap_name);
    return found == pixmaps_.end() ? QPixmap() : found->second;
}

void QtToolkit::ShowErrorReport(const std::string& text) {
    QMessageBox::critical(nullptr, QString::fromLatin1(kErrorReportTitle),
                          QString::fromStdString(text));
}

int QtToolkit::Pixels(int twips) const {
    // The size asked for, as the font's own hinting may round it; a font given in pixels has none.
    const QFont font = QApplication::font();
    const double points = font.pointSizeF() > 0 ? font.pointSizeF() : QFontInfo(font).pointSizeF();
    return static_cast<int>(std::lround(twips * pixels_per_twip_ * points / kDialogFontPoints));
}

}  // namespace varnholt::platform::qt
