// Brings the kernel into line with the mode the machine hive records.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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

// The interfaces the last apply did not take away (or could not re-attach) and why: a device
// whose file systems could not be flushed is left where it is. Keyed by HeldBackKey, the name
// of that very device's record, so that a device plugged later into the same port is not
// taken for it.
std::map<std::string, std::string> HeldBack();
std::string HeldBackKey(const std::string& interface_syspath);

// The mode of the rules file in force; nullopt when there is none (or it is not ours).
std::optional<UsbMode> ModeInForce();

enum class Action {
    kBlocked,             // interface no longer authorized
    kUnblocked,           // interface authorized again
    kMadeReadOnly,        // block device's read-only flag set
    kMadeWritable,        // read-only flag cleared
    kRemountedReadOnly,   // mount_point remounted read-only
    kReattachedReadOnly,  // busy mount_point: flushed, frozen and detached; the device
                          // blocked and authorized again, so it came back read-only
    kLeftAlone,           // holds / or /boot
};
// "blocked", "unblocked", "made-read-only", ...: stable words for logs and scripts.
const char* ActionName(Action action);

// One thing an apply or reset did, or tried, to one device or one of its mounts.
struct Change {
    DeviceIdentity device;
    Action action = Action::kLeftAlone;
    std::string mount_point;  // the mount acted on; empty when the device itself was
    std::string reason;       // why, in words: the mode in force, a busy mount, ...
    std::string problem;      // what failed; empty when it was done
};

// Puts the hive's mode in force under a lock, again while the hive changes meanwhile.
// changes, when given, receives one entry per device or mount acted on.
int Apply(const std::filesystem::path& hive, std::ostream& out, std::ostream& err,
          std::vector<Change>* changes = nullptr);

// Removes the rules file and undoes on attached devices what earlier applies did.
int Reset(std::ostream& out, std::ostream& err, std::vector<Change>* changes = nullptr);

// Each device's state and why, for status: "blocked", "read-only", "writable", ... and
// the reason ("disable in force", "holds / or /boot: never changed", ...).
struct DeviceState {
    std::string state;
    std::string reason;
};
DeviceState StateOf(const UsbStorageInterface& interface, std::optional<UsbMode> in_force);
DeviceState StateOf(const UsbStorageInterface& interface, const UsbBlockDevice& device,
                    std::optional<UsbMode> in_force);

}  // namespace varnholt::enforce
