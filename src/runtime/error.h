// Failures travel as raised errors carrying a number, a source and a description.
// The number keeps the platform component's own code where it has one (HRESULTs such as
// 0x80070002 are stored as their signed 32-bit value), so reports read alike on every build.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace varnholt {

class Error : public std::runtime_error {
  public:
    Error(std::int32_t number, std::string source, std::string description);

    std::int32_t number() const noexcept { return number_; }
    const std::string& source() const noexcept { return source_; }
    const std::string& description() const noexcept { return description_; }

  private:
    std::int32_t number_;
    std::string source_;
    std::string description_;
};

// HRESULT-style constants are written in hex; this keeps them as the signed numbers errors carry.
constexpr std::int32_t ErrorNumber(std::uint32_t code) noexcept {
    return static_cast<std::int32_t>(code);
}

// Runtime error numbers shared by every build.
namespace runtime_error_number {
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kDeviceIoError = 57;
inline constexpr std::int32_t kInputPastEndOfFile = 62;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccessError = 75;
inline constexpr std::int32_t kResourceNotFound = 326;
inline constexpr std::int32_t kInvalidPicture = 481;
}  // namespace runtime_error_number

[[noreturn]] void Raise(std::int32_t number, std::string source, std::string description);

// Raises one of the runtime errors above with the runtime's own description of it.
[[noreturn]] void RaiseRuntimeError(std::int32_t number);

// The text of the report for an error nobody trapped: its number, in signed decimal and,
// where it is an HRESULT-style code, in hex as well, then its description.
std::string FormatErrorReport(const Error& error);

}  // namespace varnholt
