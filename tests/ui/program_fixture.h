// The whole program without a screen: the real windows, flow, policy and password code over
// hive files in a temporary folder, driven by the headless toolkit's user.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "headless_toolkit.h"
#include "policy/registry_shell.h"
#include "policy/usb_policy.h"
#include "support/temp_dir.h"
#include "ui/window_flow.h"

namespace varnholt::ui::testing {

// Around another shell: logs each call as "read Start" or "write Start=3" (the last part of
// the name) and refuses writes of one value the way a denied write is refused.
class RecordingShell final : public RegistryShell {
  public:
    RecordingShell(std::unique_ptr<RegistryShell> inner, std::vector<std::string>& log,
                   const std::string& refused_value);

    RegValue RegRead(const std::string& name) override;
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override;

  private:
    std::unique_ptr<RegistryShell> inner_;
    std::vector<std::string>& log_;
    const std::string& refused_value_;
};

// What the injected exit throws, so the run stops where the process would have ended.
struct ProcessEnded {};

using policy_value::kDisableRegistryTools;
using policy_value::kUsbStorageStart;
using policy_value::kWriteProtect;

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest();
    ~ProgramTest() override;

    // Values put in place or read back directly, past the logs.
    void Seed(const std::string& name, const RegValue& value);
    void StorePassword(const std::string& password);  // as an earlier run would have
    std::optional<std::string> StoredDigest();

    // The window that is loaded; fails the test when it is not.
    Window& Loaded(WindowId id);
    // Starts the program and logs in; Form1 is then open (unless a test expects otherwise).
    void StartAndLogIn(const std::string& password = "mango");
    // A control's state, as StateOf gives it.
    static std::string State(Window& window, std::string_view control);
    bool TypeAndClick(Window& window, const std::string& text_box, const std::string& text);

    varnholt::testing::TempDir folder;
    std::string machine_hive = folder / "machine.reg";
    std::string user_hive = folder / "user.reg";
    std::vector<std::string> policy_log;    // the shell's calls
    std::vector<std::string> settings_log;  // the settings store's calls
    std::string refused_value;              // e.g. "Start": its writes are refused
    std::optional<int> exit_status;
    HeadlessToolkit toolkit;  // outlives the application and the views it made
    app::Application application{toolkit, [this](int status) {
                                     exit_status = status;
                                     throw ProcessEnded{};
                                 }};
};

}  // namespace varnholt::ui::testing
