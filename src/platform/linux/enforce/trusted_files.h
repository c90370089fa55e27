// Files and folders root acts on, read and checked so that no other user can steer it: no link
// is followed at a file's name, no FIFO or device is read, nothing is read without a limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace varnholt::enforce {

// The rules and the list of blocked interfaces are a few hundred bytes; the hive has its own
// limit.
inline constexpr std::size_t kLargestStateFile = 64 * 1024;

struct FileText {
    std::optional<std::string> text;  // nullopt when missing or refused
    std::string problem;              // why it was refused; empty when read or missing
};

// A regular file's bytes, opened without following a link at its name and without blocking.
FileText ReadSmallFile(const std::filesystem::path& path, std::size_t limit);

// Why a user other than owner (or root) could replace path: it, or a folder above it, is a
// link, is not theirs, or is writable by others (a sticky folder excepted). Empty when none
// could; a missing path is checked through its folders.
std::string ReplaceableBy(const std::filesystem::path& path, uid_t owner);

// Creates folder 0755 when missing and checks it is a folder only owner can change; returns
// why not.
std::string PrepareOwnFolder(const std::filesystem::path& folder, uid_t owner);

}  // namespace varnholt::enforce
