// File access over the POSIX file API, with 64-bit sizes. Only regular files are opened:
// a directory, a pipe or a device has no length to read up to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "auth/file_access.h"
#include "runtime/error.h"

namespace varnholt::platform {
namespace {

namespace n = runtime_error_number;

[[noreturn]] void RaiseOpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            RaiseRuntimeError(n::kFileNotFound);
        case EACCES:
        case EPERM:
            RaiseRuntimeError(n::kPermissionDenied);
        default:
            RaiseRuntimeError(n::kPathFileAccessError);
    }
}

class PosixOpenFile final : public OpenFile {
  public:
    PosixOpenFile() = default;
    ~PosixOpenFile() override {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }

    PosixOpenFile(const PosixOpenFile&) = delete;
    PosixOpenFile& operator=(const PosixOpenFile&) = delete;

    void Open(const std::string& path) {
        if (path.find('\0') != std::string::npos) {
            RaiseRuntimeError(n::kFileNotFound);  // the system would see a shorter name
        }
        do {
            // Non-blocking so opening a pipe cannot wait for a writer.
            descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        } while (descriptor_ < 0 && errno == EINTR);
        if (descriptor_ < 0) {
            RaiseOpenError(errno);
        }
        struct stat attributes {};
        if (::fstat(descriptor_, &attributes) != 0 || !S_ISREG(attributes.st_mode) ||
            ::fcntl(descriptor_, F_SETFL, 0) != 0) {
            RaiseRuntimeError(n::kPathFileAccessError);
        }
        length_ = static_cast<std::uint64_t>(attributes.st_size);
        // The whole file is read once from start to end.
        ::posix_fadvise(descriptor_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    std::uint64_t Length() override { return length_; }

    void Read(std::uint8_t* buffer, std::size_t count) override {
        while (count > 0) {
            const ssize_t got = ::read(descriptor_, buffer, count);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                RaiseRuntimeError(n::kDeviceIoError);
            }
            if (got == 0) {
                RaiseRuntimeError(n::kInputPastEndOfFile);
            }
            buffer += got;
            count -= static_cast<std::size_t>(got);
        }
    }

  private:
    int descriptor_ = -1;
    std::uint64_t length_ = 0;
};

class PosixFileAccess final : public FileAccess {
  public:
    bool AttributesReadable(const std::string& path) noexcept override {
        struct stat attributes {};
        return path.find('\0') == std::string::npos && ::stat(path.c_str(), &attributes) == 0;
    }

    std::unique_ptr<OpenFile> OpenReadOnly(const std::string& path) override {
        auto file = std::make_unique<PosixOpenFile>();
        file->Open(path);
        return file;
    }
};

}  // namespace

std::unique_ptr<FileAccess> CreateFileAccess() {
    return std::make_unique<PosixFileAccess>();
}

}  // namespace varnholt::platform
