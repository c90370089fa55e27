#include "policy/usb_policy.h"

#include <charconv>
#include <exception>
#include <optional>
#include <string>
#include <variant>

#include "policy/registry_shell.h"
#include "runtime/text.h"

namespace varnholt {
namespace {

constexpr std::string_view kDwordType = "REG_DWORD";

// The numbers are 16-bit on their way to the shell; the registry keeps them as DWORDs.
struct ModeNumbers {
    std::int16_t start;
    std::int16_t write_protect;
};

constexpr std::int16_t kStartOnDemand = 3;
constexpr std::int16_t kStartDisabled = 4;
constexpr std::int16_t kWriteProtected = 1;

ModeNumbers NumbersOf(UsbMode mode) {
    switch (mode) {
        case UsbMode::kDisable:
            return {kStartDisabled, kWriteProtected};
        case UsbMode::kReadOnly:
            return {kStartOnDemand, kWriteProtected};
        case UsbMode::kReadWrite:
            break;
    }
    return {kStartOnDemand, 0};
}

void WriteNumber(const char* name, std::int16_t number) {
    SharedShell().Get().RegWrite(name, RegValue(std::int32_t{number}), kDwordType);
}

// The value's text form, a DWORD as its decimal digits; nullopt when the read fails.
std::optional<std::string> ReadText(const char* name) {
    try {
        return RegValueText(SharedShell().Get().RegRead(name));
    } catch (const std::exception&) {
        return std::nullopt;  // reads fall back to a fixed outcome, whatever went wrong
    }
}

// A value's text as a number: decimal digits with an optional sign, blanks (spaces, tabs)
// allowed around them; nothing else, and nothing outside the 32-bit range.
std::optional<std::int32_t> TextToNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-'))
            return std::nullopt;
    }
    std::int32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

}  // namespace

const char* UsbModeName(UsbMode mode) {
    switch (mode) {
        case UsbMode::kDisable:
            return "disable";
        case UsbMode::kReadOnly:
            return "readonly";
        case UsbMode::kReadWrite:
            break;
    }
    return "readwrite";
}

namespace {

// The mode after this one; nullopt after the last. A switch, so that a new mode fails to
// compile until it is placed here.
std::optional<UsbMode> NextMode(UsbMode mode) {
    switch (mode) {
        case UsbMode::kDisable:
            return UsbMode::kReadOnly;
        case UsbMode::kReadOnly:
            return UsbMode::kReadWrite;
        case UsbMode::kReadWrite:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<UsbMode> UsbModeFromName(std::string_view name) {
    for (std::optional<UsbMode> mode = UsbMode::kDisable; mode; mode = NextMode(*mode)) {
        if (name == UsbModeName(*mode))
            return mode;
    }
    return std::nullopt;
}

std::string RegValueText(const RegValue& value) {
    if (const auto* number = std::get_if<std::int32_t>(&value))
        return std::to_string(*number);
    return std::get<std::string>(value);
}

UsbMode UsbModeOf(const UsbPolicyTexts& texts) {
    const std::optional<std::int32_t> start = TextToNumber(texts.start.value_or(""));
    if (!start || *start == kStartDisabled)
        return UsbMode::kDisable;
    // With no write-protection value to read, storage is writable, whatever Start held.
    if (!texts.write_protect)
        return UsbMode::kReadWrite;
    const std::optional<std::int32_t> write_protect = TextToNumber(*texts.write_protect);
    if (!write_protect || *write_protect == kWriteProtected)
        return UsbMode::kReadOnly;
    return UsbMode::kReadWrite;
}

UsbMode GetUsbState() {
    UsbPolicyTexts texts{ReadText(policy_value::kUsbStorageStart), std::nullopt};
    if (UsbModeOf(texts) == UsbMode::kDisable)
        return UsbMode::kDisable;

    try {
        WriteNumber(policy_value::kUsbStorageStart, kStartOnDemand);
    } catch (const std::exception&) {
        // Reading the mode goes on; the next write of a mode reports the trouble.
    }

    texts.write_protect = ReadText(policy_value::kWriteProtect);
    return UsbModeOf(texts);
}

void ApplyUsbMode(UsbMode mode) {
    const ModeNumbers numbers = NumbersOf(mode);
    WriteNumber(policy_value::kUsbStorageStart, numbers.start);
    WriteNumber(policy_value::kWriteProtect, numbers.write_protect);
}

bool GetRegistryLock() {
    std::int32_t lock = 0;
    if (const std::optional<std::string> text = ReadText(policy_value::kDisableRegistryTools)) {
        lock = TextToNumber(*text).value_or(0);
    }
    return lock != 0;
}

void SetRegistryLock(bool locked) {
    WriteNumber(policy_value::kDisableRegistryTools, locked ? 1 : 0);
}

}  // namespace varnholt
