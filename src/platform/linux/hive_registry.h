// The registry on Linux: two hive files in the registry's export format, one for the local
// machine (HKLM), one for the current user (HKCU). Every read goes to the file afresh; every
// write is a locked read-modify-write that replaces the file atomically, so a crash leaves
// the old hive or the new one and concurrent writers lose nothing.
#pragma once

#include <chrono>
#include <filesystem>

#include "policy/registry_shell.h"

namespace varnholt::platform {

class HiveRegistry final : public RegistryShell {
  public:
    // A write waits at most lock_timeout for another writer's lock, then fails naming it.
    HiveRegistry(std::filesystem::path machine_hive, std::filesystem::path user_hive,
                 std::chrono::milliseconds lock_timeout = std::chrono::seconds(5));

    RegValue RegRead(const std::string& name) override;
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override;

  private:
    struct Location;
    Location Locate(const std::string& name, const char* source) const;

    std::filesystem::path machine_hive_;
    std::filesystem::path user_hive_;
    std::chrono::milliseconds lock_timeout_;
};

// /var/lib/varnholt/machine.reg
std::filesystem::path DefaultMachineHivePath();
// ~/.config/varnholt/user.reg, home taken from the user database (HOME only when it has none).
// Raises an error when neither gives an absolute folder.
std::filesystem::path DefaultUserHivePath();
std::filesystem::path UserHivePath(const char* account_home, const char* home_variable);

}  // namespace varnholt::platform
