// What the rules and apply stopped, kept under /run/varnholt so that a later apply, status
// and the next plug of a device know it: one file per device, named for that very device (its
// USB device's bus and device numbers, which the kernel hands out anew at every plug, or a
// disk's sequence number), so that whatever comes next into the same port is never taken for
// it. One writer per file, created whole: the rules and apply never lose each other's entries.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace varnholt::enforce {

inline constexpr const char* kBlockedRecords = "/run/varnholt/blocked";
inline constexpr const char* kReadOnlyRecords = "/run/varnholt/read-only";

// A record's file name and contents for the device at syspath (a USB interface, or a block
// device beneath one): nullopt when the device, or its USB device, is gone.
struct DeviceRecord {
    std::string name;
    std::string contents;
};
std::optional<DeviceRecord> InterfaceRecord(const std::filesystem::path& interface_syspath);
std::optional<DeviceRecord> BlockRecord(const std::filesystem::path& block_syspath);

// Creates the record in folder; false when it was there already (or cannot be made).
bool AddRecord(const std::filesystem::path& folder, const DeviceRecord& record);
void RemoveRecord(const std::filesystem::path& folder, const DeviceRecord& record);

// The syspaths whose record in folder names the device there now (record_of: InterfaceRecord
// or BlockRecord, as the folder keeps). prune removes the records whose device is gone or was
// replaced.
using RecordOf = std::optional<DeviceRecord> (*)(const std::filesystem::path& syspath);
std::set<std::string> RecordedDevices(const std::filesystem::path& folder, RecordOf record_of,
                                      bool prune);

}  // namespace varnholt::enforce
