// The registry on Linux: two hive files in the registry's export format, one for the local
// machine (HKLM), one for the current user (HKCU). Every read goes to the file afresh; every
// write is a locked read-modify-write that replaces the file atomically, so a crash leaves
// the old hive or the new one and concurrent writers lose nothing.
#pragma once

#include <filesystem>

#include "policy/registry_shell.h"

namespace varnholt::platform {

class HiveRegistry final : public RegistryShell {
  public:
    HiveRegistry(std::filesystem::path machine_hive, std::filesystem::path user_hive);

    RegValue RegRead(const std::string& name) override;
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override;

  private:
    struct Location;
    Location Locate(const std::string& name, const char* source) const;

    std::filesystem::path machine_hive_;
    std::filesystem::path user_hive_;
};

// /var/lib/varnholt/machine.reg
std::filesystem::path DefaultMachineHivePath();
// ~/.config/varnholt/user.reg, home taken from the user database (HOME only when it has none).
std::filesystem::path DefaultUserHivePath();

}  // namespace varnholt::platform
