#include "platform/linux/qt/elevation.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/linux/machine_writer/machine_writer.h"
#include "platform/linux/qt/accessibility.h"
#include "platform/linux/run_program.h"

namespace varnholt::platform::qt {
namespace {

// pkexec's own statuses: the prompt was refused or dismissed (126), or no one could
// authenticate at all (127).
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecCannotAuthenticate = 127;
constexpr std::size_t kHeldBackAtMost = 64 * 1024;

// Installed, the helper is in libexec beside the program's bin; in the build folder, beside it.
std::filesystem::path MachineWriterPath(const std::filesystem::path& self) {
    const std::filesystem::path installed =
        self.parent_path().parent_path() / "libexec" / "varnholt" / "varnholt-machine-writer";
    std::error_code error;
    if (std::filesystem::exists(installed, error))
        return installed;
    return self.parent_path() / "varnholt-machine-writer";
}

// The first line with text in it, for a one-line message.
std::string FirstLine(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return {};
    return text.substr(start, text.find('\n', start) - start);
}

// Runs pkexec with the helper on one end of a socket (its standard input and output) and its
// standard error held back; returns once the helper says it runs, or pkexec has ended.
struct HelperStart {
    pid_t pid = -1;
    int start_error = 0;
    int helper = -1;  // set once the helper runs
    std::string held_back;
};

HelperStart StartHelper(const std::filesystem::path& helper) {
    HelperStart start;
    int talk[2], errors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, talk) != 0) {
        start.start_error = errno;
        return start;
    }
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        start.start_error = errno;
        ::close(talk[0]);
        ::close(talk[1]);
        return start;
    }
    start.pid = StartProgram({"pkexec", helper.string()}, false, errors[1], talk[1]);
    start.start_error = errno;
    ::close(talk[1]);
    ::close(errors[1]);
    if (start.pid < 0) {
        ::close(talk[0]);
        ::close(errors[0]);
        return start;
    }
    std::string line;
    bool talking = true, erring = true;
    while (talking) {
        pollfd fds[] = {{talk[0], POLLIN, 0}, {erring ? errors[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char buffer[4096];
        if (fds[1].revents != 0) {
            const ssize_t count = ::read(errors[0], buffer, sizeof buffer);
            if (count <= 0)
                erring = false;
            else if (start.held_back.size() < kHeldBackAtMost)
                start.held_back.append(buffer, static_cast<std::size_t>(count));
        }
        if (fds[0].revents != 0) {
            char c = 0;
            if (::read(talk[0], &c, 1) != 1)
                talking = false;
            else if (c != '\n' && line.size() < kHeldBackAtMost)
                line += c;
            else if (c == '\n' && line == kWriterReady)
                break;
            else if (c == '\n')
                line.clear();
        }
    }
    ::close(errors[0]);
    if (talking)
        start.helper = talk[0];
    else
        ::close(talk[0]);
    return start;
}

}  // namespace

Elevation Elevate() {
    if (geteuid() == 0) {
        UseOnlyRootsOwnBuses();
        return {};
    }

    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "varnholt: cannot find this program's own file: %s\n",
                     error.message().c_str());
        return {1};
    }
    HelperStart start = StartHelper(MachineWriterPath(self));
    if (start.pid < 0) {
        std::fprintf(stderr, "varnholt: cannot start pkexec to ask for administrator rights: %s\n",
                     std::strerror(start.start_error));
        return {kPkexecCannotAuthenticate};
    }
    if (start.helper >= 0) {
        LeaveOutASilentAccessibilityService();
        return {std::nullopt, start.helper};  // reaped by no one: it ends with this process
    }

    const int code = WaitForProgram(start.pid);
    if (code == kPkexecNotAuthorized || code == kPkexecCannotAuthenticate) {
        const std::string reason = FirstLine(start.held_back);
        std::fprintf(stderr,
                     "varnholt: administrator rights were not granted%s%s%s; Varnholt needs them "
                     "to change the machine's policy\n",
                     reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
        return {code};
    }
    std::fprintf(stderr, "varnholt: the administrator's helper did not start (status %d)%s%s\n",
                 code, start.held_back.empty() ? "" : ": ", FirstLine(start.held_back).c_str());
    return {code == 0 ? 1 : code};
}

}  // namespace varnholt::platform::qt
