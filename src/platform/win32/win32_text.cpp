#include "platform/win32/win32_text.h"

#include <windows.h>

#include <climits>

namespace varnholt::platform {

std::optional<std::wstring> Widen(std::string_view utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    if (utf8.size() > INT_MAX) {
        return std::nullopt;
    }
    const int byte_count = static_cast<int>(utf8.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), byte_count, nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), byte_count, wide.data(),
                        length);
    return wide;
}

std::string Narrow(std::wstring_view utf16) {
    if (utf16.empty() || utf16.size() > INT_MAX) {
        return {};
    }
    const int unit_count = static_cast<int>(utf16.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), unit_count, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), unit_count, narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

std::string SystemMessage(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return {};
    }
    std::wstring_view message(buffer, length);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
        message.remove_suffix(1);
    }
    std::string text = Narrow(message);
    LocalFree(buffer);
    return text;
}

}  // namespace varnholt::platform
