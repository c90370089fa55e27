#pragma once

#include <string>
#include <vector>

namespace varnholt::platform {

// Runs a program (a name is looked up on PATH) and waits for it. Returns its exit status,
// 128 + the signal that ended it, or -1 with errno set when it could not be started.
// quiet sends its standard output to /dev/null.
int RunProgram(std::vector<std::string> arguments, bool quiet = false);

}  // namespace varnholt::platform
