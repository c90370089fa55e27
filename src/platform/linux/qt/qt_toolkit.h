// The windows on Qt Widgets. Each window is a fixed-size top-level widget built from its
// description; the widgets only show the control model's state and hand every user input to the
// window flow, so the model decides what a click or a key does.
#pragma once

#include <QPixmap>
#include <QString>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "ui/toolkit.h"

class QStyle;

namespace varnholt::platform::qt {

class QtToolkit final : public ui::Toolkit {
  public:
    QtToolkit();  // a QApplication must exist
    ~QtToolkit() override;

    std::unique_ptr<ui::WindowView> CreateView(ui::Window& window, ui::InputSink& input) override;
    void RunModal(ui::Window& window) override;
    void Quit() override;
    ui::Picture LoadPicture(std::string_view bitmap_name) override;
    void ShowErrorReport(const std::string& text) override;

    // Pixels on this screen for a length in twips, scaled by the desktop font against the 8
    // points the layouts were made for.
    int Pixels(int twips) const;
    // A bitmap already found by LoadPicture; a null pixmap for any other name.
    QPixmap Pixmap(const std::string& bitmap_name) const;
    QStyle* password_style() const noexcept { return password_style_; }

  private:
    double pixels_per_twip_;
    QStyle* password_style_;  // owned by the application object
    std::map<std::string, QPixmap, std::less<>> pixmaps_;
};

}  // namespace varnholt::platform::qt
