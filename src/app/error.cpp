#include "app/error.h"

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
    const char* description = "Application-defined or object-defined error";
    switch (number) {
        case n::kSubscriptOutOfRange:
            description = "Subscript out of range";
            break;
        case n::kFileNotFound:
            description = "File not found";
            break;
        case n::kDeviceIoError:
            description = "Device I/O error";
            break;
        case n::kInputPastEndOfFile:
            description = "Input past end of file";
            break;
        case n::kPermissionDenied:
            description = "Permission denied";
            break;
        case n::kPathFileAccessError:
            description = "Path/File access error";
            break;
        default:
            break;
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
