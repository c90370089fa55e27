// The two machine values the main window writes, carried between the window (as the user) and
// a root helper that writes them and nothing else. One request is one line, "start 3" or
// "write-protect 1"; one answer is "ok" or the store's error with its number, source and
// description, tab-separated on one line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "policy/registry_shell.h"

namespace varnholt::platform {

// The helper says this once it runs as root, before reading any request.
inline constexpr std::string_view kWriterReady = "ready";
// The source of a refused request's error.
inline constexpr const char* kWriterSource = "varnholt-machine-writer";

struct MachineWrite {
    const char* value_name;  // the registry value's full name
    std::int32_t number;
};

// The request for a write of `value_name`, or nullopt for any value or number not among the
// two the modes use.
std::optional<std::string> WriteRequest(std::string_view value_name, std::int32_t number);
// The write a request line asks for (without its newline), or nullopt when it is anything else.
std::optional<MachineWrite> ParseWriteRequest(std::string_view line);

// Answers requests read from `in` on `out`, one at a time, writing through `machine`. Returns 0
// when `in` ends between requests; 2 after refusing a request (its answer is sent, nothing is
// written and nothing more is read) or when `in` ends mid-request or `out` is gone.
int ServeWriteRequests(int in, int out, RegistryShell& machine);

// The window's side: the shell of this process, with writes of the two machine values sent to
// the helper over `helper` (a socket), and answered there. Every other write and every read go
// to `local`. A refusal or a helper that has gone is raised as a failed write.
std::unique_ptr<RegistryShell> MachineWritesThroughHelper(std::unique_ptr<RegistryShell> local,
                                                          int helper);

}  // namespace varnholt::platform
