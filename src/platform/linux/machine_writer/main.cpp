// varnholt-machine-writer: started as root through pkexec by the window of an ordinary user,
// it writes the two USB storage values of the machine hive when asked, and nothing else. It
// takes no arguments and keeps no state; it ends when the window's end of its input closes.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "platform/linux/hive_registry.h"
#include "platform/linux/machine_writer/machine_writer.h"

int main(int argc, char**) {
    using namespace varnholt::platform;
    if (argc != 1) {
        std::fprintf(stderr, "varnholt-machine-writer: takes no arguments\n");
        return 2;
    }
    // A window that has gone must not end this process mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    // No user hive: no request names one.
    HiveRegistry machine(DefaultMachineHivePath(), {});
    const std::string ready = std::string(kWriterReady) + '\n';
    if (::write(STDOUT_FILENO, ready.data(), ready.size()) != static_cast<ssize_t>(ready.size()))
        return 2;
    return ServeWriteRequests(STDIN_FILENO, STDOUT_FILENO, machine);
}
