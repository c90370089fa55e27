#include "platform/linux/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace varnholt::platform {

pid_t StartProgram(std::vector<std::string> arguments, bool quiet, int stderr_fd, int talk_fd) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (stderr_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderr_fd, STDERR_FILENO);
    if (talk_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, talk_fd, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, talk_fd, STDOUT_FILENO);
    }
    pid_t child = 0;
    const int error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return child;
}

int WaitForProgram(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int RunProgram(std::vector<std::string> arguments, bool quiet) {
    const pid_t child = StartProgram(std::move(arguments), quiet);
    return child < 0 ? -1 : WaitForProgram(child);
}

}  // namespace varnholt::platform
