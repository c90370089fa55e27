// File access for hashing a whole file: an existence test, a read-only open, the length and
// sequential reads, all with 64-bit sizes. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varnholt {

class OpenFile {
  public:
    virtual ~OpenFile() = default;  // closes the file

    virtual std::uint64_t Length() = 0;
    // Reads exactly count bytes at the current position, or raises the runtime's file error.
    virtual void Read(std::uint8_t* buffer, std::size_t count) = 0;
};

class FileAccess {
  public:
    virtual ~FileAccess() = default;

    // True when the name's attributes can be read: any existing file or directory.
    virtual bool AttributesReadable(const std::string& path) noexcept = 0;
    // Opens for reading only, as raw bytes; raises the runtime's file error on failure.
    virtual std::unique_ptr<OpenFile> OpenReadOnly(const std::string& path) = 0;
};

// The platform's file access, defined by each platform under src/platform/.
namespace platform {
std::unique_ptr<FileAccess> CreateFileAccess();
}  // namespace platform

}  // namespace varnholt
