// Stands in for a user without write access: gives a key of the local machine an access list
// that lets everyone only read it, or do everything again.
//   key_access HKLM\KEY read-only|full
#include <windows.h>
// after windows.h, which it builds on
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || std::wcsncmp(argv[1], L"HKLM\\", 5) != 0) {
        std::fputs("usage: key_access HKLM\\KEY read-only|full\n", stderr);
        return 2;
    }
    const bool full = std::wcscmp(argv[2], L"full") == 0;
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1] + 5, 0, nullptr, 0,
                                     WRITE_DAC | READ_CONTROL, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       full ? L"D:P(A;;KA;;;WD)" : L"D:P(A;;KR;;;WD)",
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
