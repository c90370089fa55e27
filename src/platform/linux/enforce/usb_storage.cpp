#include "platform/linux/enforce/usb_storage.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

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
    const auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

using Mount = MountInfoLine;

bool HasOption(const std::string& options, const std::string& option) {
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

std::vector<Mount> ReadMounts() {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::stringstream text;
    text << mountinfo.rdbuf();
    return ParseMountInfo(text.str());
}

// The device a loop device reads from: its backing file's file system, as the kernel has it.
std::optional<dev_t> LoopBacking(udev_device* device) {
    const char* node = udev_device_get_devnode(device);
    const int file = node != nullptr ? ::open(node, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (file < 0)
        return std::nullopt;
    loop_info64 info{};
    const int result = ::ioctl(file, LOOP_GET_STATUS64, &info);
    ::close(file);
    if (result != 0)
        return std::nullopt;
    return static_cast<dev_t>(info.lo_device);
}

// The devices of the btrfs file system that device belongs to, by sysfs' list of each.
std::vector<dev_t> BtrfsDevices(const std::string& kernel_name) {
    std::error_code error;
    for (const auto& fs : std::filesystem::directory_iterator("/sys/fs/btrfs", error)) {
        if (!std::filesystem::exists(fs.path() / "devices" / kernel_name, error))
            continue;
        std::vector<dev_t> devices;
        for (const auto& member :
             std::filesystem::directory_iterator(fs.path() / "devices", error)) {
            unsigned major_number = 0, minor_number = 0;
            char colon = 0;
            std::ifstream dev_file(member.path() / "dev");
            if (dev_file >> major_number >> colon >> minor_number)
                devices.push_back(makedev(major_number, minor_number));
        }
        return devices;
    }
    return {};
}

// The folders an overlay is made of, from its options.
std::vector<std::string> OverlayLayers(const std::string& options) {
    std::vector<std::string> layers;
    std::istringstream list(options);
    for (std::string option; std::getline(list, option, ',');) {
        for (const char* key : {"lowerdir=", "upperdir=", "workdir="}) {
            if (!option.starts_with(key))
                continue;
            std::istringstream folders(option.substr(std::strlen(key)));
            for (std::string folder; std::getline(folders, folder, ':');)
                layers.push_back(folder);
        }
    }
    return layers;
}

// The mount a path lies on, by the longest mount point above it.
const Mount* MountHolding(const std::string& path, const std::vector<Mount>& mounts) {
    const Mount* holding = nullptr;
    for (const Mount& mount : mounts) {
        const bool above =
            mount.target == "/" || path == mount.target || path.starts_with(mount.target + "/");
        if (above && (holding == nullptr || mount.target.size() >= holding->target.size()))
            holding = &mount;
    }
    return holding;
}

}  // namespace

SystemDisks DevicesBeneath(const std::vector<MountInfoLine>& roots,
                           const std::vector<MountInfoLine>& mounts) {
    SystemDisks found;
    UdevPtr<udev> context(udev_new());
    std::set<int> mounts_seen;
    std::vector<const Mount*> pending_mounts;
    for (const Mount& root : roots)
        pending_mounts.push_back(&root);
    std::vector<dev_t> pending;
    const auto unresolved = [&](const std::string& why) {
        if (found.unresolved.empty())
            found.unresolved = why;
    };
    while (!pending_mounts.empty() || !pending.empty()) {
        if (!pending_mounts.empty()) {
            const Mount& mount = *pending_mounts.back();
            pending_mounts.pop_back();
            if (!mounts_seen.insert(mount.id).second)
                continue;
            if (major(mount.devnum) != 0) {
                pending.push_back(mount.devnum);
            } else if (mount.fstype == "overlay") {
                const std::vector<std::string> layers = OverlayLayers(mount.super_options);
                if (layers.empty())
                    unresolved("the overlay on " + mount.target + " names no layers");
                for (const std::string& layer : layers) {
                    const Mount* holding = MountHolding(layer, mounts);
                    if (holding != nullptr && layer.starts_with('/'))
                        pending_mounts.push_back(holding);
                    else
                        unresolved("the overlay on " + mount.target + " has the layer " + layer);
                }
            } else if (mount.fstype == "btrfs" || mount.source.starts_with("/dev/")) {
                struct stat status {};
                if (::stat(mount.source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
                    unresolved(mount.target + " is on " + mount.source + ", which is no device");
                else
                    pending.push_back(status.st_rdev);
            } else if (!std::set<std::string>{"tmpfs", "ramfs", "rootfs", "nfs", "nfs4", "cifs",
                                              "smb3", "9p", "virtiofs", "squashfs"}
                            .contains(mount.fstype)) {
                unresolved(mount.target + " is on " + mount.fstype + " from " + mount.source +
                           ", which names no device");
            }
            continue;
        }
        const dev_t next = pending.back();
        pending.pop_back();
        if (!found.devices.insert(next).second)
            continue;
        // A file system with no device number of its own (btrfs, overlay) holding a loop
        // device's backing file: what that one lies on.
        for (const Mount& mount : mounts) {
            if (major(next) == 0 && mount.devnum == next)
                pending_mounts.push_back(&mount);
        }
        UdevPtr<udev_device> device(context ? udev_device_new_from_devnum(context.get(), 'b', next)
                                            : nullptr);
        if (!device)
            continue;
        if (udev_device* disk =
                udev_device_get_parent_with_subsystem_devtype(device.get(), "block", "disk"))
            pending.push_back(udev_device_get_devnum(disk));
        const std::filesystem::path syspath = udev_device_get_syspath(device.get());
        std::error_code error;
        for (const auto& slave : std::filesystem::directory_iterator(syspath / "slaves", error)) {
            unsigned slave_major = 0, slave_minor = 0;
            std::ifstream dev_file(slave.path() / "dev");
            char colon = 0;
            if (dev_file >> slave_major >> colon >> slave_minor)
                pending.push_back(makedev(slave_major, slave_minor));
        }
        if (std::filesystem::exists(syspath / "loop" / "backing_file", error)) {
            if (const std::optional<dev_t> backing = LoopBacking(device.get()))
                pending.push_back(*backing);
            else
                unresolved("the backing file of " + syspath.filename().string() +
                           " cannot be found");
        }
        for (const dev_t member : BtrfsDevices(syspath.filename()))
            pending.push_back(member);
    }
    return found;
}

namespace {

// The block devices that / and /boot live on, however they are stacked.
SystemDisks SystemBlockDevices(const std::vector<Mount>& mounts) {
    std::vector<Mount> roots;
    for (const Mount& mount : mounts) {
        if (mount.target == "/" || mount.target == "/boot")
            roots.push_back(mount);
    }
    return DevicesBeneath(roots, mounts);
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

struct Beneath {
    std::vector<UsbBlockDevice> blocks;
    std::vector<GenericNode> generic;
};

// What lies beneath each USB interface that holds a block device, an MMC or a Memory Stick
// host or a SCSI generic node, whatever its class and driver (card readers such as rtsx_usb
// are class ff): its block devices and generic nodes, keyed by the interface's syspath. One
// walk over all of them, not one per interface.
std::map<std::string, Beneath> StorageBeneathInterfaces(udev* context,
                                                        const std::vector<Mount>& mounts) {
    std::map<std::string, Beneath> found;
    UdevPtr<udev_enumerate> devices(udev_enumerate_new(context));
    for (const char* subsystem : {"block", "mmc_host", "memstick_host", "scsi_generic", "bsg"})
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
        Beneath& beneath = found[Text(udev_device_get_syspath(interface))];
        const std::string subsystem = Text(udev_device_get_subsystem(device.get()));
        if (udev_device_get_devnode(device.get()) == nullptr)
            continue;
        if (subsystem == "scsi_generic" || subsystem == "bsg") {
            GenericNode node{udev_device_get_devnode(device.get()),
                             udev_device_get_syspath(device.get())};
            struct stat status {};
            if (::stat(node.devnode.c_str(), &status) == 0)
                node.mode = status.st_mode & 07777;
            beneath.generic.push_back(std::move(node));
            continue;
        }
        if (subsystem != "block")
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
                disk.mount_points.push_back({mount.id, mount.target, mount.read_only});
        beneath.blocks.push_back(std::move(disk));
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

// One request to the device's node; failing names what of it failed.
Problems AskDevice(const UsbBlockDevice& device, unsigned long request, void* argument,
                   const std::string& failing) {
    const int file = ::open(device.devnode.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file < 0)
        return {Failure("cannot open " + device.devnode, errno)};
    const int result = ::ioctl(file, request, argument);
    const int error = errno;
    ::close(file);
    if (result != 0)
        return {Failure(failing + device.devnode, error)};
    return {};
}

Problems SetReadOnlyFlag(const UsbBlockDevice& device, int read_only) {
    return AskDevice(device, BLKROSET, &read_only, "cannot set the read-only flag of ");
}

// The flags a remount keeps from a mount's own options.
constexpr std::pair<const char*, unsigned long> kMountFlags[] = {
    {"nosuid", MS_NOSUID},   {"nodev", MS_NODEV},           {"noexec", MS_NOEXEC},
    {"noatime", MS_NOATIME}, {"nodiratime", MS_NODIRATIME}, {"relatime", MS_RELATIME},
};

// A path that names what fd holds, whatever another mount stacked there since.
std::string FdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The mount ID of what fd holds, from the kernel's own record: asks no file system (a FUSE
// daemon that never answers would stall us), hence AT_STATX_DONT_SYNC.
int MountIdOf(int fd) {
    struct statx status {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &status) != 0)
        return -1;
    if ((status.stx_mask & STATX_MNT_ID) == 0) {
        errno = ENOTSUP;
        return -1;
    }
    return static_cast<int>(status.stx_mnt_id);
}

// Detaches the mount handle holds. umount reaches the topmost mount stacked where handle
// points: each one stacked on the mount's root goes first (it goes with the mount in any case),
// until the mount itself has.
void Detach(int mount_id, const MountHandle& handle) {
    for (int tries = 0; handle.fd >= 0 && tries < 16; ++tries) {
        const std::vector<MountInfoLine> mounts = ReadMounts();
        if (std::none_of(mounts.begin(), mounts.end(),
                         [&](const MountInfoLine& m) { return m.id == mount_id; }) ||
            ::umount2(FdPath(handle.fd).c_str(), MNT_DETACH) != 0)
            return;
    }
}

// Writes dirty data of the file system on device out through the block device.
Problems FlushThroughDevice(const UsbBlockDevice& device) {
    return AskDevice(device, BLKFLSBUF, nullptr, "cannot flush ");
}

// A device that does not go in time is not waited for: the file systems frozen for it are
// thawed and that is said, rather than stall every writer and every later change.
constexpr auto kTakeAwayLimit = std::chrono::seconds(20);
Problems WriteSysfsWithin(const std::string& path, const std::string& value) {
    auto done = std::make_shared<std::promise<Problems>>();
    std::future<Problems> result = done->get_future();
    std::thread([done, path, value] { done->set_value(WriteSysfs(path, value)); }).detach();
    if (result.wait_for(kTakeAwayLimit) != std::future_status::ready)
        return {"writing " + value + " to " + path + " took over " +
                std::to_string(kTakeAwayLimit.count()) + " s"};
    return result.get();
}
}  // namespace

std::vector<MountPoint> MountPointsOf(dev_t devnum) {
    std::vector<MountPoint> mount_points;
    for (Mount& mount : ReadMounts())
        if (mount.devnum == devnum)
            mount_points.push_back({mount.id, std::move(mount.target), mount.read_only});
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
    const SystemDisks system = SystemBlockDevices(mounts);
    std::map<std::string, Beneath> beneath = StorageBeneathInterfaces(context.get(), mounts);

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
        storage.block_devices = std::move(beneath[storage.syspath].blocks);
        storage.generic_nodes = std::move(beneath[storage.syspath].generic);
        for (const UsbBlockDevice& disk : storage.block_devices)
            storage.holds_system = storage.holds_system || system.devices.contains(disk.devnum);
        // Where what holds the system cannot be told, none of them may be the one cut.
        if (!system.unresolved.empty() && !storage.block_devices.empty())
            storage.holds_system = true;
        found.push_back(std::move(storage));
    }
    return found;
}

std::vector<std::string> SystemUsbDevices(std::string* unresolved) {
    std::vector<std::string> found;
    UdevPtr<udev> context(udev_new());
    if (!context)
        return found;
    const SystemDisks system = SystemBlockDevices(ReadMounts());
    std::set<dev_t> devices = system.devices;
    if (unresolved != nullptr)
        *unresolved = system.unresolved;
    if (!system.unresolved.empty()) {
        // Every USB disk attached now might be the one: all are left alone.
        UdevPtr<udev_enumerate> disks(udev_enumerate_new(context.get()));
        udev_enumerate_add_match_subsystem(disks.get(), "block");
        udev_enumerate_scan_devices(disks.get());
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(disks.get())) {
            UdevPtr<udev_device> disk(
                udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
            if (disk)
                devices.insert(udev_device_get_devnum(disk.get()));
        }
    }
    for (const dev_t devnum : devices) {
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

MountHandle::MountHandle(MountHandle&& other) noexcept
    : fd(std::exchange(other.fd, -1)), problem(std::move(other.problem)) {}

MountHandle::~MountHandle() {
    if (fd >= 0)
        ::close(fd);
}

namespace {

// A handle on the root of mount from what a process holds on it (its working folder, its root,
// an open folder): how a mount that another hides is still written to, and how it is reached.
// Each holder is followed up ("..") within the mount only; no other file system is asked.
int HeldOn(int mount_id) {
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::vector<std::filesystem::path> held{process.path() / "cwd", process.path() / "root"};
        std::error_code listed;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", listed))
            held.push_back(fd.path());
        for (const std::filesystem::path& link : held) {
            int at = ::open(link.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (at >= 0 && MountIdOf(at) != mount_id) {
                ::close(at);
                continue;
            }
            for (int up; at >= 0; at = up) {
                up = ::openat(at, "..", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (up < 0 || MountIdOf(up) != mount_id) {
                    if (up >= 0)
                        ::close(up);
                    return at;  // the mount's root: above it lies another mount
                }
                ::close(at);
            }
        }
    }
    return -1;
}

// From / one folder at a time, each step proven by its mount ID to be on the way to mount.
MountHandle WalkToMount(const MountInfoLine& mount, const std::vector<MountInfoLine>& all) {
    std::map<int, const MountInfoLine*> by_id;
    for (const MountInfoLine& line : all)
        by_id[line.id] = &line;
    // The mounts on the way down: this one and those it hangs from.
    std::set<int> way;
    for (auto at = by_id.find(mount.id); at != by_id.end() && way.insert(at->first).second;)
        at = by_id.find(at->second->parent);
    MountHandle handle;
    const auto refuse = [&](const std::string& why) {
        handle.problem = "mount " + std::to_string(mount.id) + " on " + mount.target + " " + why;
        if (handle.fd >= 0)
            ::close(handle.fd);
        handle.fd = -1;
        return std::move(handle);
    };
    handle.fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::istringstream components(mount.target);
    std::string component;
    for (int id = -1;;) {
        if (handle.fd < 0)
            return refuse("cannot be reached: " + std::string(std::strerror(errno)));
        if ((id = MountIdOf(handle.fd)) < 0)
            return refuse("cannot be identified: " + std::string(std::strerror(errno)));
        if (!way.contains(id))
            return refuse(by_id.contains(id) ? "is hidden by mount " + std::to_string(id) + " on " +
                                                   by_id[id]->target
                                             : "is not where mountinfo says");
        do {
            if (!std::getline(components, component))
                return id == mount.id ? std::move(handle) : refuse("is hidden by another mount");
        } while (component.empty());
        // Never a lookup in a file system whose daemon a user runs: it may never answer.
        if (by_id[id]->fstype.starts_with("fuse"))
            return refuse("lies beneath the FUSE mount on " + by_id[id]->target);
        const int next =
            ::openat(handle.fd, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(handle.fd);
        handle.fd = next;
        errno = error;
    }
}

}  // namespace

MountHandle OpenMountRoot(const MountInfoLine& mount, const std::vector<MountInfoLine>& all) {
    MountHandle handle = WalkToMount(mount, all);
    if (handle.fd < 0)
        handle.fd = HeldOn(mount.id);
    if (handle.fd >= 0)
        handle.problem.clear();
    else
        handle.problem += ", and no process holds a folder on it";
    return handle;
}

std::vector<MountInfoLine> ParseMountInfo(std::string_view text) {
    std::vector<MountInfoLine> mounts;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        MountInfoLine mount;
        std::string numbers, root, target, field, source;
        fields >> mount.id >> mount.parent >> numbers >> root >> target >> mount.options;
        while (fields >> field && field != "-") {  // optional fields: shared:N, master:N, ...
        }
        fields >> mount.fstype >> source >> mount.super_options;
        unsigned major_number = 0, minor_number = 0;
        if (!fields || std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) != 2)
            continue;
        mount.devnum = makedev(major_number, minor_number);
        mount.root = Unescape(root);
        mount.target = Unescape(target);
        mount.source = Unescape(source);
        mount.read_only = HasOption(mount.options, "ro") || HasOption(mount.super_options, "ro");
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

Problems UnblockInterface(const UsbStorageInterface& interface) {
    Problems problems = WriteSysfs(interface.syspath + "/authorized", "1");
    if (problems.empty())
        problems = WriteSysfs("/sys/bus/usb/drivers_probe", interface.name);
    return problems;
}

Problems MakeReadOnly(const UsbBlockDevice& device, std::vector<BusyMount>* busy) {
    Problems problems;
    const std::vector<Mount> mounts = ReadMounts();
    for (const Mount& mount : mounts) {
        if (mount.devnum != device.devnum || mount.read_only)
            continue;
        const MountHandle handle = OpenMountRoot(mount, mounts);
        std::string why = handle.problem;
        if (why.empty()) {
            // A remount replaces the mount's own flags: keep the ones it had.
            unsigned long kept = 0;
            for (const auto& [name, flag] : kMountFlags)
                kept |= HasOption(mount.options, name) ? flag : 0;
            if (::mount(nullptr, FdPath(handle.fd).c_str(), nullptr, MS_REMOUNT | MS_RDONLY | kept,
                        nullptr) == 0)
                continue;
            const int error = errno;
            why = error == EBUSY ? "files open for writing on " + mount.target
                                 : Failure("cannot remount " + mount.target + " read-only", error);
        }
        if (busy == nullptr) {
            problems.push_back(why);
            continue;
        }
        busy->emplace_back();
        busy->back().mount.mount_id = mount.id;
        busy->back().mount.target = mount.target;
        busy->back().why = why;
    }
    Problems flagged = SetReadOnlyFlag(device, 1);
    problems.insert(problems.end(), flagged.begin(), flagged.end());
    return problems;
}

Problems StillWritable(const UsbBlockDevice& device) {
    Problems problems;
    for (const MountPoint& mount : MountPointsOf(device.devnum)) {
        if (!mount.read_only)
            problems.push_back(device.devnode + ": mount " + std::to_string(mount.mount_id) +
                               " on " + mount.target + " is still read/write");
    }
    return problems;
}

Problems BlockInterface(const UsbStorageInterface& interface) {
    Problems problems;
    std::vector<std::pair<int, MountHandle>> handles;  // by mount ID
    std::vector<int> frozen;
    const std::vector<Mount> mounts = ReadMounts();
    std::set<dev_t> flushed;  // a file system mounted twice is frozen once
    for (const UsbBlockDevice& device : interface.block_devices) {
        for (const Mount& mount : mounts) {
            if (mount.devnum != device.devnum)
                continue;
            MountHandle handle = OpenMountRoot(mount, mounts);
            if (flushed.contains(mount.devnum)) {
                handles.emplace_back(mount.id, std::move(handle));
                continue;
            }
            if (handle.fd < 0) {
                // Out of reach: its file system is flushed through the device itself, which
                // finds it whatever hides its mount.
                if (const Problems failed = FlushThroughDevice(device); !failed.empty())
                    problems.push_back(handle.problem + "; " + failed.front());
                flushed.insert(mount.devnum);
                continue;
            }
            // Freezing writes out what is dirty and leaves the file system clean on the
            // medium; writers wait. Without freeze (FAT and others) only a flush is left.
            const int root = ::open(FdPath(handle.fd).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            flushed.insert(mount.devnum);
            if (root >= 0 && ::ioctl(root, FIFREEZE, 0) == 0) {
                frozen.push_back(root);
            } else if (root < 0 || ::syncfs(root) != 0) {
                problems.push_back(Failure("cannot flush " + mount.target, errno));
                if (root >= 0)
                    ::close(root);
            } else {
                ::close(root);
            }
            handles.emplace_back(mount.id, std::move(handle));
        }
    }
    if (problems.empty()) {
        const Problems blocked = WriteSysfsWithin(interface.syspath + "/authorized", "0");
        problems.insert(problems.end(), blocked.begin(), blocked.end());
    }
    if (problems.empty()) {
        // The device is gone: the detached mounts and their writers reach nothing.
        for (const auto& [id, handle] : handles)
            Detach(id, handle);
    } else {
        problems.push_back("not taken away, so that nothing written to it is lost");
    }
    for (const int root : frozen) {
        ::ioctl(root, FITHAW, 0);
        ::close(root);
    }
    return problems;
}

Problems ReattachReadOnly(const UsbStorageInterface& interface) {
    Problems problems = BlockInterface(interface);
    if (problems.empty())
        problems = UnblockInterface(interface);
    return problems;
}

Problems MakeWritable(const UsbBlockDevice& device) {
    return SetReadOnlyFlag(device, 0);
}

}  // namespace varnholt::enforce
