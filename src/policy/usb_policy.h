// The USB storage modes and the registry-editor lock, kept nowhere but in the registry and
// reached only through SharedShell().
#pragma once

#include <cstdint>

namespace varnholt {

enum class UsbMode { kDisable, kReadOnly, kReadWrite };

namespace policy_value {
inline constexpr const char* kUsbStorageStart =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor\\Start";
inline constexpr const char* kWriteProtect =
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\StorageDevicePolicies\\WriteProtect";
inline constexpr const char* kDisableRegistryTools =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\DisableRegistryTools";
}  // namespace policy_value

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
