// One structured journal entry per change varnholt-policy makes, so that an auditor can ask
// when the mode changed, who asked, and which device was stopped. Entries go to the journal
// with the MESSAGE_IDs varnholt-policy(8) lists, to syslog where no journal runs. Strings a
// device reports are stored as data, never read as a format.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/enforce/usb_storage.h"
#include "policy/usb_policy.h"

namespace varnholt::enforce::journal {

inline constexpr const char* kModeChangedId = "661dade4f19c44bb9e27d05f253b6b8b";
inline constexpr const char* kDeviceBlockedId = "0cf516832ccc4a8f994bf8bfcf6688bd";
inline constexpr const char* kDeviceReadOnlyId = "193645b9f5e946a7b96c8c61bcabfc54";
inline constexpr const char* kDeviceReleasedId = "ff7cee56027048b3bb13ce8515fd234d";

// Who asked for the changes this process makes, recorded with each of them.
struct Requester {
    std::string description;  // "set by uid 0 through pkexec for uid 1000", "the hive changed"
    std::string uid, pkexec_uid, sudo_uid;  // digits, or empty
};
void SetRequester(Requester requester);
// From this process's uid and the environment pkexec and sudo leave; how names the command.
Requester RequesterOfThisProcess(const std::string& how);

enum class DeviceAction { kBlocked, kReadOnly, kReleased };

void ModeChanged(std::optional<UsbMode> from, std::optional<UsbMode> to);
// how: the step taken, in words ("blocked", "remounted-read-only"); problem: why it failed,
// empty when done; at_plug: stopped by the rules as it came, not by an apply.
void DeviceChanged(DeviceAction action, const std::string& how, const DeviceIdentity& device,
                   const std::string& problem, bool at_plug);

}  // namespace varnholt::enforce::journal
