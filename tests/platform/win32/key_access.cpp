// Stands in for a user without write access: lets everyone only read the local machine's KEY.
#include <windows.h>
// after windows.h, which it builds on
#include <sddl.h>

int wmain(int argc, wchar_t** argv) {
    HKEY key = nullptr;
    PSECURITY_DESCRIPTOR access = nullptr;
    const bool done = argc == 2 &&
                      RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, nullptr, 0, WRITE_DAC,
                                      nullptr, &key, nullptr) == ERROR_SUCCESS &&
                      ConvertStringSecurityDescriptorToSecurityDescriptorW(
                          L"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &access, nullptr) &&
                      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, access) == ERROR_SUCCESS;
    LocalFree(access);
    RegCloseKey(key);
    return done ? 0 : 1;
}
