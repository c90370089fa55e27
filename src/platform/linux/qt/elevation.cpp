#include "platform/linux/qt/elevation.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/qt/accessibility.h"
#include "platform/linux/run_program.h"

namespace varnholt::platform::qt {
namespace {

// pkexec's own statuses: the prompt was refused or dismissed (126), or no one could
// authenticate at all (127).
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAuthenticate = 127;

constexpr const char* kRootDisplayGrant = "SI:localuser:root";

// Whether the X server already lets root in, by the user's own choice; then that grant is
// theirs and stays.
bool DisplayAlreadyGrantsRoot() {
    FILE* list = popen("xhost 2>/dev/null", "r");
    if (list == nullptr)
        return false;
    bool granted = false;
    char line[256];
    while (std::fgets(line, sizeof line, list) != nullptr) {
        granted =
            granted || std::strncmp(line, kRootDisplayGrant, std::strlen(kRootDisplayGrant)) == 0;
    }
    pclose(list);
    return granted;
}

}  // namespace

std::optional<int> RunAsRootThroughPkexec() {
    if (geteuid() == 0)
        return std::nullopt;

    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "varnholt: cannot find this program's own file: %s\n",
                     error.message().c_str());
        return 1;
    }

    // On Wayland a root program reaches the display only through XWayland, which refuses
    // other users: let root in for this run alone.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool grant_display =
        wayland != nullptr && *wayland != '\0' && !DisplayAlreadyGrantsRoot();
    if (grant_display)
        RunProgram({"xhost", std::string("+") + kRootDisplayGrant}, true);

    std::vector<std::string> command{"pkexec", self.string()};
    if (const std::optional<std::string> bus = AccessibilityBusAddress())
        command.push_back(kAccessibilityBusOption + *bus);
    const int status = RunProgram(command, false);
    const int start_error = errno;

    if (grant_display)
        RunProgram({"xhost", std::string("-") + kRootDisplayGrant}, true);

    if (status < 0) {
        std::fprintf(stderr, "varnholt: cannot start pkexec to ask for administrator rights: %s\n",
                     std::strerror(start_error));
        return kPkexecCannotAuthenticate;
    }
    if (status == kPkexecNotAuthorized || status == kPkexecCannotAuthenticate) {
        std::fprintf(stderr,
                     "varnholt: administrator rights were not granted; Varnholt needs them to "
                     "change the machine's policy\n");
    }
    return status;
}

}  // namespace varnholt::platform::qt
