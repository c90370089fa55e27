// Stands in for a user without write access: gives a key of the local machine an access list
// that lets everyone only read it, or do everything again.
//   key_access HKLM\KEY read-only|full
#include <windows.h>
// after windows.h, which it builds on
#include <sddl.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    const std::wstring name = argc == 3 ? argv[1] : L"";
    const std::wstring access = argc == 3 ? argv[2] : L"";
    if (name.rfind(L"HKLM\\", 0) != 0 || (access != L"read-only" && access != L"full")) {
        std::fprintf(stderr, "usage: key_access HKLM\\KEY read-only|full\n");
        return 2;
    }
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str() + 5, 0, nullptr, 0,
                                     WRITE_DAC | READ_CONTROL, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       access == L"full" ? L"D:P(A;;KA;;;WD)" : L"D:P(A;;KR;;;WD)",
                                       SDDL_REVISION_1, &descriptor, nullptr)) {
        status = static_cast<LSTATUS>(GetLastError());
    }
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    }
    LocalFree(descriptor);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "key_access: error %ld\n", static_cast<long>(status));
    }
    return status == ERROR_SUCCESS ? 0 : 1;
}
