// USB storage as the kernel and udev's database see it now, and the steps that change it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace varnholt::enforce {

// Who a device is, for the record of what apply did and for status.
struct DeviceIdentity {
    std::string kernel_name;     // sdb1, 1-1:1.0
    std::string syspath;         // /sys/devices/...
    std::string vendor_product;  // 0781:5567, of the USB device
    std::string serial;
    std::string manufacturer;
    std::string product;
};

// A file system mounted from a block device, as mountinfo shows it now.
struct MountPoint {
    std::string target;
    bool read_only = false;  // the mount or its file system is read-only
};

struct UsbBlockDevice {
    DeviceIdentity identity;
    std::string devnode;  // /dev/sdb1
    dev_t devnum = 0;
    bool partition = false;
    bool read_only = false;
    bool marked_read_only = false;  // made read-only by our rules
    std::vector<MountPoint> mount_points;
};

// A USB interface that is or was a storage interface; HID and other interfaces never are.
struct UsbStorageInterface {
    DeviceIdentity identity;
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

// A USB interface counts as storage when it has class 08, a storage driver, or a block
// device, MMC or Memory Stick host beneath it. remembered_blocked: syspaths of interfaces
// whose record of a block names the device there now (a vendor-specific interface loses its
// driver and children when it loses its authorization).
std::vector<UsbStorageInterface> FindUsbStorage(
    const std::set<std::string>& remembered_blocked = {});

// The USB devices ("/devices/...", as udev's DEVPATH names them) that hold / or /boot.
std::vector<std::string> SystemUsbDevices();

// Each step returns the problems it met, one line each; an empty list is success.
using Problems = std::vector<std::string>;

// Syncs, unmounts its file systems, then takes the interface's authorization away.
Problems BlockInterface(const UsbStorageInterface& interface);
// Authorizes the interface again and asks the kernel to bind a driver to it.
Problems UnblockInterface(const UsbStorageInterface& interface);
// Remounts its file systems read-only, then sets the block device's read-only flag. A mount
// with files open for writing cannot be remounted: busy, when given, receives it instead of
// the problems.
Problems MakeReadOnly(const UsbBlockDevice& device, std::vector<std::string>* busy = nullptr);
Problems MakeWritable(const UsbBlockDevice& device);
// For busy mounts of the interface's disks: flushes and freezes each (clean on the medium),
// takes the interface's authorization away, detaches and thaws the mounts, and authorizes
// it again, so its disks come back read-only under the rules and nothing written after the
// freeze reaches them.
Problems ReattachReadOnly(const UsbStorageInterface& interface,
                          const std::vector<std::string>& busy);

// The identity of the device at syspath (an interface or block device) and of its USB device;
// nullopt when there is none.
std::optional<DeviceIdentity> IdentifyDevice(const std::string& syspath);

// Where each file system of a block device is mounted, from /proc/self/mountinfo.
std::vector<MountPoint> MountPointsOf(dev_t devnum);

}  // namespace varnholt::enforce
