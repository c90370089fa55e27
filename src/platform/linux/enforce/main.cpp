// varnholt-policy: shows the USB storage mode and brings the kernel into line with the
// machine hive, the one record of it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/enforce/audit_journal.h"
#include "platform/linux/enforce/device_record.h"
#include "platform/linux/enforce/enforce.h"
#include "platform/linux/enforce/trusted_files.h"
#include "platform/linux/enforce/udev_rules.h"
#include "platform/linux/hive_registry.h"
#include "runtime/error.h"

namespace varnholt::enforce {
namespace {

constexpr const char* kUsage =
    "Usage: varnholt-policy COMMAND\n"
    "Keeps USB storage as the machine hive records it; mice and keyboards are never touched.\n"
    "\n"
    "  status [--json]   the recorded mode, the mode in force and each USB storage device\n"
    "  set MODE          record MODE (disable, readonly or readwrite), then apply (root)\n"
    "  apply             put the recorded mode in force (root)\n"
    "  reset             remove the rules and undo what apply did on attached devices (root)\n"
    "  --help            this text\n"
    "  --version         the version of this command\n"
    "\n"
    "Exit status: 0 done (status: the recorded mode is in force), 1 a step failed, 2 wrong\n"
    "usage, 3 the hive is missing, damaged or untrusted (apply: storage is then disabled),\n"
    "4 not run as root, 5 (status) the mode in force differs from the record.\n";

std::string Json(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            constexpr char kHex[] = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[c >> 4];
            quoted += kHex[c & 0xf];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// An argument as a terminal may show it: control characters (escape sequences, newlines),
// quotes, backslashes and bytes beyond ASCII as \xNN.
std::string Printable(std::string_view text) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '\'' || c == '\\')
            shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 0xf];
        else
            shown += c;
    }
    return shown;
}

const char* Flag(bool value) {
    return value ? "true" : "false";
}

// Why an attached interface or its disks are not as mode wants them; empty when they are.
std::string DeviceDrift(UsbMode mode, const UsbStorageInterface& s) {
    if (s.holds_system)
        return {};
    if (mode == UsbMode::kDisable)
        return s.authorized ? s.name + " is authorized" : "";
    if (!s.authorized && s.device_authorized)
        return s.name + " is not authorized";
    for (const GenericNode& node : s.generic_nodes) {
        if (mode == UsbMode::kReadOnly && (node.mode & 077) != 0)
            return node.devnode + " is open to users other than root";
    }
    for (const UsbBlockDevice& b : s.block_devices) {
        if (mode == UsbMode::kReadOnly &&
            (!b.read_only || std::any_of(b.mount_points.begin(), b.mount_points.end(),
                                         [](const MountPoint& m) { return !m.read_only; })))
            return b.devnode + " is writable";
        if (mode == UsbMode::kReadWrite && b.read_only && b.marked_read_only)
            return b.devnode + " is still read-only";
    }
    return {};
}

// What differs between the record and the kernel: the rules and each attached device.
std::vector<std::string> Drift(const RecordedMode& recorded, const FileText& rules,
                               const std::vector<UsbStorageInterface>& storage) {
    std::vector<std::string> drift;
    const std::optional<UsbMode> in_force = rules.text ? RulesMode(*rules.text) : std::nullopt;
    if (!rules.problem.empty())
        drift.push_back(rules.problem);
    else if (in_force != recorded.mode)
        drift.push_back(std::string("the rules put ") +
                        (in_force ? UsbModeName(*in_force) : "nothing") + " in force");
    for (const UsbStorageInterface& s : storage) {
        if (std::string reason = DeviceDrift(recorded.mode, s); !reason.empty())
            drift.push_back(std::move(reason));
    }
    return drift;
}

int Status(bool json) {
    const std::filesystem::path hive = platform::DefaultMachineHivePath();
    const RecordedMode recorded = ReadRecordedMode(hive);
    const FileText rules = ReadSmallFile(kRulesPath, kLargestStateFile);
    const std::optional<UsbMode> in_force = rules.text ? RulesMode(*rules.text) : std::nullopt;
    // What apply blocked shows as blocked by varnholt-policy, as what the rules blocked does.
    const std::vector<UsbStorageInterface> storage =
        FindUsbStorage(RecordedDevices(kBlockedRecords, InterfaceRecord, false));
    const std::map<std::string, std::string> held_back = HeldBack();
    const auto held_back_why = [&](const UsbStorageInterface& s) {
        const auto found = held_back.find(HeldBackKey(s.syspath));
        return found != held_back.end() ? std::optional(found->second) : std::nullopt;
    };
    const std::vector<std::string> drift = Drift(recorded, rules, storage);
    const int code = !recorded.problem.empty() ? exit_code::kHiveUnusable
                     : drift.empty()           ? exit_code::kDone
                                               : exit_code::kDrift;
    if (json) {
        std::cout << "{\"recorded\":" << Json(UsbModeName(recorded.mode))
                  << ",\"hive\":" << Json(hive.string()) << ",\"hive_problem\":"
                  << (recorded.problem.empty() ? "null" : Json(recorded.problem))
                  << ",\"in_force\":" << (in_force ? Json(UsbModeName(*in_force)) : "null")
                  << ",\"state\":"
                  << Json(code == exit_code::kDone    ? "in-force"
                          : code == exit_code::kDrift ? "drift"
                                                      : "hive-problem")
                  << ",\"exit_status\":" << code << ",\"drift\":[";
        for (std::size_t i = 0; i < drift.size(); ++i)
            std::cout << (i ? "," : "") << Json(drift[i]);
        std::cout << "],\"devices\":[";
        for (std::size_t i = 0; i < storage.size(); ++i) {
            const UsbStorageInterface& s = storage[i];
            const DeviceState state = StateOf(s, in_force);
            std::cout << (i ? "," : "") << "{\"interface\":" << Json(s.name)
                      << ",\"driver\":" << Json(s.driver)
                      << ",\"authorized\":" << Flag(s.authorized)
                      << ",\"holds_system\":" << Flag(s.holds_system)
                      << ",\"state\":" << Json(state.state) << ",\"reason\":" << Json(state.reason)
                      << ",\"held_back\":"
                      << (held_back_why(s) ? Json(*held_back_why(s)) : std::string("null"))
                      << ",\"block_devices\":[";
            for (std::size_t j = 0; j < s.block_devices.size(); ++j) {
                const UsbBlockDevice& b = s.block_devices[j];
                const DeviceState block_state = StateOf(s, b, in_force);
                std::cout << (j ? "," : "") << "{\"devnode\":" << Json(b.devnode)
                          << ",\"read_only\":" << Flag(b.read_only)
                          << ",\"state\":" << Json(block_state.state)
                          << ",\"reason\":" << Json(block_state.reason) << ",\"mounts\":[";
                for (std::size_t k = 0; k < b.mount_points.size(); ++k)
                    std::cout << (k ? "," : "") << "{\"target\":" << Json(b.mount_points[k].target)
                              << ",\"read_only\":" << Flag(b.mount_points[k].read_only) << "}";
                std::cout << "]}";
            }
            std::cout << "],\"generic_nodes\":[";
            for (std::size_t j = 0; j < s.generic_nodes.size(); ++j)
                std::cout << (j ? "," : "") << "{\"devnode\":" << Json(s.generic_nodes[j].devnode)
                          << ",\"root_only\":" << Flag((s.generic_nodes[j].mode & 077) == 0) << "}";
            std::cout << "]}";
        }
        std::cout << "]}\n";
        return code;
    }
    std::cout << "recorded:  " << UsbModeName(recorded.mode) << " (" << hive.string() << ")\n";
    if (!recorded.problem.empty())
        std::cout << "           fail-safe: " << recorded.problem << "\n";
    std::cout << "in force:  " << (in_force ? UsbModeName(*in_force) : "nothing") << " ("
              << kRulesPath << ")\n";
    for (const std::string& reason : drift)
        std::cout << "drift:     " << reason << "\n";
    if (!drift.empty())
        std::cout << "           differs from the record: run varnholt-policy apply\n";
    if (storage.empty())
        std::cout << "no USB storage attached\n";
    for (const UsbStorageInterface& s : storage) {
        const DeviceState state = StateOf(s, in_force);
        std::cout << "USB interface " << s.name << " ("
                  << (s.driver.empty() ? "no driver" : s.driver) << "): " << state.state << " ("
                  << state.reason << ")\n";
        if (const std::optional<std::string> why = held_back_why(s))
            std::cout << "  left in place by the last apply: " << *why << "\n";
        for (const UsbBlockDevice& b : s.block_devices) {
            const DeviceState block_state = StateOf(s, b, in_force);
            std::cout << "  " << b.devnode << ": " << block_state.state << " ("
                      << block_state.reason << ")";
            for (const MountPoint& mount : b.mount_points)
                std::cout << ", mounted " << (mount.read_only ? "ro" : "rw") << " on "
                          << mount.target;
            std::cout << "\n";
        }
        for (const GenericNode& node : s.generic_nodes)
            std::cout << "  " << node.devnode << ": "
                      << ((node.mode & 077) == 0 ? "root only" : "open to users other than root")
                      << "\n";
    }
    return code;
}

// One journal entry for each device given back, blocked or made read-only, tried or done.
void Journal(const std::vector<Change>& changes) {
    for (const Change& change : changes) {
        std::optional<journal::DeviceAction> action;
        switch (change.action) {
            case Action::kBlocked:
                action = journal::DeviceAction::kBlocked;
                break;
            case Action::kMadeReadOnly:
            case Action::kRemountedReadOnly:
            case Action::kReattachedReadOnly:
                action = journal::DeviceAction::kReadOnly;
                break;
            case Action::kUnblocked:
            case Action::kMadeWritable:
                action = journal::DeviceAction::kReleased;
                break;
            case Action::kLeftAlone:
                break;
        }
        if (action)
            journal::DeviceChanged(*action, ActionName(change.action), change.device,
                                   change.problem, false);
    }
}

// The nearest of path and the folders above it that the kernel still shows.
std::filesystem::path Existing(std::filesystem::path path) {
    std::error_code error;
    while (path.has_relative_path() && !std::filesystem::exists(path, error))
        path = path.parent_path();
    return path;
}

// The USB interface at or above path (a block device, an MMC host beneath one).
std::filesystem::path InterfaceAbove(std::filesystem::path path) {
    std::error_code error;
    while (path.has_relative_path() && !std::filesystem::exists(path / "bInterfaceClass", error))
        path = path.parent_path();
    return path;
}

// Run by the rules for a device they stopped as it came (blocked or read-only): the kernel's
// path of it, nothing more; the rest is read here, so that no string a device reports passes
// through a command line. One entry per device: what apply or an earlier event of the same
// plug recorded is not entered again. A device gone meanwhile is entered with what is left.
int RecordPlug(std::string_view action, std::string_view devpath) {
    if ((action != "blocked" && action != "read-only") || !devpath.starts_with("/devices/") ||
        devpath.find("/..") != std::string_view::npos)
        return exit_code::kUsage;
    const std::filesystem::path syspath = "/sys" + std::string(devpath);
    const bool blocked = action == "blocked";
    const std::filesystem::path interface = InterfaceAbove(syspath);
    const std::optional<DeviceRecord> record =
        blocked ? InterfaceRecord(interface) : BlockRecord(syspath);
    if (record && !AddRecord(blocked ? kBlockedRecords : kReadOnlyRecords, *record))
        return exit_code::kDone;
    const std::filesystem::path wanted =
        blocked && interface.has_relative_path() ? interface : syspath;
    DeviceIdentity device = IdentifyDevice(Existing(wanted)).value_or(DeviceIdentity{});
    device.kernel_name = wanted.filename();
    device.syspath = wanted;
    journal::SetRequester({"the rules, as the device was plugged in", "0", "", ""});
    journal::DeviceChanged(
        blocked ? journal::DeviceAction::kBlocked : journal::DeviceAction::kReadOnly,
        std::string(action), device, "", true);
    return exit_code::kDone;
}

// Whether this process runs in one of the policy units' own control groups: only their runs
// are the units', whatever environment another process inherited.
bool RunByPolicyUnit() {
    const std::string cgroup = ReadSmallFile("/proc/self/cgroup", 4096).text.value_or("");
    for (const char* unit : {"/varnholt-policy.service\n", "/varnholt-policy-early.service\n"})
        if (cgroup.ends_with(unit))
            return true;
    return false;
}

// Who asked for what a root command changes, for the journal.
journal::Requester RequesterOf(std::string_view command) {
    journal::Requester requester =
        journal::RequesterOfThisProcess("varnholt-policy " + std::string(command));
    // The units run apply at boot and when the hive changes.
    if (command == "apply" && RunByPolicyUnit())
        requester.description = "the hive changed or the machine started (varnholt-policy.service)";
    return requester;
}

// Records mode, when given, then puts the hive's mode in force.
int SetAndApply(std::optional<UsbMode> mode, std::vector<Change>& changes) {
    const std::filesystem::path hive = platform::DefaultMachineHivePath();
    if (mode) {
        SharedShell().SetFactory([hive] {
            return std::make_unique<platform::HiveRegistry>(hive, std::filesystem::path());
        });
        try {
            ApplyUsbMode(*mode);
        } catch (const Error& error) {
            std::cerr << "varnholt-policy set: " << error.description() << " (error "
                      << error.number() << ", " << error.source() << ")\n";
            return exit_code::kStepFailed;
        }
    }
    return Apply(hive, std::cout, std::cerr, &changes);
}

int Run(const std::vector<std::string_view>& arguments) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::cout << kUsage;
        return exit_code::kDone;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::cout << "varnholt-policy " << VARNHOLT_VERSION << "\n";
        return exit_code::kDone;
    }
    const std::string_view command = arguments.empty() ? "" : arguments[0];
    if (command == "status" && arguments.size() <= 2 &&
        (arguments.size() == 1 || arguments[1] == "--json"))
        return Status(arguments.size() == 2);

    if (command == "plugged" && arguments.size() == 3 && ::geteuid() == 0)
        return RecordPlug(arguments[1], arguments[2]);

    std::optional<UsbMode> mode;
    const bool usable =
        (command == "apply" && arguments.size() == 1) ||
        (command == "reset" && arguments.size() == 1) ||
        (command == "set" && arguments.size() == 2 && (mode = UsbModeFromName(arguments[1])));
    if (!usable) {
        std::cerr << "varnholt-policy: unknown command or mode";
        for (const std::string_view argument : arguments)
            std::cerr << " '" << Printable(argument) << "'";
        std::cerr << "\n" << kUsage;
        return exit_code::kUsage;
    }
    if (::geteuid() != 0) {
        std::cerr << "varnholt-policy " << command
                  << ": only root may change the mode (try sudo)\n";
        return exit_code::kNotRoot;
    }
    // What root creates is never writable by others, whatever umask the caller left.
    ::umask(022);
    journal::SetRequester(RequesterOf(command));
    std::vector<Change> changes;
    const int code =
        command == "reset" ? Reset(std::cout, std::cerr, &changes) : SetAndApply(mode, changes);
    Journal(changes);
    return code;
}

}  // namespace
}  // namespace varnholt::enforce

int main(int argc, char** argv) {
    return varnholt::enforce::Run(std::vector<std::string_view>(argv + 1, argv + argc));
}
