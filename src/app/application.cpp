#include "app/application.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "auth/password.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"
#include "ui/form1.h"
#include "ui/login.h"
#include "ui/set_password.h"

namespace varnholt::app {
namespace {

// The runtime's numbers for failures that are not the program's own errors.
constexpr std::int32_t kOutOfMemory = 7;
constexpr std::int32_t kInternalError = 51;
constexpr std::int32_t kAlreadyDisplayed = 400;

std::size_t IndexOf(ui::WindowId id) {
    return static_cast<std::size_t>(id);
}

std::unique_ptr<ui::Window> CreateWindow(ui::WindowId id, ui::WindowFlow& flow) {
    switch (id) {
        case ui::WindowId::kLogin:
            return std::make_unique<ui::Login>(flow);
        case ui::WindowId::kForm1:
            return std::make_unique<ui::Form1>(flow);
        case ui::WindowId::kSetPassword:
            return std::make_unique<ui::SetPassword>(flow);
    }
    Raise(kInternalError, "Application", "Internal error: unknown window");
}

// Whatever escaped a handler, as the error the report gives.
Error AsError(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Error& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return Error(kOutOfMemory, "", "Out of memory");
    } catch (const std::exception& exception) {
        return Error(kInternalError, "", std::string("Internal error: ") + exception.what());
    } catch (...) {
        return Error(kInternalError, "", "Internal error");
    }
}

// The process-wide objects go with the last window.
void ReleaseSharedObjects() noexcept {
    SharedHasher().Reset();  // runs the hasher's Class_Terminate
    SharedShell().Reset();
    SharedSettingsStore().Reset();
    PasswordHash().clear();
}

}  // namespace

// No static destructors or atexit handlers after an untrapped error: the toolkit's objects
// may still be alive on the stack below the failing handler.
void EndProcess(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

Application::Application(ui::Toolkit& toolkit, ExitFunction exit)
    : toolkit_(toolkit), exit_(std::move(exit)) {}

Application::~Application() = default;

void Application::Main() {
    Dispatch([this] { ShowModeless(ui::WindowId::kLogin); });
}

void Application::Dispatch(const std::function<void()>& input) {
    if (ended_) {
        return;
    }
    ++dispatch_depth_;
    try {
        input();
    } catch (...) {
        --dispatch_depth_;
        if (failed_) {
            throw;  // an exit that unwinds passes through the dispatches it is nested in
        }
        EndWithReport(std::current_exception());
        return;
    }
    --dispatch_depth_;
    ReleaseUnloaded();
}

void Application::CloseRequested(ui::Window& window) {
    // While a modal window is open, the others take no input.
    if (!modal_.empty() && modal_.back() != &window) {
        return;
    }
    for (std::size_t index = 0; index < loaded_.size(); ++index) {
        if (loaded_[index].get() == &window) {
            Dispatch([this, index] { Unload(static_cast<ui::WindowId>(index)); });
            return;
        }
    }
}

void Application::ShowModeless(ui::WindowId id) {
    ui::Window& window = Load(id);
    if (window.view() == nullptr) {
        window.AttachView(toolkit_.CreateView(window, *this));
    }
}

void Application::ShowModal(ui::WindowId id) {
    ui::Window& window = Load(id);
    if (window.view() != nullptr) {
        Raise(kAlreadyDisplayed, std::string(window.description().name),
              "Form already displayed; can't show modally");
    }
    window.AttachView(toolkit_.CreateView(window, *this));
    modal_.push_back(&window);
    try {
        toolkit_.RunModal(window);
    } catch (...) {
        modal_.pop_back();
        throw;
    }
    modal_.pop_back();
}

void Application::Unload(ui::WindowId id) {
    std::unique_ptr<ui::Window>& slot = loaded_[IndexOf(id)];
    if (!slot) {
        return;
    }
    slot->DetachView();
    unloaded_.push_back(std::move(slot));
    if (std::none_of(loaded_.begin(), loaded_.end(),
                     [](const auto& window) { return window != nullptr; })) {
        ended_ = true;
        toolkit_.Quit();
        ReleaseSharedObjects();
    }
}

ui::Picture Application::LoadPicture(std::string_view bitmap_name) {
    return toolkit_.LoadPicture(bitmap_name);
}

ui::Window* Application::Loaded(ui::WindowId id) const noexcept {
    return loaded_[IndexOf(id)].get();
}

// Loading builds the window afresh at design-time values and runs its Form_Load, all before
// any view exists: the view renders the state the load left.
ui::Window& Application::Load(ui::WindowId id) {
    std::unique_ptr<ui::Window>& slot = loaded_[IndexOf(id)];
    if (!slot) {
        slot = CreateWindow(id, *this);
        try {
            slot->Form_Load();
        } catch (...) {
            unloaded_.push_back(std::move(slot));
            throw;
        }
    }
    return *slot;
}

void Application::EndWithReport(const std::exception_ptr& failure) {
    failed_ = true;
    ended_ = true;
    const std::string text = FormatErrorReport(AsError(failure));
    std::fprintf(stderr, "%s\n", text.c_str());
    try {
        toolkit_.ShowErrorReport(text);
    } catch (...) {
        // The report on standard error stands; the process ends either way.
    }
    exit_(1);
}

void Application::ReleaseUnloaded() noexcept {
    if (dispatch_depth_ == 0 && modal_.empty()) {
        unloaded_.clear();
    }
}

int RunProgram(ui::Toolkit& toolkit, const std::function<void()>& run_event_loop,
               ExitFunction exit) {
    Application application(toolkit, std::move(exit));
    application.Main();
    if (!application.Ended()) {
        run_event_loop();
    }
    return application.Failed() ? 1 : 0;
}

}  // namespace varnholt::app
