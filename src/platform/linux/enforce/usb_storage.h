// USB storage as the kernel and udev's database see it now, and the steps that change it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
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

// A file system mounted from a block device, as mountinfo shows it now. The mount ID names
// this very mount; the target is only where it was when read, and may be hidden or redirected.
struct MountPoint {
    int mount_id = -1;
    std::string target;
    bool read_only = false;  // the mount or its file system is read-only
};

// One line of mountinfo: optional fields (shared:N, master:N) skipped, octal escapes undone.
struct MountInfoLine {
    int id = -1;
    int parent = -1;
    dev_t devnum = 0;  // major 0 for btrfs, overlay and others
    std::string root;  // the folder of the file system that is mounted
    std::string target;
    std::string options;  // the mount's own
    std::string fstype;
    std::string source;
    std::string super_options;  // the file system's
    bool read_only = false;     // the mount or its file system
};
std::vector<MountInfoLine> ParseMountInfo(std::string_view text);

struct UsbBlockDevice {
    DeviceIdentity identity;
    std::string devnode;  // /dev/sdb1
    dev_t devnum = 0;
    bool partition = false;
    bool read_only = false;
    bool marked_read_only = false;  // made read-only by our rules
    std::vector<MountPoint> mount_points;
};

// A SCSI generic or bsg node of a disk beneath a USB interface: it reaches the medium too.
struct GenericNode {
    std::string devnode;  // /dev/sg0, /dev/bsg/6:0:0:0
    std::string syspath;
    mode_t mode = 0;  // permission bits; 0 when the node could not be seen
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
    std::vector<GenericNode> generic_nodes;
};

// A USB interface counts as storage when it has class 08, a storage driver, or a block
// device, MMC or Memory Stick host beneath it. remembered_blocked: syspaths of interfaces
// whose record of a block names the device there now (a vendor-specific interface loses its
// driver and children when it loses its authorization).
std::vector<UsbStorageInterface> FindUsbStorage(
    const std::set<std::string>& remembered_blocked = {});

// The USB devices ("/devices/...", as udev's DEVPATH names them) that hold / or /boot. Where
// that cannot be told, every USB device with a disk, and unresolved, when given, says why.
std::vector<std::string> SystemUsbDevices(std::string* unresolved = nullptr);

// The block devices beneath the file systems of roots, however they are stacked: a partition's
// disk, the devices under a mapped or RAID device (slaves/), a loop device's backing file's
// device, an overlay's layers, a btrfs file system's devices. unresolved says why a stack
// could not be followed to its end.
struct SystemDisks {
    std::set<dev_t> devices;
    std::string unresolved;
};
SystemDisks DevicesBeneath(const std::vector<MountInfoLine>& roots,
                           const std::vector<MountInfoLine>& mounts);

// Each step returns the problems it met, one line each; an empty list is success.
using Problems = std::vector<std::string>;

// Authorizes the interface again and asks the kernel to bind a driver to it.
Problems UnblockInterface(const UsbStorageInterface& interface);
// A mount that could not be remounted read-only in place, and why.
struct BusyMount {
    MountPoint mount;
    std::string why;  // files open for writing, or the mount cannot be reached
};
// Remounts each of its mounts read-only, found by mount ID and never through a name another
// mount hides or redirects, then sets the block device's read-only flag. A mount that is
// busy (files open for writing) or that cannot be reached: busy, when given, receives it
// instead of the problems.
Problems MakeReadOnly(const UsbBlockDevice& device, std::vector<BusyMount>* busy = nullptr);
Problems MakeWritable(const UsbBlockDevice& device);
// Every mount of the device's file systems still read/write, one line each, from mountinfo
// read now.
Problems StillWritable(const UsbBlockDevice& device);
// Flushes every file system of the interface's disks (frozen where it can be: clean on the
// medium), takes the interface's authorization away, detaches those mounts and thaws them.
// When a flush or freeze fails, or the interface does not go in time, nothing is pulled,
// nothing stays frozen, and the problems say so.
Problems BlockInterface(const UsbStorageInterface& interface);
// BlockInterface, then the interface authorized again: its disks come back read-only under
// the rules, and nothing written after the freeze reaches them.
Problems ReattachReadOnly(const UsbStorageInterface& interface);

// The identity of the device at syspath (an interface or block device) and of its USB device;
// nullopt when there is none.
std::optional<DeviceIdentity> IdentifyDevice(const std::string& syspath);

// Where each file system of a block device is mounted, from /proc/self/mountinfo.
std::vector<MountPoint> MountPointsOf(dev_t devnum);

// A handle (O_PATH) on the root of this very mount, reached from / one folder at a time, each
// step proven by its mount ID to be on the way down to it, or where another mount hides or
// redirects it (or the way leads through a FUSE mount, whose daemon may never answer), from a
// folder a process holds on it; -1 and why when neither reaches it.
struct MountHandle {
    int fd = -1;
    std::string problem;
    MountHandle() = default;
    MountHandle(MountHandle&& other) noexcept;
    MountHandle& operator=(MountHandle&&) = delete;
    ~MountHandle();
};
MountHandle OpenMountRoot(const MountInfoLine& mount, const std::vector<MountInfoLine>& all);

}  // namespace varnholt::enforce
