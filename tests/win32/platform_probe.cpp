// A command-line door to the Windows platform code, for test scripts that check its effects
// with Wine's own tools (reg query, reg add) and compare digests with the Linux build's.
//   platform_probe read NAME                    prints dword:N, text:T or error:NUMBER:DESCRIPTION
//   platform_probe write NAME dword|text VALUE TYPE
//   platform_probe get-setting APP SECTION KEY DEFAULT
//   platform_probe save-setting APP SECTION KEY VALUE
//   platform_probe hash-text TEXT               digest of the UTF-8 bytes
//   platform_probe hash-file PATH
//   platform_probe key-access HKLM\KEY read-only|full
//                                               lets everyone only read the key, or do all
// Arguments arrive as UTF-16 and are passed on as UTF-8. Exit status 0, or 1 after an error.
#include <windows.h>
// after windows.h, which it builds on
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/md5_hash.h"
#include "auth/settings_store.h"
#include "platform/win32/win32_text.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

// Stands in for a user without write access: a key of the local machine whose access list
// lets everyone read it and nobody write it (or, afterwards, do everything again).
void SetKeyAccess(const std::string& name, const std::string& access) {
    constexpr std::string_view kMachine = "HKLM\\";
    const std::optional<std::wstring> path = platform::Widen(name.substr(kMachine.size()));
    if (name.rfind(kMachine, 0) != 0 || !path || (access != "read-only" && access != "full")) {
        Raise(ErrorNumber(static_cast<std::uint32_t>(E_INVALIDARG)), "key-access", "bad arguments");
    }
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path->c_str(), 0, nullptr, 0,
                                     WRITE_DAC | READ_CONTROL, nullptr, &key, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (status == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       access == "full" ? L"D:P(A;;KA;;;WD)" : L"D:P(A;;KR;;;WD)",
                                       SDDL_REVISION_1, &descriptor, nullptr)) {
        status = static_cast<LSTATUS>(GetLastError());
    }
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    }
    LocalFree(descriptor);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        const auto code = static_cast<std::uint32_t>(HRESULT_FROM_WIN32(status));
        Raise(ErrorNumber(code), "key-access", platform::SystemMessage(code));
    }
}

int Run(const std::vector<std::string>& args) {
    const std::string& command = args.at(0);
    if (command == "key-access" && args.size() == 3) {
        SetKeyAccess(args[1], args[2]);
        return 0;
    }
    if (command == "read" && args.size() == 2) {
        const RegValue value = platform::CreateRegistryShell()->RegRead(args[1]);
        if (const auto* number = std::get_if<std::int32_t>(&value)) {
            std::printf("dword:%d\n", *number);
        } else {
            std::printf("text:%s\n", std::get<std::string>(value).c_str());
        }
        return 0;
    }
    if (command == "write" && args.size() == 5) {
        const RegValue value =
            args[2] == "dword" ? RegValue(std::stoi(args[3])) : RegValue(args[3]);
        platform::CreateRegistryShell()->RegWrite(args[1], value, args[4]);
        return 0;
    }
    if (command == "get-setting" && args.size() == 5) {
        std::printf("%s\n", platform::CreateSettingsStore()
                                ->GetSetting(args[1], args[2], args[3], args[4])
                                .c_str());
        return 0;
    }
    if (command == "save-setting" && args.size() == 5) {
        platform::CreateSettingsStore()->SaveSetting(args[1], args[2], args[3], args[4]);
        return 0;
    }
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    if (command == "hash-text" && args.size() == 2) {
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(args[1].data()),
                              args[1].size());
        std::printf("%s\n", hasher.HashBytes(bytes).c_str());
        return 0;
    }
    if (command == "hash-file" && args.size() == 2) {
        std::printf("%s\n", hasher.HashFile(args[1]).c_str());
        return 0;
    }
    std::fprintf(stderr, "platform_probe: bad arguments\n");
    return 2;
}

}  // namespace
}  // namespace varnholt

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(varnholt::platform::Narrow(argv[i]));
    }
    if (args.empty()) {
        return 2;
    }
    try {
        return varnholt::Run(args);
    } catch (const varnholt::Error& error) {
        std::printf("error:%d:%s\n", error.number(), error.description().c_str());
        return 1;
    }
}
