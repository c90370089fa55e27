// Brings the kernel into line with the mode the machine hive records.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include <sys/types.h>

#include "platform/linux/enforce/usb_storage.h"
#include "policy/usb_policy.h"

namespace varnholt::enforce {

// What a shell user can act on.
namespace exit_code {
inline constexpr int kDone = 0;
inline constexpr int kStepFailed = 1;  // a device, the rules file or udev refused
inline constexpr int kUsage = 2;
inline constexpr int kHiveUnusable = 3;  // missing or damaged hive: disable was put in force
inline constexpr int kNotRoot = 4;
inline constexpr int kDrift = 5;  // status: the recorded mode is not what is in force
}  // namespace exit_code

struct RecordedMode {
    UsbMode mode = UsbMode::kDisable;
    std::string problem;  // why the hive gave no mode (file, line); empty when it did
};

// The mode the hive records, by the same rule the main window reads it with. Writes nothing.
// A hive that a user other than trusted_owner could replace records disable.
RecordedMode ReadRecordedMode(const std::filesystem::path& hive, uid_t trusted_owner = 0);

// The mode of the rules file in force; nullopt when there is none (or it is not ours).
std::optional<UsbMode> ModeInForce();

// Puts the hive's mode in force under a lock, again while the hive changes meanwhile.
int Apply(const std::filesystem::path& hive, std::ostream& out, std::ostream& err);

// Removes the rules file and undoes on attached devices what earlier applies did.
int Reset(std::ostream& out, std::ostream& err);

}  // namespace varnholt::enforce
