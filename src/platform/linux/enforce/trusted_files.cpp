#include "platform/linux/enforce/trusted_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace varnholt::enforce {

FileText ReadSmallFile(const std::filesystem::path& path, std::size_t limit) {
    const int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        if (errno == ENOENT)
            return {};
        return {std::nullopt, path.string() + ": " +
                                  (errno == ELOOP ? "is a symbolic link" : std::strerror(errno))};
    }
    FileText read;
    struct stat status {};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        read.problem = path.string() + ": is not a regular file";
    } else {
        // One byte beyond the limit tells a file too large from one just at it.
        std::string bytes(limit + 1, '\0');
        std::size_t total = 0;
        ssize_t count = 0;
        while (total < bytes.size()) {
            count = ::read(file, bytes.data() + total, bytes.size() - total);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            total += static_cast<std::size_t>(count);
        }
        if (count < 0)
            read.problem = path.string() + ": " + std::strerror(errno);
        else if (total > limit)
            read.problem = path.string() + ": larger than " + std::to_string(limit) + " bytes";
        else
            read.text = bytes.substr(0, total);
    }
    ::close(file);
    return read;
}

std::string ReplaceableBy(const std::filesystem::path& path, uid_t owner) {
    const std::filesystem::path absolute = std::filesystem::absolute(path);
    for (std::filesystem::path at = absolute;; at = at.parent_path()) {
        struct stat status {};
        if (::lstat(at.c_str(), &status) != 0) {
            if (errno != ENOENT)
                return at.string() + ": " + std::strerror(errno);
        } else if (S_ISLNK(status.st_mode)) {
            return at.string() + " is a symbolic link";
        } else if (status.st_uid != owner && status.st_uid != 0) {
            return at.string() + " belongs to uid " + std::to_string(status.st_uid);
        } else if ((status.st_mode & S_IWOTH) != 0 ||
                   ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0)) {
            // Others may not rename over a root entry in a sticky folder such as /tmp.
            if (at == absolute || (status.st_mode & S_ISVTX) == 0)
                return at.string() + " is writable by users other than its owner";
        }
        if (at == at.parent_path())
            return {};
    }
}

std::string PrepareOwnFolder(const std::filesystem::path& folder, uid_t owner) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return folder.string() + ": " + std::strerror(errno);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return folder.string() + " is not a folder";
    return ReplaceableBy(folder, owner);
}

}  // namespace varnholt::enforce
