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
