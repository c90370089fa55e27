#include "platform/linux/enforce/audit_journal.h"

#include <sys/uio.h>
#include <syslog.h>
// The entries name no source file of ours.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace varnholt::enforce::journal {
namespace {

Requester& CurrentRequester() {
    static Requester requester;
    return requester;
}

std::string DigitsOf(const char* variable) {
    const char* value = std::getenv(variable);
    const std::string text = value != nullptr ? value : "";
    const bool digits =
        !text.empty() && text.size() < 11 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? text : "";
}

// KEY=value pairs; empty values are left out.
using Fields = std::vector<std::pair<const char*, std::string>>;

void Send(const std::string& message, const char* message_id, int priority, Fields fields) {
    const Requester& requester = CurrentRequester();
    fields.insert(fields.end(), {{"MESSAGE", message},
                                 {"MESSAGE_ID", message_id},
                                 {"PRIORITY", std::to_string(priority)},
                                 {"SYSLOG_IDENTIFIER", "varnholt-policy"},
                                 {"VARNHOLT_REQUESTED_BY", requester.description},
                                 {"VARNHOLT_UID", requester.uid},
                                 {"VARNHOLT_PKEXEC_UID", requester.pkexec_uid},
                                 {"VARNHOLT_SUDO_UID", requester.sudo_uid}});
    std::vector<std::string> entries;
    for (const auto& [key, value] : fields) {
        if (!value.empty())
            entries.push_back(std::string(key) + "=" + value);
    }
    std::vector<iovec> vectors;
    for (std::string& entry : entries)
        vectors.push_back({entry.data(), entry.size()});
    // sd_journal_sendv reports success when no journal listens: look for its socket first.
    if (::access("/run/systemd/journal/socket", F_OK) == 0 &&
        sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0)
        return;
    // No journal: one syslog line, control characters a device sent made visible.
    std::string line = message + " [" + message_id + "]";
    std::replace_if(
        line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    ::openlog("varnholt-policy", LOG_PID, LOG_AUTHPRIV);
    ::syslog(priority, "%s", line.c_str());
    ::closelog();
}

}  // namespace

void SetRequester(Requester requester) {
    CurrentRequester() = std::move(requester);
}

Requester RequesterOfThisProcess(const std::string& how) {
    Requester requester{how + " by uid " + std::to_string(::getuid()), std::to_string(::getuid()),
                        DigitsOf("PKEXEC_UID"), DigitsOf("SUDO_UID")};
    if (!requester.pkexec_uid.empty())
        requester.description += " through pkexec for uid " + requester.pkexec_uid;
    if (!requester.sudo_uid.empty())
        requester.description += " through sudo for uid " + requester.sudo_uid;
    return requester;
}

void ModeChanged(std::optional<UsbMode> from, std::optional<UsbMode> to) {
    const std::string from_name = from ? UsbModeName(*from) : "none";
    const std::string to_name = to ? UsbModeName(*to) : "none";
    Send("USB storage mode changed from " + from_name + " to " + to_name + ", " +
             CurrentRequester().description,
         kModeChangedId, LOG_NOTICE,
         {{"VARNHOLT_MODE_FROM", from_name}, {"VARNHOLT_MODE_TO", to_name}});
}

void DeviceChanged(DeviceAction action, const std::string& how, const DeviceIdentity& device,
                   const std::string& problem, bool at_plug) {
    const char* id = kDeviceReleasedId;
    switch (action) {  // a new kind of change fails to compile until it has its id
        case DeviceAction::kBlocked:
            id = kDeviceBlockedId;
            break;
        case DeviceAction::kReadOnly:
            id = kDeviceReadOnlyId;
            break;
        case DeviceAction::kReleased:
            break;
    }
    Send("USB storage " + device.vendor_product + " (" + device.manufacturer + " " +
             device.product + ", serial " + device.serial + ", " + device.kernel_name +
             "): " + (problem.empty() ? how : how + " failed: " + problem) +
             (at_plug ? ", as it was plugged in" : ""),
         id, problem.empty() ? LOG_NOTICE : LOG_WARNING,
         {{"VARNHOLT_ACTION", how},
          {"VARNHOLT_PROBLEM", problem},
          {"VARNHOLT_AT_PLUG", at_plug ? "1" : "0"},
          {"VARNHOLT_VENDOR_PRODUCT", device.vendor_product},
          {"VARNHOLT_SERIAL", device.serial},
          {"VARNHOLT_MANUFACTURER", device.manufacturer},
          {"VARNHOLT_PRODUCT", device.product},
          {"VARNHOLT_KERNEL_NAME", device.kernel_name},
          {"VARNHOLT_SYSPATH", device.syspath}});
}

}  // namespace varnholt::enforce::journal
