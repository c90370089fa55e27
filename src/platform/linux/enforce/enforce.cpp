#include "platform/linux/enforce/enforce.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/enforce/audit_journal.h"
#include "platform/linux/enforce/device_record.h"
#include "platform/linux/enforce/trusted_files.h"
#include "platform/linux/enforce/udev_rules.h"
#include "platform/linux/hive_registry.h"
#include "platform/linux/run_program.h"
#include "runtime/error.h"

namespace varnholt::enforce {
namespace {

constexpr const char* kStateFolder = "/run/varnholt";
constexpr const char* kLockPath = "/run/varnholt/policy.lock";
// Interfaces apply did not take away, or could not re-attach, and why: for status.
constexpr const char* kHeldBackPath = "/run/varnholt/held-back";
constexpr const char* kUdevadm = "/bin/udevadm";
constexpr const char* kUdevControl = "/run/udev/control";
constexpr int kMaxPasses = 5;

std::optional<std::string> ReadRules() {
    return ReadSmallFile(kRulesPath, kLargestStateFile).text;
}

// A value's text; nullopt when it is missing, with problem saying why when that is not
// simply a missing value.
std::optional<std::string> ReadValue(platform::HiveRegistry& registry, const char* name,
                                     const std::filesystem::path& hive, std::string& problem) {
    try {
        return RegValueText(registry.RegRead(name));
    } catch (const Error& error) {
        std::error_code ignored;
        if (!std::filesystem::exists(hive, ignored))
            problem = hive.string() +
                      ": no such file (create it with 'varnholt-policy set readwrite' or "
                      "another mode, or install the package)";
        else if (error.number() != ErrorNumber(registry_error::kNotFound) && problem.empty())
            problem = error.description().find(hive.string()) == std::string::npos
                          ? hive.string() + ": " + error.description()
                          : error.description();
        return std::nullopt;
    }
}

Problems RunUdevadm(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kUdevadm);
    const int status = platform::RunProgram(arguments);
    if (status < 0)
        return {std::string("cannot run ") + kUdevadm + ": " + std::strerror(errno)};
    if (status != 0)
        return {"udevadm " + arguments[1] + " failed"};
    return {};
}

bool UdevRunning() {
    struct stat status {};
    return ::stat(kUdevControl, &status) == 0 && S_ISSOCK(status.st_mode);
}

// Replaces target whole: readers see the old bytes or the new, never a half-written file
// (udev reads only names ending in ".rules", so it never sees the rules' temporary either).
Problems ReplaceFile(const std::filesystem::path& target, std::string_view bytes) {
    const std::filesystem::path temp =
        target.parent_path() / ("." + target.filename().string() + ".new");
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    // Made anew: a name planted there, even a hard link to another file, is only unlinked.
    ::unlink(temp.c_str());
    const int file =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0)
        return {temp.string() + ": " + std::strerror(errno)};
    const bool written =
        ::fchmod(file, 0644) == 0 &&
        ::write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
        ::fsync(file) == 0;
    const int write_error = errno;
    if (::close(file) != 0 || !written || ::rename(temp.c_str(), target.c_str()) != 0) {
        const int failure = written ? errno : write_error;
        ::unlink(temp.c_str());
        return {target.string() + ": " + std::strerror(failure)};
    }
    return {};
}

bool MountedWritable(const UsbBlockDevice& device) {
    return std::any_of(device.mount_points.begin(), device.mount_points.end(),
                       [](const MountPoint& mount) { return !mount.read_only; });
}

void Add(Problems& to, const Problems& more) {
    to.insert(to.end(), more.begin(), more.end());
}

struct Outcome {
    Problems problems;
    std::vector<Change> changes;
    bool changed = false;
    std::map<std::string, std::string> held_back;  // HeldBackKey, why
};

void HoldBack(Outcome& outcome, const UsbStorageInterface& interface, const Problems& problems) {
    std::string why;
    for (const std::string& line : problems)
        why += (why.empty() ? "" : "; ") + line;
    // One line each in the record: no line break a device or a mount point brought may split it.
    std::replace_if(
        why.begin(), why.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
    outcome.held_back[HeldBackKey(interface.syspath)] = why;
}

// Records what was done to a device (or one of its mounts) and what went wrong doing it.
void Record(Outcome& outcome, const DeviceIdentity& device, Action action, std::string reason,
            const Problems& problems, std::string mount_point = {}) {
    std::string problem;
    for (const std::string& line : problems)
        problem += (problem.empty() ? "" : "; ") + line;
    outcome.changes.push_back(
        {device, action, std::move(mount_point), std::move(reason), std::move(problem)});
    Add(outcome.problems, problems);
    outcome.changed = true;
}

// Kept for the device it names, so that the rules' run as it comes again (coldplug after the
// boot unit) and status know apply did it.
void Remember(const char* folder, const std::optional<DeviceRecord>& record) {
    if (record)
        AddRecord(folder, *record);
}

void Forget(const char* folder, const std::optional<DeviceRecord>& record) {
    if (record)
        RemoveRecord(folder, *record);
}

std::string InForce(UsbMode mode) {
    return std::string(UsbModeName(mode)) + " in force";
}

void Unblock(const UsbStorageInterface& interface, UsbMode mode, Outcome& outcome) {
    // Blocks of other tools on the whole device stay as they are.
    if (interface.authorized || !interface.device_authorized ||
        (interface.interface_class != 8 && !interface.marked_blocked))
        return;
    const Problems unblocked = UnblockInterface(interface);
    if (unblocked.empty())
        Forget(kBlockedRecords, InterfaceRecord(interface.syspath));
    Record(outcome, interface.identity, Action::kUnblocked, InForce(mode), unblocked);
}

void EnforceReadOnly(const UsbStorageInterface& interface, Outcome& outcome) {
    std::vector<BusyMount> busy;
    for (const UsbBlockDevice& device : interface.block_devices) {
        if (device.read_only && !MountedWritable(device))
            continue;
        const std::size_t busy_before = busy.size();
        const Problems problems = MakeReadOnly(device, &busy);
        for (const MountPoint& mount : device.mount_points) {
            if (!mount.read_only &&
                std::none_of(busy.begin() + busy_before, busy.end(), [&](const BusyMount& b) {
                    return b.mount.mount_id == mount.mount_id;
                }))
                Record(outcome, device.identity, Action::kRemountedReadOnly,
                       InForce(UsbMode::kReadOnly), {}, mount.target);
        }
        if (problems.empty())
            Remember(kReadOnlyRecords, BlockRecord(device.identity.syspath));
        Record(outcome, device.identity, Action::kMadeReadOnly, InForce(UsbMode::kReadOnly),
               problems);
    }
    if (!busy.empty()) {
        const Problems problems = ReattachReadOnly(interface);
        if (!problems.empty())
            HoldBack(outcome, interface, problems);
        for (const BusyMount& mount : busy)
            Record(outcome, interface.identity, Action::kReattachedReadOnly,
                   mount.why +
                       ": flushed (frozen where it can be), detached, the device re-attached "
                       "read-only",
                   problems, mount.mount.target);
    }
    // What the kernel has now, not what was meant: a mount left read/write is named.
    for (const UsbBlockDevice& device : interface.block_devices)
        Add(outcome.problems, StillWritable(device));
}

// Brings each attached USB storage interface and its disks into the mode.
void EnforceOn(const std::vector<UsbStorageInterface>& storage, UsbMode mode, bool resetting,
               std::set<std::string>& to_trigger, Outcome& outcome) {
    std::vector<std::pair<const UsbStorageInterface*, std::future<Problems>>> blocking;
    for (const UsbStorageInterface& interface : storage) {
        if (interface.holds_system)
            continue;
        for (const UsbBlockDevice& device : interface.block_devices)
            to_trigger.insert(device.identity.syspath);
        for (const GenericNode& node : interface.generic_nodes)
            to_trigger.insert(node.syspath);
        switch (mode) {
            case UsbMode::kDisable:
                // Side by side: each waits mostly on its own device's teardown.
                if (interface.authorized)
                    blocking.emplace_back(&interface, std::async(std::launch::async, BlockInterface,
                                                                 std::cref(interface)));
                break;
            case UsbMode::kReadOnly:
                Unblock(interface, mode, outcome);
                EnforceReadOnly(interface, outcome);
                break;
            case UsbMode::kReadWrite:
                Unblock(interface, mode, outcome);
                for (const UsbBlockDevice& device : interface.block_devices) {
                    if (device.marked_read_only && device.read_only) {
                        const Problems problems = MakeWritable(device);
                        if (problems.empty())
                            Forget(kReadOnlyRecords, BlockRecord(device.identity.syspath));
                        Record(outcome, device.identity, Action::kMadeWritable,
                               resetting ? "reset" : InForce(mode), problems);
                    }
                }
                break;
        }
    }
    for (auto& [interface, pending] : blocking) {
        const Problems problems = pending.get();
        Record(outcome, interface->identity, Action::kBlocked, InForce(mode), problems);
        if (problems.empty()) {
            Remember(kBlockedRecords, InterfaceRecord(interface->syspath));
        } else {
            // Not taken away, so that nothing written to it is lost: read-only where that can
            // be done in place.
            HoldBack(outcome, *interface, problems);
            for (const UsbBlockDevice& device : interface->block_devices)
                Record(outcome, device.identity, Action::kMadeReadOnly,
                       "could not be taken away: read-only instead", MakeReadOnly(device));
        }
    }
}

// One pass. remove_rules leaves no rules file at all instead of the mode's.
Outcome Enforce(UsbMode mode, bool remove_rules) {
    Outcome outcome;
    // Records of devices gone or replaced go; a keyboard in a blocked stick's port is not it.
    RecordedDevices(kReadOnlyRecords, BlockRecord, true);
    std::string system_unresolved;
    const std::vector<std::string> system_devices = SystemUsbDevices(&system_unresolved);
    // A machine must never lose its running system.
    if (!system_unresolved.empty())
        outcome.problems.push_back("what holds / or /boot cannot be told (" + system_unresolved +
                                   "): every USB disk attached is left alone");
    // Rules that would have udev run a file a user could replace, as root, at every plug,
    // are written without that step, and that is said.
    const std::string recorder_problem = RecorderProblem(kInstalledProgram);
    if (!recorder_problem.empty() && !remove_rules && mode != UsbMode::kReadWrite)
        outcome.problems.push_back(recorder_problem + "; the rules record no device at plug");
    const std::string rules =
        RenderRules(mode, system_devices, recorder_problem.empty() ? kInstalledProgram : "");
    const std::optional<std::string> current = ReadRules();
    const bool udev_running = UdevRunning();
    std::future<Problems> reload;
    if (remove_rules ? current.has_value() : current != rules) {
        if (remove_rules) {
            std::error_code error;
            if (!std::filesystem::remove(kRulesPath, error) && error)
                outcome.problems.push_back(std::string(kRulesPath) + ": " + error.message());
        } else {
            Add(outcome.problems, ReplaceFile(kRulesPath, rules));
        }
        // udev loads the rules while the attached devices are changed; a device that comes
        // before they are in is caught by a second look. Until a rule runs on a device, the
        // old rules' marks stay in udev's database.
        if (udev_running)
            reload = std::async(std::launch::async, RunUdevadm,
                                std::vector<std::string>{"control", "--reload"});
        outcome.changed = true;
    }
    std::set<std::string> to_trigger;
    const auto storage = [] {
        return FindUsbStorage(RecordedDevices(kBlockedRecords, InterfaceRecord, true));
    };
    EnforceOn(storage(), mode, remove_rules, to_trigger, outcome);
    if (reload.valid()) {
        Add(outcome.problems, reload.get());
        EnforceOn(storage(), mode, remove_rules, to_trigger, outcome);
    }

    std::string held_back;
    for (const auto& [syspath, why] : outcome.held_back)
        held_back += syspath + "\t" + why + "\n";
    if (ReadSmallFile(kHeldBackPath, kLargestStateFile).text.value_or("") != held_back)
        Add(outcome.problems, ReplaceFile(kHeldBackPath, held_back));
    // Only the disks the switch concerns get the new rules' marks, permissions and mount
    // options; a disk that comes back unblocked meets the rules on its own.
    // udev gives a node the distribution's owner, group and mode back only as it is added: on
    // a change it keeps the readonly rules' root-only ones, and the disk group could no longer
    // use a disk given back.
    std::vector<std::string> trigger{
        "trigger", "--settle", mode == UsbMode::kReadWrite ? "--action=add" : "--action=change"};
    for (const std::string& syspath : to_trigger) {
        if (::access(syspath.c_str(), F_OK) == 0)  // not gone with a block or a re-attach
            trigger.push_back(syspath);
    }
    if (outcome.changed && udev_running && trigger.size() > 3)
        Add(outcome.problems, RunUdevadm(trigger));
    return outcome;
}

// Held until the process ends: one apply at a time. An apply that hangs holding it must not
// stall every later change for ever: the wait is bounded, and the units bound each run.
constexpr auto kLockWait = std::chrono::seconds(120);
bool TakeLock(std::ostream& err) {
    if (const std::string problem = PrepareOwnFolder(kStateFolder, ::geteuid()); !problem.empty()) {
        err << "varnholt-policy: " << problem << "; refusing to keep state there\n";
        return false;
    }
    const int lock = ::open(kLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    bool held = false;
    while (lock >= 0 && !(held = ::flock(lock, LOCK_EX | LOCK_NB) == 0)) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            err << "varnholt-policy: " << kLockPath << ": another apply has held it for over "
                << kLockWait.count() << " s; nothing changed\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!held) {
        err << "varnholt-policy: " << kLockPath << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

int Report(const char* what, const Outcome& outcome, std::ostream& out, std::ostream& err,
           std::vector<Change>* changes) {
    for (const Change& change : outcome.changes) {
        out << change.device.kernel_name
            << (change.mount_point.empty() ? "" : " on " + change.mount_point) << ": "
            << ActionName(change.action) << " (" << change.reason << ")"
            << (change.problem.empty() ? "" : ", failed") << "\n";
    }
    for (const std::string& problem : outcome.problems)
        err << "varnholt-policy: " << problem << "\n";
    if (!outcome.problems.empty())
        out << "not wholly ";
    out << what << (outcome.changed ? "" : " (nothing to change)") << "\n";
    if (changes != nullptr)
        changes->insert(changes->end(), outcome.changes.begin(), outcome.changes.end());
    return outcome.problems.empty() ? exit_code::kDone : exit_code::kStepFailed;
}

}  // namespace

RecordedMode ReadRecordedMode(const std::filesystem::path& hive, uid_t trusted_owner) {
    platform::HiveRegistry registry(hive, std::filesystem::path());
    RecordedMode recorded;
    UsbPolicyTexts texts;
    texts.start = ReadValue(registry, policy_value::kUsbStorageStart, hive, recorded.problem);
    texts.write_protect = ReadValue(registry, policy_value::kWriteProtect, hive, recorded.problem);
    recorded.mode = UsbModeOf(texts);
    // An empty or header-only hive is no record of a mode, and one another user could
    // replace is no record of the machine's.
    if (!texts.start && recorded.problem.empty())
        recorded.problem = hive.string() + ": records no usable USB storage Start value";
    if (const std::string untrusted = ReplaceableBy(hive, trusted_owner); !untrusted.empty()) {
        recorded.mode = UsbMode::kDisable;
        recorded.problem = "the hive cannot be trusted: " + untrusted;
    }
    return recorded;
}

std::string HeldBackKey(const std::string& syspath) {
    const std::optional<DeviceRecord> record = InterfaceRecord(syspath);
    return record ? record->name : syspath;
}

std::map<std::string, std::string> HeldBack() {
    std::map<std::string, std::string> held_back;
    std::istringstream list(ReadSmallFile(kHeldBackPath, kLargestStateFile).text.value_or(""));
    for (std::string line; std::getline(list, line);) {
        if (const std::size_t tab = line.find('\t'); tab != std::string::npos)
            held_back[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return held_back;
}

std::optional<UsbMode> ModeInForce() {
    const std::optional<std::string> rules = ReadRules();
    return rules ? RulesMode(*rules) : std::nullopt;
}

int Apply(const std::filesystem::path& hive, std::ostream& out, std::ostream& err,
          std::vector<Change>* changes) {
    if (!TakeLock(err))
        return exit_code::kStepFailed;
    const std::optional<UsbMode> before = ModeInForce();
    RecordedMode recorded = ReadRecordedMode(hive);
    for (int pass = 1;; ++pass) {
        const Outcome outcome = Enforce(recorded.mode, false);
        const RecordedMode after = ReadRecordedMode(hive);
        if (after.mode != recorded.mode && pass < kMaxPasses) {
            recorded = after;  // the hive changed while we worked
            continue;
        }
        const int code = Report((std::string("in force: ") + UsbModeName(recorded.mode)).c_str(),
                                outcome, out, err, changes);
        if (const std::optional<UsbMode> now = ModeInForce(); now != before)
            journal::ModeChanged(before, now);
        if (recorded.problem.empty())
            return code;
        // Disable is claimed only when it holds: rules that could not be written leave the
        // old mode in force.
        err << "varnholt-policy: " << recorded.problem
            << (code == exit_code::kDone ? "; storage stays disabled\n"
                                         : "; disable could not be put wholly in force\n");
        return code == exit_code::kDone ? exit_code::kHiveUnusable : code;
    }
}

int Reset(std::ostream& out, std::ostream& err, std::vector<Change>* changes) {
    if (!TakeLock(err))
        return exit_code::kStepFailed;
    const std::optional<UsbMode> before = ModeInForce();
    const int code =
        Report("reset: no rules in force", Enforce(UsbMode::kReadWrite, true), out, err, changes);
    if (const std::optional<UsbMode> now = ModeInForce(); now != before)
        journal::ModeChanged(before, now);
    return code;
}

const char* ActionName(Action action) {
    switch (action) {
        case Action::kBlocked:
            return "blocked";
        case Action::kUnblocked:
            return "unblocked";
        case Action::kMadeReadOnly:
            return "made-read-only";
        case Action::kMadeWritable:
            return "made-writable";
        case Action::kRemountedReadOnly:
            return "remounted-read-only";
        case Action::kReattachedReadOnly:
            return "reattached-read-only";
        case Action::kLeftAlone:
            break;
    }
    return "left-alone";
}

DeviceState StateOf(const UsbStorageInterface& interface, std::optional<UsbMode> in_force) {
    if (interface.holds_system)
        return {interface.authorized ? "authorized" : "blocked", "holds / or /boot: never changed"};
    if (interface.authorized && in_force == UsbMode::kDisable)
        return {"authorized", "differs from " + InForce(*in_force) + ": run varnholt-policy apply"};
    if (interface.authorized)
        return {"authorized", in_force ? InForce(*in_force) : "no rules in force"};
    if (!interface.device_authorized)
        return {"blocked", "its USB device is not authorized, not by varnholt-policy"};
    if (interface.interface_class == 8 || interface.marked_blocked)
        return {"blocked", in_force == UsbMode::kDisable ? InForce(UsbMode::kDisable)
                                                         : "blocked earlier; apply unblocks it"};
    return {"blocked", "not by varnholt-policy"};
}

DeviceState StateOf(const UsbStorageInterface& interface, const UsbBlockDevice& device,
                    std::optional<UsbMode> in_force) {
    const std::string state = device.read_only ? "read-only" : "writable";
    if (interface.holds_system)
        return {state, "holds / or /boot: never changed"};
    if (!in_force)
        return {state, "no rules in force"};
    const std::string differs =
        "differs from " + InForce(*in_force) + ": run varnholt-policy apply";
    switch (*in_force) {
        case UsbMode::kDisable:
            return {state, differs};
        case UsbMode::kReadOnly:
            return {state,
                    device.read_only && !MountedWritable(device) ? InForce(*in_force) : differs};
        case UsbMode::kReadWrite:
            if (!device.read_only)
                return {state, InForce(*in_force)};
            return {state, device.marked_read_only ? differs : "not by varnholt-policy"};
    }
    return {state, differs};
}

}  // namespace varnholt::enforce
