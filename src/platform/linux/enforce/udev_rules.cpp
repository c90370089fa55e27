#include "platform/linux/enforce/udev_rules.h"

#include <algorithm>
#include <cctype>

#include "platform/linux/enforce/device_record.h"
#include "platform/linux/enforce/trusted_files.h"

namespace varnholt::enforce {
namespace {

constexpr std::string_view kModeLine = "# varnholt-policy mode: ";

// Removals pass; the USB devices that hold / or /boot are never matched.
std::string SystemDeviceSkips(const std::vector<std::string>& system_usb_devices) {
    // A record goes with its device: the next one in that port is another device.
    std::string skips =
        "ACTION==\"remove\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
        "RUN+=\"/bin/sh -c 'rm -f " +
        std::string(kBlockedRecords) +
        "/$env{BUSNUM}.$env{DEVNUM}.*'\"\n"
        "ACTION==\"remove\", SUBSYSTEM==\"block\", RUN+=\"/bin/sh -c 'rm -f " +
        kReadOnlyRecords + "/$kernel.*'\"\n" + "ACTION==\"remove\", GOTO=\"varnholt_end\"\n";
    for (const std::string& device : system_usb_devices) {
        skips += "# Holds / or /boot: left alone.\nDEVPATH==\"" + device +
                 "\", GOTO=\"varnholt_end\"\nDEVPATH==\"" + device +
                 "/*\", GOTO=\"varnholt_end\"\n";
    }
    return skips;
}

// Each device the rules stop as it comes is recorded by this program, which is handed only
// the device's path and reads the rest from sysfs: no string a device reports reaches a
// command line. Ends the rule it is appended to; with no recorder, the rule records nothing.
std::string RecordAtPlug(const std::string& recorder, const char* action) {
    if (recorder.empty())
        return "\n";
    return ", RUN+=\"" + recorder + " plugged " + action + " $devpath\"\n";
}

// The SCSI generic and bsg nodes of a USB disk reach its medium beside the block node (SG_IO
// WRITE): root's alone, whatever owner, group and mode the distribution's rules give them.
constexpr std::string_view kGenericNodes =
    "# SCSI generic and bsg nodes reach the medium too: root's alone.\n"
    "SUBSYSTEM==\"scsi_generic|bsg\", SUBSYSTEMS==\"usb\", OWNER:=\"root\", GROUP:=\"root\", "
    "MODE:=\"0600\"\n";

}  // namespace

std::string RecorderProblem(const std::string& recorder) {
    const bool plain =
        recorder.starts_with('/') && std::all_of(recorder.begin(), recorder.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) ||
                   std::string_view("/._+-").find(c) != std::string_view::npos;
        });
    if (!plain)
        return recorder + ": a name the rules cannot run as it is";
    if (std::string replaceable = ReplaceableBy(recorder, 0); !replaceable.empty())
        return recorder + " could be replaced by a user: " + replaceable;
    return {};
}

std::string RenderRules(UsbMode mode, const std::vector<std::string>& system_usb_devices,
                        const std::string& recorder) {
    std::string rules =
        "# Written by varnholt-policy from /var/lib/varnholt/machine.reg; do not edit, every\n"
        "# apply rewrites it. USB mice and keyboards (and every non-storage interface) are\n"
        "# never matched.\n" +
        std::string(kModeLine) + UsbModeName(mode) + "\n";
    switch (mode) {
        case UsbMode::kReadWrite:
            return rules;
        case UsbMode::kDisable:
            rules += SystemDeviceSkips(system_usb_devices) + std::string(kGenericNodes) +
                     "# Storage interfaces (class 08, UAS drives included) are not authorized.\n"
                     "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ACTION==\"add\", "
                     "ATTR{bInterfaceClass}==\"08\", ENV{" +
                     kBlockedProperty + "}=\"1\", ATTR{authorized}=\"0\"" +
                     RecordAtPlug(recorder, "blocked") +
                     "# A storage driver bound to a vendor-specific interface (or to a storage\n"
                     "# one before the rule above ran: the record keeps it to one entry).\n"
                     "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ACTION==\"bind\", "
                     "DRIVER==\"usb-storage|uas|ums-*\", ENV{" +
                     kBlockedProperty + "}=\"1\", ATTR{authorized}=\"0\"" +
                     RecordAtPlug(recorder, "blocked") +
                     "# Any disk, MMC or Memory Stick host beneath a USB interface, whatever its\n"
                     "# driver (card readers such as rtsx_usb are class ff): nobody else may open\n"
                     "# or mount it, and its interface goes, recorded for a later unblock.\n"
                     "SUBSYSTEM==\"block|mmc_host|memstick_host\", ACTION==\"add\", "
                     "SUBSYSTEMS==\"usb\", ATTRS{bInterfaceClass}==\"?*\", MODE=\"0600\", "
                     "ENV{UDISKS_IGNORE}=\"1\", ENV{SYSTEMD_READY}=\"0\", "
                     "ENV{VARNHOLT_INTERFACE}=\"%b\", RUN+=\"/bin/sh -c 'echo 0 "
                     ">/sys/bus/usb/devices/$env{VARNHOLT_INTERFACE}/authorized'\"" +
                     RecordAtPlug(recorder, "blocked");
            break;
        case UsbMode::kReadOnly:
            rules += SystemDeviceSkips(system_usb_devices) + std::string(kGenericNodes) +
                     "# USB disks and partitions, whatever their driver: nobody but root may\n"
                     "# write to the node, file systems are mounted read-only, and the read-only\n"
                     "# flag is set while udev still handles the add, before the node gets\n"
                     "# these permissions and before anyone hears of the device.\n"
                     "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk|partition\", SUBSYSTEMS==\"usb\", "
                     "MODE=\"0440\", ENV{UDISKS_MOUNT_OPTIONS_DEFAULTS}=\"ro\"\n"
                     "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk|partition\", SUBSYSTEMS==\"usb\", "
                     "PROGRAM==\"/sbin/blockdev --setro $devnode\", ENV{" +
                     kReadOnlyProperty +
                     "}=\"1\"\n"
                     "# Not made read-only: neither udisks nor systemd may mount it.\n"
                     "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk|partition\", SUBSYSTEMS==\"usb\", "
                     "ENV{" +
                     kReadOnlyProperty +
                     "}!=\"1\", ENV{UDISKS_IGNORE}=\"1\", ENV{SYSTEMD_READY}=\"0\"\n"
                     "SUBSYSTEM==\"block\", ACTION==\"add\", ENV{" +
                     kReadOnlyProperty + "}==\"1\"" + RecordAtPlug(recorder, "read-only");
            break;
    }
    return rules + "LABEL=\"varnholt_end\"\n";
}

std::optional<UsbMode> RulesMode(std::string_view rules) {
    const std::size_t at = rules.find(kModeLine);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view name = rules.substr(at + kModeLine.size());
    return UsbModeFromName(name.substr(0, name.find('\n')));
}

}  // namespace varnholt::enforce
