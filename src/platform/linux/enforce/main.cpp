// varnholt-policy: shows the USB storage mode and brings the kernel into line with the
// machine hive, the one record of it.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/enforce/enforce.h"
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
    "\n"
    "Exit status: 0 done, 1 a step failed, 2 wrong usage, 3 the hive is missing or damaged\n"
    "(storage is then disabled), 4 not run as root.\n";

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

const char* Flag(bool value) {
    return value ? "true" : "false";
}

int Status(bool json) {
    const std::filesystem::path hive = platform::DefaultMachineHivePath();
    const RecordedMode recorded = ReadRecordedMode(hive);
    const std::optional<UsbMode> in_force = ModeInForce();
    const std::vector<UsbStorageInterface> storage = FindUsbStorage();
    if (json) {
        std::cout << "{\"recorded\":" << Json(UsbModeName(recorded.mode))
                  << ",\"hive\":" << Json(hive.string()) << ",\"hive_problem\":"
                  << (recorded.problem.empty() ? "null" : Json(recorded.problem))
                  << ",\"in_force\":" << (in_force ? Json(UsbModeName(*in_force)) : "null")
                  << ",\"devices\":[";
        for (std::size_t i = 0; i < storage.size(); ++i) {
            const UsbStorageInterface& s = storage[i];
            const DeviceState state = StateOf(s, in_force);
            std::cout << (i ? "," : "") << "{\"interface\":" << Json(s.name)
                      << ",\"driver\":" << Json(s.driver)
                      << ",\"authorized\":" << Flag(s.authorized)
                      << ",\"holds_system\":" << Flag(s.holds_system)
                      << ",\"state\":" << Json(state.state) << ",\"reason\":" << Json(state.reason)
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
            std::cout << "]}";
        }
        std::cout << "]}\n";
        return exit_code::kDone;
    }
    std::cout << "recorded:  " << UsbModeName(recorded.mode) << " (" << hive.string() << ")\n";
    if (!recorded.problem.empty())
        std::cout << "           fail-safe: " << recorded.problem << "\n";
    std::cout << "in force:  " << (in_force ? UsbModeName(*in_force) : "nothing") << " ("
              << kRulesPath << ")\n";
    if (in_force && *in_force != recorded.mode)
        std::cout << "           differs from the record: run varnholt-policy apply\n";
    if (storage.empty())
        std::cout << "no USB storage attached\n";
    for (const UsbStorageInterface& s : storage) {
        const DeviceState state = StateOf(s, in_force);
        std::cout << "USB interface " << s.name << " ("
                  << (s.driver.empty() ? "no driver" : s.driver) << "): " << state.state << " ("
                  << state.reason << ")\n";
        for (const UsbBlockDevice& b : s.block_devices) {
            const DeviceState block_state = StateOf(s, b, in_force);
            std::cout << "  " << b.devnode << ": " << block_state.state << " ("
                      << block_state.reason << ")";
            for (const MountPoint& mount : b.mount_points)
                std::cout << ", mounted " << (mount.read_only ? "ro" : "rw") << " on "
                          << mount.target;
            std::cout << "\n";
        }
    }
    return exit_code::kDone;
}

int Run(const std::vector<std::string_view>& arguments) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::cout << kUsage;
        return exit_code::kDone;
    }
    const std::string_view command = arguments.empty() ? "" : arguments[0];
    if (command == "status" && arguments.size() <= 2 &&
        (arguments.size() == 1 || arguments[1] == "--json"))
        return Status(arguments.size() == 2);

    std::optional<UsbMode> mode;
    const bool usable =
        (command == "apply" && arguments.size() == 1) ||
        (command == "reset" && arguments.size() == 1) ||
        (command == "set" && arguments.size() == 2 && (mode = UsbModeFromName(arguments[1])));
    if (!usable) {
        std::cerr << "varnholt-policy: unknown command or mode";
        for (const std::string_view argument : arguments)
            std::cerr << " '" << argument << "'";
        std::cerr << "\n" << kUsage;
        return exit_code::kUsage;
    }
    if (::geteuid() != 0) {
        std::cerr << "varnholt-policy " << command
                  << ": only root may change the mode (try sudo)\n";
        return exit_code::kNotRoot;
    }
    const std::filesystem::path hive = platform::DefaultMachineHivePath();
    if (command == "reset")
        return Reset(std::cout, std::cerr);
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
    return Apply(hive, std::cout, std::cerr);
}

}  // namespace
}  // namespace varnholt::enforce

int main(int argc, char** argv) {
    return varnholt::enforce::Run(std::vector<std::string_view>(argv + 1, argv + argc));
}
