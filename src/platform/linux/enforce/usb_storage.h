// USB storage as the kernel and udev's database see it now, and the steps that change it.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace varnholt::enforce {

struct UsbBlockDevice {
    std::string devnode;  // /dev/sdb1
    dev_t devnum = 0;
    bool partition = false;
    bool read_only = false;
    bool marked_read_only = false;  // made read-only by our rules
    std::vector<std::string> mount_points;
};

// A USB interface that is or was a storage interface; HID and other interfaces never are.
struct UsbStorageInterface {
    std::string syspath;          // /sys/devices/.../1-1/1-1:1.0
    std::string name;             // 1-1:1.0
    std::string usb_device_path;  // /devices/.../1-1, as udev's DEVPATH names it
    std::string driver;
    int interface_class = -1;
    bool authorized = true;
    bool device_authorized = true;  // the USB device above it
    bool marked_blocked = false;    // blocked by our rules
    bool holds_system = false;      // holds / or /boot: never touched
    std::vector<UsbBlockDevice> block_devices;
};

// remembered_blocked: syspaths of interfaces blocked earlier that no longer show as storage
// (a vendor-specific interface loses its driver when it loses its authorization).
std::vector<UsbStorageInterface> FindUsbStorage(
    const std::set<std::string>& remembered_blocked = {});

// Each step returns the problems it met, one line each; an empty list is success.
using Problems = std::vector<std::string>;

// Syncs, unmounts its file systems, then takes the interface's authorization away.
Problems BlockInterface(const UsbStorageInterface& interface);
// Authorizes the interface again and asks the kernel to bind a driver to it.
Problems UnblockInterface(const UsbStorageInterface& interface);
// Remounts its file systems read-only, then sets the block device's read-only flag.
Problems MakeReadOnly(const UsbBlockDevice& device);
Problems MakeWritable(const UsbBlockDevice& device);

// Where each file system of a block device is mounted, from /proc/self/mountinfo.
std::vector<std::string> MountPointsOf(dev_t devnum);

}  // namespace varnholt::enforce
