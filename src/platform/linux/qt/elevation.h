// Writing the machine hive needs root, so an ordinary user's start asks the system's
// administrator prompt to run the program again as root, as the Windows build asks for
// elevation before it starts.
#pragma once

#include <optional>

namespace varnholt::platform::qt {

// As root: nullopt, and the program goes on. Otherwise runs this program through pkexec,
// waits for it and gives the status to end with; a refused or cancelled prompt is one line
// on standard error and a non-zero status, and no window opens.
std::optional<int> RunAsRootThroughPkexec();

}  // namespace varnholt::platform::qt
