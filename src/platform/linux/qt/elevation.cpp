#include "platform/linux/qt/elevation.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

// One read, again when a signal interrupts it.
ssize_t ReadRetrying(int fd, char* buffer, std::size_t size) {
    ssize_t count = 0;
    while ((count = ::read(fd, buffer, size)) < 0 && errno == EINTR) {
    }
    return count;
}

// Root's way into the display belongs to a watcher process of its own, which lets root in and
// takes that back once this process has ended, however it ended: the pipe it waits on closes
// with this process's last descriptor, SIGKILL included. In a session of its own it outlives
// a closed terminal too.
class DisplayGrant {
  public:
    DisplayGrant() {
        int alive[2], granted[2];
        if (::pipe2(alive, O_CLOEXEC) != 0)
            return;
        if (::pipe2(granted, O_CLOEXEC) != 0) {
            ::close(alive[0]);
            ::close(alive[1]);
            return;
        }
        watcher_ = ::fork();
        if (watcher_ == 0) {
            ::close(alive[1]);
            ::close(granted[0]);
            ::setsid();
            std::signal(SIGHUP, SIG_IGN);
            std::signal(SIGINT, SIG_IGN);
            std::signal(SIGTERM, SIG_IGN);
            RunProgram({"xhost", std::string("+") + kRootDisplayGrant}, true);
            ::close(granted[1]);
            char ignored = 0;
            ReadRetrying(alive[0], &ignored, 1);
            RunProgram({"xhost", std::string("-") + kRootDisplayGrant}, true);
            ::_exit(0);
        }
        ::close(alive[0]);
        ::close(granted[1]);
        alive_ = alive[1];
        if (watcher_ > 0) {
            char ignored = 0;
            ReadRetrying(granted[0], &ignored, 1);
        }
        ::close(granted[0]);
    }
    DisplayGrant(const DisplayGrant&) = delete;
    DisplayGrant& operator=(const DisplayGrant&) = delete;
    ~DisplayGrant() {
        ::close(alive_);
        int ignored = 0;
        if (watcher_ > 0)
            while (::waitpid(watcher_, &ignored, 0) < 0 && errno == EINTR) {
            }
    }

  private:
    pid_t watcher_ = -1;
    int alive_ = -1;
};

// Runs pkexec with its standard error held back until it ends: on a refusal pkexec's own words
// become part of our one line; otherwise all of it, the elevated program's, is passed on then,
// or as it comes once there is more than a refusal ever says.
struct PkexecRun {
    int status = -1;
    int start_error = 0;
    std::string held_back;
};

PkexecRun RunPkexec(std::vector<std::string> command) {
    constexpr std::size_t kHeldBackAtMost = 64 * 1024;
    PkexecRun run;
    int errors[2];
    if (::pipe2(errors, O_CLOEXEC) != 0) {
        run.start_error = errno;
        return run;
    }
    const pid_t child = StartProgram(std::move(command), false, errors[1]);
    run.start_error = errno;
    ::close(errors[1]);
    char buffer[4096];
    bool passing_on = false;
    for (ssize_t count;
         child > 0 && (count = ReadRetrying(errors[0], buffer, sizeof buffer)) > 0;) {
        if (passing_on) {
            [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, buffer, count);
            continue;
        }
        run.held_back.append(buffer, static_cast<std::size_t>(count));
        if (run.held_back.size() > kHeldBackAtMost) {
            passing_on = true;
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, run.held_back.data(), run.held_back.size());
            run.held_back.clear();
        }
    }
    ::close(errors[0]);
    if (child > 0)
        run.status = WaitForProgram(child);
    return run;
}

// The first line with text in it, for a one-line message.
std::string FirstLine(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return {};
    return text.substr(start, text.find('\n', start) - start);
}

}  // namespace

std::optional<int> RunAsRootThroughPkexec() {
    if (geteuid() == 0) {
        // Started through pkexec, our standard error is relayed by the starting user's process:
        // if that has gone, a write there must not end this one.
        if (std::getenv("PKEXEC_UID") != nullptr)
            std::signal(SIGPIPE, SIG_IGN);
        return std::nullopt;
    }

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
    std::optional<DisplayGrant> grant;
    if (grant_display)
        grant.emplace();

    std::vector<std::string> command{"pkexec", self.string()};
    if (const std::optional<std::string> bus = AccessibilityBusAddress())
        command.push_back(kAccessibilityBusOption + *bus);
    const PkexecRun run = RunPkexec(std::move(command));
    grant.reset();

    if (run.status < 0) {
        std::fprintf(stderr, "varnholt: cannot start pkexec to ask for administrator rights: %s\n",
                     std::strerror(run.start_error));
        return kPkexecCannotAuthenticate;
    }
    if (run.status == kPkexecNotAuthorized || run.status == kPkexecCannotAuthenticate) {
        const std::string reason = FirstLine(run.held_back);
        std::fprintf(stderr,
                     "varnholt: administrator rights were not granted%s%s%s; Varnholt needs them "
                     "to change the machine's policy\n",
                     reason.empty() ? "" : " (", reason.c_str(), reason.empty() ? "" : ")");
    } else {
        std::fwrite(run.held_back.data(), 1, run.held_back.size(), stderr);
    }
    return run.status;
}

}  // namespace varnholt::platform::qt
