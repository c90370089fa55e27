// Writing the machine hive needs root, and nothing else does: an ordinary user's windows run
// as that user, and at start the system's administrator prompt is asked to run the small root
// helper that writes the two machine values, as the Windows build asks for elevation before
// it starts.
#pragma once

#include <optional>

namespace varnholt::platform::qt {

struct Elevation {
    // Set when the program is to end at once with this status, and no window opens.
    std::optional<int> end_status;
    // The helper's end of the conversation (a socket), or -1 when this process writes itself.
    int machine_writer = -1;
};

// As root: this process writes the hive itself; its buses are then only root's own. Otherwise
// starts the helper through pkexec and waits until it runs; a refused or cancelled prompt is
// one line on standard error and a non-zero status. The helper lives as long as this process.
Elevation Elevate();

}  // namespace varnholt::platform::qt
