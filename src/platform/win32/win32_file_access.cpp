// File access over the Win32 file API, with 64-bit sizes. Only disk files are read: a
// directory, a console, a pipe or a device has no length to read up to.
#include <windows.h>

#include <algorithm>
#include <memory>

#include "auth/file_access.h"
#include "platform/win32/win32_text.h"
#include "runtime/error.h"

namespace varnholt::platform {
namespace {

namespace n = runtime_error_number;

// A name the system would read differently than given (not UTF-8, or cut short by a NUL).
std::optional<std::wstring> SystemName(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return Widen(path);
}

[[noreturn]] void RaiseOpenError(DWORD error, const std::wstring& name) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
            RaiseRuntimeError(n::kFileNotFound);
        case ERROR_ACCESS_DENIED: {
            // A directory cannot be opened as a file: that is no matter of rights.
            const DWORD attributes = GetFileAttributesW(name.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                RaiseRuntimeError(n::kPathFileAccessError);
            }
            RaiseRuntimeError(n::kPermissionDenied);
        }
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            RaiseRuntimeError(n::kPermissionDenied);
        default:
            RaiseRuntimeError(n::kPathFileAccessError);
    }
}

class Win32OpenFile final : public OpenFile {
  public:
    explicit Win32OpenFile(HANDLE handle) : handle_(handle) {}
    ~Win32OpenFile() override { CloseHandle(handle_); }

    Win32OpenFile(const Win32OpenFile&) = delete;
    Win32OpenFile& operator=(const Win32OpenFile&) = delete;

    std::uint64_t Length() override {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(handle_, &size) || size.QuadPart < 0) {
            RaiseRuntimeError(n::kDeviceIoError);
        }
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    void Read(std::uint8_t* buffer, std::size_t count) override {
        while (count > 0) {
            const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(handle_, buffer, wanted, &got, nullptr)) {
                RaiseRuntimeError(n::kDeviceIoError);
            }
            if (got == 0) {
                RaiseRuntimeError(n::kInputPastEndOfFile);
            }
            buffer += got;
            count -= got;
        }
    }

  private:
    HANDLE handle_;
};

class Win32FileAccess final : public FileAccess {
  public:
    bool AttributesReadable(const std::string& path) noexcept override {
        try {
            const std::optional<std::wstring> name = SystemName(path);
            return name && GetFileAttributesW(name->c_str()) != INVALID_FILE_ATTRIBUTES;
        } catch (...) {
            return false;  // out of memory while converting the name
        }
    }

    std::unique_ptr<OpenFile> OpenReadOnly(const std::string& path) override {
        const std::optional<std::wstring> name = SystemName(path);
        if (!name) {
            RaiseRuntimeError(n::kFileNotFound);
        }
        // Others may go on reading and writing; a process that denies reading makes this fail.
        const HANDLE handle =
            CreateFileW(name->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            RaiseOpenError(GetLastError(), *name);
        }
        auto file = std::make_unique<Win32OpenFile>(handle);
        if (GetFileType(handle) != FILE_TYPE_DISK) {
            RaiseRuntimeError(n::kPathFileAccessError);
        }
        return file;
    }
};

}  // namespace

std::unique_ptr<FileAccess> CreateFileAccess() {
    return std::make_unique<Win32FileAccess>();
}

}  // namespace varnholt::platform
