#include "runtime/error.h"

#include <cstdio>
#include <utility>

namespace varnholt {

Error::Error(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

void Raise(std::int32_t number, std::string source, std::string description) {
    throw Error(number, std::move(source), std::move(description));
}

void RaiseRuntimeError(std::int32_t number) {
    namespace n = runtime_error_number;
    static constexpr struct {
        std::int32_t number;
        const char* description;
    } kDescriptions[] = {
        {n::kSubscriptOutOfRange, "Subscript out of range"},
        {n::kFileNotFound, "File not found"},
        {n::kDeviceIoError, "Device I/O error"},
        {n::kInputPastEndOfFile, "Input past end of file"},
        {n::kPermissionDenied, "Permission denied"},
        {n::kPathFileAccessError, "Path/File access error"},
    };
    const char* description = "Application-defined or object-defined error";
    for (const auto& known : kDescriptions) {
        if (known.number == number)
            description = known.description;
    }
    Raise(number, "Varnholt", description);
}

std::string FormatErrorReport(const Error& error) {
    std::string number = std::to_string(error.number());
    if (error.number() < 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<std::uint32_t>(error.number()));
        number += " (0x";
        number += hex;
        number += ")";
    }
    return "Run-time error '" + number + "':\n\n" + error.description();
}

}  // namespace varnholt
