// The window flow: which window opens which, with what modality, and when the process ends.
// One thread runs everything; the toolkit delivers the user's input through Dispatch.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "ui/toolkit.h"
#include "ui/window_flow.h"

namespace varnholt::app {

// Ends the process with the given status. Tests pass one of their own.
using ExitFunction = std::function<void(int status)>;
void EndProcess(int status);

class Application final : public ui::InputSink, public ui::WindowFlow {
  public:
    explicit Application(ui::Toolkit& toolkit, ExitFunction exit = EndProcess);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Shows the login window modeless and returns; from then on the events drive the process.
    void Main();

    void Dispatch(const std::function<void()>& input) override;
    void CloseRequested(ui::Window& window) override;

    void ShowModeless(ui::WindowId id) override;
    void ShowModal(ui::WindowId id) override;
    void Unload(ui::WindowId id) override;
    ui::Picture LoadPicture(std::string_view bitmap_name) override;

    // The loaded instance of that window, or null.
    ui::Window* Loaded(ui::WindowId id) const noexcept;
    // True once the last window has been unloaded or an untrapped error has ended the run.
    bool Ended() const noexcept { return ended_; }
    // True once an untrapped error has ended the run.
    bool Failed() const noexcept { return failed_; }

  private:
    ui::Window& Load(ui::WindowId id);
    void EndWithReport(const std::exception_ptr& failure);
    void ReleaseUnloaded() noexcept;

    ui::Toolkit& toolkit_;
    ExitFunction exit_;
    std::array<std::unique_ptr<ui::Window>, 3> loaded_;
    // Unloaded windows live on until no handler of theirs can still be running.
    std::vector<std::unique_ptr<ui::Window>> unloaded_;
    std::vector<ui::Window*> modal_;  // innermost last
    int dispatch_depth_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// The program, on any toolkit: Main, then the toolkit's event loop until the last window is
// unloaded. Returns the process's exit status.
int RunProgram(ui::Toolkit& toolkit, const std::function<void()>& run_event_loop,
               ExitFunction exit = EndProcess);

}  // namespace varnholt::app
