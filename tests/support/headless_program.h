// The whole program without a screen: the real windows, flow, policy and password code over a
// registry in memory, the test playing the user.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "support/memory_registry.h"
#include "ui/toolkit.h"

namespace varnholt::testing {

using ui::Window;
using ui::WindowId;
using Lines = std::vector<std::string>;

// A control's state as the screen shows it: "1" or "0", a text, a caption, a bitmap's name.
inline std::string StateOf(const ui::Control& control) {
    if (const auto* option = dynamic_cast<const ui::OptionButton*>(&control))
        return option->value() ? "1" : "0";
    if (const auto* check = dynamic_cast<const ui::CheckBox*>(&control))
        return std::to_string(check->value());
    if (const auto* text = dynamic_cast<const ui::TextBox*>(&control))
        return text->text();
    if (const auto* label = dynamic_cast<const ui::Label*>(&control))
        return label->caption();
    if (const auto* picture = dynamic_cast<const ui::PictureBox*>(&control))
        return picture->picture();
    return "";
}

// Logs what shows and changes on screen; inside a modal window, plays the queued steps, one per
// modal run, and then closes the window as the user would.
class HeadlessToolkit final : public ui::Toolkit {
  public:
    std::unique_ptr<ui::WindowView> CreateView(Window& window, ui::InputSink& input) override {
        sink = &input;
        shown = &window;
        log.push_back("show " + std::string(window.description().name));
        return std::make_unique<View>(log, std::string(window.description().name));
    }
    void RunModal(Window& window) override {
        while (window.view() != nullptr && !modal_steps.empty()) {
            auto step = std::move(modal_steps.front());
            modal_steps.pop_front();
            step(window);
        }
        if (window.view() != nullptr)
            sink->CloseRequested(window);
    }
    void Quit() override { ++quits; }
    ui::Picture LoadPicture(std::string_view name) override { return {std::string(name)}; }
    void ShowErrorReport(const std::string& text) override { reports.push_back(text); }

    ui::InputSink* sink = nullptr;
    Window* shown = nullptr;  // the window shown last
    Lines log;                // "show Form1", "Form1.Image1=RW" (a change on screen), "hide Login"
    std::deque<std::function<void(Window&)>> modal_steps;
    int quits = 0;
    Lines reports;

  private:
    struct View final : ui::WindowView {
        View(Lines& log_to, std::string window_name) : log(log_to), name(std::move(window_name)) {}
        ~View() override { log.push_back("hide " + name); }
        void ControlChanged(const ui::Control& control) override {
            log.push_back(name + "." + std::string(control.name()) + "=" + StateOf(control));
        }
        Lines& log;
        std::string name;
    };
};

// What the test's exit throws, so the run stops where the process would have ended.
struct ProcessEnded {};

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() {
        SharedShell().SetFactory([h = hive] { return std::make_unique<MemoryRegistry>(h); });
        SharedSettingsStore().SetFactory([h = hive] {
            return std::make_unique<RegistrySettingsStore>(std::make_unique<MemoryRegistry>(h));
        });
        SharedHasher().SetFactory([] {
            return std::make_unique<MD5Hash>(platform::CreateCryptoService(),
                                             platform::CreateFileAccess());
        });
        PasswordHash().clear();
    }
    ~ProgramTest() override {
        SharedShell().Reset();
        SharedSettingsStore().Reset();
        SharedHasher().Reset();
        PasswordHash().clear();
    }

    // The loaded window; the test fails and stops when it is not loaded.
    Window& Loaded(WindowId id) {
        Window* window = application.Loaded(id);
        if (window == nullptr) {
            ADD_FAILURE() << "window " << static_cast<int>(id) << " is not loaded";
            throw ProcessEnded{};
        }
        return *window;
    }
    std::string State(WindowId id, std::string_view control) {
        return StateOf(*Loaded(id).FindControl(control));
    }
    // The user, through the flow as a toolkit delivers input.
    void Click(Window& window, std::string_view name) {
        ui::Control* control = window.FindControl(name);
        application.Dispatch([control] {
            if (auto* button = dynamic_cast<ui::CommandButton*>(control))
                button->Click();
            else if (auto* option = dynamic_cast<ui::OptionButton*>(control))
                option->SetValue(true);
            else
                dynamic_cast<ui::CheckBox&>(*control).Toggle();
        });
    }
    // Selects all and deletes it, then types key by key, each key down before the text shows it.
    void Type(Window& window, std::string_view name, const std::string& text) {
        auto& box = dynamic_cast<ui::TextBox&>(*window.FindControl(name));
        application.Dispatch([&box, text] {
            if (!box.text().empty())
                box.KeyDown({0x2E, 0});
            box.TextEdited("");
            for (const char c : text) {
                box.KeyDown({static_cast<unsigned char>(c), 0});
                box.TextEdited(box.text() + c);
            }
        });
    }
    void TypeAndClick(Window& window, const std::string& text_box, const std::string& text) {
        Type(window, text_box, text);
        Click(window, "Command1");
    }
    void StartAndLogIn(const std::string& password = "mango") {
        application.Main();
        TypeAndClick(Loaded(WindowId::kLogin), "Text1", password);
    }

    const std::string password_entry =
        RegistrySettingsStore::ValueName(kPasswordApplication, kPasswordSection, kPasswordKey);

    std::shared_ptr<MemoryHive> hive = std::make_shared<MemoryHive>();
    std::optional<int> exit_status;
    HeadlessToolkit toolkit;  // outlives the application and the views it made
    app::Application application{toolkit, [this](int status) {
                                     exit_status = status;
                                     throw ProcessEnded{};
                                 }};
};

}  // namespace varnholt::testing
