// The per-user settings store in the current user's registry, where such per-user program
// settings conventionally live: HKCU\Software\VB and VBA Program Settings\<application>\<section>,
// one REG_SZ value per key. It talks to advapi32 itself, not through the policy side's shell,
// so that it can tell an absent entry from one that cannot be read.
#include <windows.h>

#include <memory>
#include <vector>

#include "app/error.h"
#include "platform/platform.h"
#include "platform/win32/win32_text.h"

namespace varnholt::platform {
namespace {

[[noreturn]] void RaiseSystemError(LSTATUS status, const char* source) {
    const auto code = static_cast<std::uint32_t>(HRESULT_FROM_WIN32(static_cast<DWORD>(status)));
    std::string description = SystemMessage(code);
    Raise(ErrorNumber(code), source, description.empty() ? "Registry access failed" : description);
}

// A name or text for the registry; raises when it is not UTF-8 or holds a NUL, which the
// registry would silently cut short.
std::wstring RegistryText(std::string_view text, const char* source) {
    std::optional<std::wstring> wide = Widen(text);
    if (!wide || wide->find(L'\0') != std::wstring::npos) {
        RaiseSystemError(ERROR_INVALID_PARAMETER, source);
    }
    return std::move(*wide);
}

std::wstring SettingsKey(std::string_view application, std::string_view section,
                         const char* source) {
    return L"Software\\VB and VBA Program Settings\\" + RegistryText(application, source) + L"\\" +
           RegistryText(section, source);
}

class RegistrySettingsStore final : public SettingsStore {
  public:
    std::string GetSetting(std::string_view application, std::string_view section,
                           std::string_view key, std::string_view default_value) override {
        static const char* const source = "GetSetting";
        const std::wstring key_path = SettingsKey(application, section, source);
        const std::wstring value_name = RegistryText(key, source);
        // Text values only, taken as stored; the size may grow between the two calls.
        const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
        std::vector<wchar_t> buffer;
        for (;;) {
            DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            LSTATUS status =
                RegGetValueW(HKEY_CURRENT_USER, key_path.c_str(), value_name.c_str(), flags,
                             nullptr, buffer.empty() ? nullptr : buffer.data(), &size);
            if (status == ERROR_FILE_NOT_FOUND) {
                return std::string(default_value);  // no such key or value
            }
            if (status == ERROR_UNSUPPORTED_TYPE) {
                // Something other than text under our name: no password was stored here.
                return std::string(default_value);
            }
            if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && buffer.empty())) {
                buffer.resize(size / sizeof(wchar_t) + 1);
                continue;
            }
            if (status != ERROR_SUCCESS) {
                RaiseSystemError(status, source);
            }
            // RegGetValueW ends the text with a NUL that the size counts.
            std::wstring_view text(buffer.data(), size / sizeof(wchar_t));
            if (const std::size_t end = text.find(L'\0'); end != std::wstring_view::npos) {
                text = text.substr(0, end);
            }
            return Narrow(text);
        }
    }

    void SaveSetting(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view value) override {
        static const char* const source = "SaveSetting";
        const std::wstring key_path = SettingsKey(application, section, source);
        const std::wstring value_name = RegistryText(key, source);
        const std::wstring text = RegistryText(value, source);
        const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        if (bytes > MAXDWORD) {
            RaiseSystemError(ERROR_INVALID_PARAMETER, source);
        }
        // Creates the key and its parents when absent; the value is replaced in one step.
        const LSTATUS status =
            RegSetKeyValueW(HKEY_CURRENT_USER, key_path.c_str(), value_name.c_str(), REG_SZ,
                            text.c_str(), static_cast<DWORD>(bytes));
        if (status != ERROR_SUCCESS) {
            RaiseSystemError(status, source);
        }
    }
};

}  // namespace

std::unique_ptr<SettingsStore> CreateSettingsStore() {
    return std::make_unique<RegistrySettingsStore>();
}

}  // namespace varnholt::platform
