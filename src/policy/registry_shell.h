// The one door to the registry: read and write a value by its full name,
// "ROOT\key\path\ValueName" with ROOT one of HKLM, HKCU (and the long forms).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "runtime/shared_instance.h"

namespace varnholt {

// A read value: a DWORD as a 32-bit integer, a string as its text (UTF-8).
using RegValue = std::variant<std::int32_t, std::string>;

// Error numbers the shell raises; the same on every build.
namespace registry_error {
inline constexpr std::uint32_t kNotFound = 0x80070002;      // key or value missing
inline constexpr std::uint32_t kAccessDenied = 0x80070005;  // no rights to read or write
}  // namespace registry_error

class RegistryShell {
  public:
    virtual ~RegistryShell() = default;

    // Fails (raises Error) when the key or value is missing or cannot be read.
    virtual RegValue RegRead(const std::string& name) = 0;

    // type is "REG_DWORD" (value holds an integer; the registry keeps it as a 32-bit DWORD)
    // or "REG_SZ" (value holds text). Creates missing keys along the path.
    virtual void RegWrite(const std::string& name, const RegValue& value,
                          std::string_view type) = 0;
};

// The process's one shell, created on first use by the platform's factory.
SharedInstance<RegistryShell>& SharedShell();

// The platform's shell, defined by each platform under src/platform/.
namespace platform {
std::unique_ptr<RegistryShell> CreateRegistryShell();
}  // namespace platform

}  // namespace varnholt
