// The one rules file through which udev holds USB storage to the recorded mode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/usb_policy.h"

namespace varnholt::enforce {

// After 60-persistent-storage (which names USB disks) and before 80-udisks2 (which reads the
// mount options); udev reads only names ending in ".rules".
inline constexpr const char* kRulesPath = "/etc/udev/rules.d/61-varnholt.rules";

// The properties the rules leave in udev's database: they name the devices that the mode
// changed, so that a later readwrite undoes exactly those.
inline constexpr const char* kReadOnlyProperty = "VARNHOLT_READONLY";
inline constexpr const char* kBlockedProperty = "VARNHOLT_BLOCKED";

// The installed program, which the rules run as root at every plug: the path configured at
// build time, never whichever copy happens to apply them.
inline constexpr const char* kInstalledProgram = VARNHOLT_INSTALLED_POLICY;

// Why udev must not run recorder as root at plug: a name the rules cannot quote, or a file or
// folder a user other than root could replace. Empty when it may.
std::string RecorderProblem(const std::string& recorder);

// The rules for a mode. system_usb_devices are the device paths ("/devices/...") of USB
// devices that hold / or /boot: no rule ever touches them. recorder, run at plug to record a
// device stopped as it came; none when empty.
std::string RenderRules(UsbMode mode, const std::vector<std::string>& system_usb_devices,
                        const std::string& recorder = kInstalledProgram);

// The mode a rules file was rendered for; nullopt when the text is not one of ours.
std::optional<UsbMode> RulesMode(std::string_view rules);

}  // namespace varnholt::enforce
