#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace varnholt::platform {

// Runs a program (a name is looked up on PATH) and waits for it. Returns its exit status,
// 128 + the signal that ended it, or -1 with errno set when it could not be started.
// quiet sends its standard output to /dev/null.
int RunProgram(std::vector<std::string> arguments, bool quiet = false);

// RunProgram in two halves. stderr_fd, when not -1, becomes the program's standard error;
// talk_fd, when not -1, its standard input and output. StartProgram returns the process id,
// or -1 with errno set.
pid_t StartProgram(std::vector<std::string> arguments, bool quiet = false, int stderr_fd = -1,
                   int talk_fd = -1);
int WaitForProgram(pid_t child);

}  // namespace varnholt::platform
