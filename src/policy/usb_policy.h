// The USB storage modes and the registry-editor lock, kept nowhere but in the registry and
// reached only through SharedShell().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "policy/registry_shell.h"

namespace varnholt {

enum class UsbMode { kDisable, kReadOnly, kReadWrite };

// "disable", "readonly", "readwrite".
const char* UsbModeName(UsbMode mode);
std::optional<UsbMode> UsbModeFromName(std::string_view name);

namespace policy_value {
inline constexpr const char* kUsbStorageStart =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor\\Start";
inline constexpr const char* kWriteProtect =
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies\\WriteProtect";
inline constexpr const char* kDisableRegistryTools =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\DisableRegistryTools";
}  // namespace policy_value

// The two values' texts as read, a DWORD as its decimal digits; nullopt where the read
// failed (no hive, no key or value, an unreadable or damaged file).
struct UsbPolicyTexts {
    std::optional<std::string> start;
    std::optional<std::string> write_protect;
};

// The one rule from the values to the mode, for the window and for whatever enforces it:
// Start 4 or not a number is disable; otherwise WriteProtect 1 or not a number is
// readonly, and a missing WriteProtect or any other number is readwrite.
UsbMode UsbModeOf(const UsbPolicyTexts& texts);

// A read value's text: a DWORD as its decimal digits, a string unchanged.
std::string RegValueText(const RegValue& value);

// Reads the mode back from the registry. Never fails. Unless storage reads as disabled, it
// rewrites the storage driver's start value as 3.
UsbMode GetUsbState();
// Writes the mode's start value, then its write-protection value; a failed write's error
// reaches the caller and the later write is not made.
void ApplyUsbMode(UsbMode mode);

// True when the current user's registry-editor policy holds a non-zero number. Never fails.
bool GetRegistryLock();
// Writes the policy value 1 (locked) or 0; a failed write's error reaches the caller.
void SetRegistryLock(bool locked);

}  // namespace varnholt
