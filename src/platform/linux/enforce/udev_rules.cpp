#include "platform/linux/enforce/udev_rules.h"

namespace varnholt::enforce {
namespace {

constexpr std::string_view kModeLine = "# varnholt-policy mode: ";

}  // namespace

std::string RenderRules(UsbMode mode, const std::vector<std::string>& system_usb_devices) {
    std::string rules =
        "# Written by varnholt-policy from /var/lib/varnholt/machine.reg; do not edit, every\n"
        "# apply rewrites it. USB mice and keyboards (and every non-storage interface) are\n"
        "# never matched.\n" +
        std::string(kModeLine) + UsbModeName(mode) + "\n";
    if (mode == UsbMode::kReadWrite)
        return rules;

    rules += "ACTION==\"remove\", GOTO=\"varnholt_end\"\n";
    for (const std::string& device : system_usb_devices) {
        rules += "# Holds / or /boot: left alone.\nDEVPATH==\"" + device +
                 "\", GOTO=\"varnholt_end\"\nDEVPATH==\"" + device +
                 "/*\", GOTO=\"varnholt_end\"\n";
    }
    if (mode == UsbMode::kDisable) {
        rules +=
            "# Storage interfaces (class 08, UAS drives included) are not authorized.\n"
            "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ACTION==\"add\", "
            "ATTR{bInterfaceClass}==\"08\", ENV{" +
            std::string(kBlockedProperty) +
            "}=\"1\", ATTR{authorized}=\"0\"\n"
            "# A storage driver bound to a vendor-specific interface.\n"
            "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ACTION==\"bind\", "
            "DRIVER==\"usb-storage|uas|ums-*\", ENV{" +
            kBlockedProperty + "}=\"1\", ATTR{authorized}=\"0\"\n";
    } else {
        rules +=
            "# USB disks and partitions are read-only, and mounted read-only by default. udev\n"
            "# announces the device only after blockdev has run.\n"
            "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk|partition\", SUBSYSTEMS==\"usb\", ENV{" +
            std::string(kReadOnlyProperty) +
            "}=\"1\", ENV{UDISKS_MOUNT_OPTIONS_DEFAULTS}=\"ro\", "
            "RUN+=\"/sbin/blockdev --setro $devnode\"\n";
    }
    rules += "LABEL=\"varnholt_end\"\n";
    return rules;
}

std::optional<UsbMode> RulesMode(std::string_view rules) {
    const std::size_t at = rules.find(kModeLine);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view name = rules.substr(at + kModeLine.size());
    return UsbModeFromName(name.substr(0, name.find('\n')));
}

}  // namespace varnholt::enforce
