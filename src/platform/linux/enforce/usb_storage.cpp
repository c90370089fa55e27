#include "platform/linux/enforce/usb_storage.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/linux/enforce/udev_rules.h"

namespace varnholt::enforce {
namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

std::string Attribute(udev_device* device, const char* name) {
    return Text(udev_device_get_sysattr_value(device, name));
}

bool PropertyIsSet(udev_device* device, const char* name) {
    return Text(udev_device_get_property_value(device, name)) == "1";
}

std::string Failure(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// A mount point as mountinfo writes it: blanks, tabs, newlines and backslashes octal-escaped.
std::string Unescape(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// One line of /proc/self/mountinfo: the device (as major:minor, 0 for btrfs and others), the
// mount point, the source the file system was mounted from and whether either the mount or
// the file system is read-only.
struct Mount {
    dev_t devnum = 0;
    std::string target;
    std::string source;
    bool read_only = false;
};

bool HasOption(const std::string& options, const std::string& option) {
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

std::vector<Mount> ReadMounts() {
    std::vector<Mount> mounts;
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, target, options, field, source, super_options;
        fields >> id >> parent >> numbers >> root >> target >> options;
        while (fields >> field && field != "-") {
        }
        fields >> field >> source >> super_options;
        unsigned major_number = 0, minor_number = 0;
        if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) == 2)
            mounts.push_back({makedev(major_number, minor_number), Unescape(target),
                              Unescape(source),
                              HasOption(options, "ro") || HasOption(super_options, "ro")});
    }
    return mounts;
}

// The block devices that / and /boot live on, with the disks and the devices beneath them
// (a partition's disk; the devices under a mapped or RAID device).
std::set<dev_t> SystemBlockDevices(udev* context, const std::vector<Mount>& mounts) {
    std::set<dev_t> found;
    for (const Mount& mount : mounts) {
        if (mount.target != "/" && mount.target != "/boot")
            continue;
        dev_t devnum = mount.devnum;
        if (major(devnum) == 0) {  // btrfs and others: the source names the device
            struct stat status {};
            if (::stat(mount.source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
                continue;
            devnum = status.st_rdev;
        }
        std::vector<dev_t> pending{devnum};
        while (!pending.empty()) {
            const dev_t next = pending.back();
            pending.pop_back();
            if (!found.insert(next).second)
                continue;
            UdevPtr<udev_device> device(udev_device_new_from_devnum(context, 'b', next));
            if (!device)
                continue;
            if (udev_device* disk =
                    udev_device_get_parent_with_subsystem_devtype(device.get(), "block", "disk"))
                pending.push_back(udev_device_get_devnum(disk));
            std::error_code error;
            const std::filesystem::path slaves =
                std::filesystem::path(udev_device_get_syspath(device.get())) / "slaves";
            for (const auto& slave : std::filesystem::directory_iterator(slaves, error)) {
                unsigned slave_major = 0, slave_minor = 0;
                std::ifstream dev_file(slave.path() / "dev");
                char colon = 0;
                if (dev_file >> slave_major >> colon >> slave_minor)
                    pending.push_back(makedev(slave_major, slave_minor));
            }
        }
    }
    return found;
}

bool IsStorageDriver(const std::string& driver) {
    return driver == "usb-storage" || driver == "uas" || driver.starts_with("ums-");
}

DeviceIdentity IdentityOf(udev_device* device, udev_device* usb_device) {
    DeviceIdentity identity;
    identity.kernel_name = Text(udev_device_get_sysname(device));
    identity.syspath = Text(udev_device_get_syspath(device));
    if (usb_device != nullptr) {
        identity.vendor_product =
            Attribute(usb_device, "idVendor") + ":" + Attribute(usb_device, "idProduct");
        identity.serial = Attribute(usb_device, "serial");
        identity.manufacturer = Attribute(usb_device, "manufacturer");
        identity.product = Attribute(usb_device, "product");
    }
    return identity;
}

// What lies beneath each USB interface that holds a block device, an MMC or a Memory Stick
// host, whatever its class and driver (card readers such as rtsx_usb are class ff): its
// block devices, keyed by the interface's syspath. One walk over all of them, not one per
// interface.
std::map<std::string, std::vector<UsbBlockDevice>> StorageBeneathInterfaces(
    udev* context, const std::vector<Mount>& mounts) {
    std::map<std::string, std::vector<UsbBlockDevice>> found;
    UdevPtr<udev_enumerate> devices(udev_enumerate_new(context));
    for (const char* subsystem : {"block", "mmc_host", "memstick_host"})
        udev_enumerate_add_match_subsystem(devices.get(), subsystem);
    udev_enumerate_scan_devices(devices.get());
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(devices.get())) {
        UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        udev_device* interface = device ? udev_device_get_parent_with_subsystem_devtype(
                                              device.get(), "usb", "usb_interface")
                                        : nullptr;
        if (interface == nullptr)
            continue;
        std::vector<UsbBlockDevice>& blocks = found[Text(udev_device_get_syspath(interface))];
        if (Text(udev_device_get_subsystem(device.get())) != "block" ||
            udev_device_get_devnode(device.get()) == nullptr)
            continue;
        UsbBlockDevice disk;
        disk.identity = IdentityOf(device.get(), udev_device_get_parent_with_subsystem_devtype(
                                                     interface, "usb", "usb_device"));
        disk.devnode = udev_device_get_devnode(device.get());
        disk.devnum = udev_device_get_devnum(device.get());
        disk.partition = Text(udev_device_get_devtype(device.get())) == "partition";
        disk.read_only = Attribute(device.get(), "ro") == "1";
        disk.marked_read_only = PropertyIsSet(device.get(), kReadOnlyProperty);
        for (const Mount& mount : mounts)
            if (mount.devnum == disk.devnum)
                disk.mount_points.push_back({mount.target, mount.read_only});
        blocks.push_back(std::move(disk));
    }
    return found;
}

Problems WriteSysfs(const std::string& path, const std::string& value) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (file < 0)
        return {Failure("cannot open " + path, errno)};
    const ssize_t written = ::write(file, value.data(), value.size());
    const int error = errno;
    ::close(file);
    if (written != static_cast<ssize_t>(value.size()))
        return {Failure("cannot write " + value + " to " + path, error)};
    return {};
}

Problems SetReadOnlyFlag(const UsbBlockDevice& device, int read_only) {
    const int file = ::open(device.devnode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
        return {Failure("cannot open " + device.devnode, errno)};
    const int result = ::ioctl(file, BLKROSET, &read_only);
    const int error = errno;
    ::close(file);
    if (result != 0)
        return {Failure("cannot set the read-only flag of " + device.devnode, error)};
    return {};
}

}  // namespace

std::vector<MountPoint> MountPointsOf(dev_t devnum) {
    std::vector<MountPoint> mount_points;
    for (Mount& mount : ReadMounts())
        if (mount.devnum == devnum)
            mount_points.push_back({std::move(mount.target), mount.read_only});
    return mount_points;
}

std::optional<DeviceIdentity> IdentifyDevice(const std::string& syspath) {
    UdevPtr<udev> context(udev_new());
    UdevPtr<udev_device> device(
        context ? udev_device_new_from_syspath(context.get(), syspath.c_str()) : nullptr);
    if (!device)
        return std::nullopt;
    return IdentityOf(device.get(), udev_device_get_parent_with_subsystem_devtype(
                                        device.get(), "usb", "usb_device"));
}

std::vector<UsbStorageInterface> FindUsbStorage(const std::set<std::string>& remembered_blocked) {
    UdevPtr<udev> context(udev_new());
    if (!context)
        return {};
    const std::vector<Mount> mounts = ReadMounts();
    const std::set<dev_t> system_devices = SystemBlockDevices(context.get(), mounts);
    std::map<std::string, std::vector<UsbBlockDevice>> beneath =
        StorageBeneathInterfaces(context.get(), mounts);

    UdevPtr<udev_enumerate> interfaces(udev_enumerate_new(context.get()));
    udev_enumerate_add_match_subsystem(interfaces.get(), "usb");
    udev_enumerate_add_match_property(interfaces.get(), "DEVTYPE", "usb_interface");
    udev_enumerate_scan_devices(interfaces.get());

    std::vector<UsbStorageInterface> found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(interfaces.get())) {
        UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device)
            continue;
        UsbStorageInterface storage;
        storage.syspath = udev_device_get_syspath(device.get());
        storage.name = Text(udev_device_get_sysname(device.get()));
        storage.driver = Text(udev_device_get_driver(device.get()));
        const std::string interface_class = Attribute(device.get(), "bInterfaceClass");
        if (!interface_class.empty())
            storage.interface_class = std::stoi(interface_class, nullptr, 16);
        storage.authorized = Attribute(device.get(), "authorized") != "0";
        storage.marked_blocked = PropertyIsSet(device.get(), kBlockedProperty) ||
                                 remembered_blocked.contains(storage.syspath);
        if (storage.interface_class != 8 && !IsStorageDriver(storage.driver) &&
            !storage.marked_blocked && !beneath.contains(storage.syspath))
            continue;
        udev_device* usb_device =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
        if (usb_device != nullptr) {
            storage.usb_device_path = Text(udev_device_get_devpath(usb_device));
            storage.device_authorized = Attribute(usb_device, "authorized") != "0";
        }
        storage.identity = IdentityOf(device.get(), usb_device);
        storage.block_devices = std::move(beneath[storage.syspath]);
        for (const UsbBlockDevice& disk : storage.block_devices)
            storage.holds_system = storage.holds_system || system_devices.contains(disk.devnum);
        found.push_back(std::move(storage));
    }
    return found;
}

std::vector<std::string> SystemUsbDevices() {
    std::vector<std::string> found;
    UdevPtr<udev> context(udev_new());
    if (!context)
        return found;
    for (const dev_t devnum : SystemBlockDevices(context.get(), ReadMounts())) {
        UdevPtr<udev_device> device(udev_device_new_from_devnum(context.get(), 'b', devnum));
        udev_device* usb_device = device ? udev_device_get_parent_with_subsystem_devtype(
                                               device.get(), "usb", "usb_device")
                                         : nullptr;
        if (usb_device != nullptr &&
            std::find(found.begin(), found.end(), Text(udev_device_get_devpath(usb_device))) ==
                found.end())
            found.push_back(Text(udev_device_get_devpath(usb_device)));
    }
    return found;
}

Problems BlockInterface(const UsbStorageInterface& interface) {
    Problems problems;
    ::sync();
    for (const UsbBlockDevice& device : interface.block_devices) {
        for (const MountPoint& mount : device.mount_points) {
            // A busy file system is detached: the device goes away beneath it in any case.
            if (::umount2(mount.target.c_str(), 0) != 0 &&
                ::umount2(mount.target.c_str(), MNT_DETACH) != 0)
                problems.push_back(Failure("cannot unmount " + mount.target, errno));
        }
    }
    Problems written = WriteSysfs(interface.syspath + "/authorized", "0");
    problems.insert(problems.end(), written.begin(), written.end());
    return problems;
}

Problems UnblockInterface(const UsbStorageInterface& interface) {
    Problems problems = WriteSysfs(interface.syspath + "/authorized", "1");
    if (problems.empty())
        problems = WriteSysfs("/sys/bus/usb/drivers_probe", interface.name);
    return problems;
}

Problems MakeReadOnly(const UsbBlockDevice& device, std::vector<std::string>* busy) {
    Problems problems;
    for (const MountPoint& mount : device.mount_points) {
        if (mount.read_only)
            continue;
        // A remount replaces the mount's flags: keep the ones it had.
        struct statvfs status {};
        const unsigned long kept = ::statvfs(mount.target.c_str(), &status) == 0
                                       ? status.f_flag & (MS_NOSUID | MS_NODEV | MS_NOEXEC |
                                                          MS_NOATIME | MS_NODIRATIME | MS_RELATIME)
                                       : 0;
        if (::mount(nullptr, mount.target.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | kept,
                    nullptr) == 0)
            continue;
        if (errno == EBUSY && busy != nullptr)
            busy->push_back(mount.target);
        else
            problems.push_back(Failure("cannot remount " + mount.target + " read-only", errno));
    }
    Problems flagged = SetReadOnlyFlag(device, 1);
    problems.insert(problems.end(), flagged.begin(), flagged.end());
    return problems;
}

Problems ReattachReadOnly(const UsbStorageInterface& interface,
                          const std::vector<std::string>& busy) {
    Problems problems;
    std::vector<int> frozen;
    for (const std::string& target : busy) {
        const int root = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // Freezing writes out what is dirty and leaves the file system clean on the medium;
        // writers wait. Without freeze (FAT and others) only a flush is left.
        if (root < 0 || (::ioctl(root, FIFREEZE, 0) != 0 && ::syncfs(root) != 0)) {
            problems.push_back(Failure("cannot flush " + target, errno));
            if (root >= 0)
                ::close(root);
            continue;
        }
        frozen.push_back(root);
    }
    const Problems blocked = WriteSysfs(interface.syspath + "/authorized", "0");
    if (!blocked.empty()) {
        // Thawed, the writers would reach the medium: it stays frozen, and that is said.
        for (const std::string& target : busy)
            problems.push_back("left frozen: " + target);
        problems.insert(problems.end(), blocked.begin(), blocked.end());
        return problems;
    }
    // The device is gone: the detached mount and its writers reach nothing.
    for (const std::string& target : busy)
        ::umount2(target.c_str(), MNT_DETACH);
    for (const int root : frozen) {
        ::ioctl(root, FITHAW, 0);
        ::close(root);
    }
    const Problems unblocked = UnblockInterface(interface);
    problems.insert(problems.end(), unblocked.begin(), unblocked.end());
    return problems;
}

Problems MakeWritable(const UsbBlockDevice& device) {
    return SetReadOnlyFlag(device, 0);
}

}  // namespace varnholt::enforce
