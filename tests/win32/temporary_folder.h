// A fresh folder under the system's temporary folder, removed with everything in it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_text.h"

namespace varnholt::testing {

class TemporaryFolder {
  public:
    TemporaryFolder() {
        wchar_t base[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, base);
        EXPECT_GT(length, 0u);
        static unsigned counter = 0;
        path_ = platform::Narrow(base) + "varnholt-test-" + std::to_string(GetCurrentProcessId()) +
                "-" + std::to_string(++counter);
        EXPECT_TRUE(CreateDirectoryW(Wide(path_).c_str(), nullptr)) << path_;
    }
    ~TemporaryFolder() { Remove(Wide(path_)); }

    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "\\" + name; }

    // Writes a file of the given bytes and returns its full name.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string full = Path(name);
        const HANDLE file = CreateFileW(Wide(full).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << full;
        DWORD written = 0;
        EXPECT_TRUE(
            content.empty() ||
            WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        EXPECT_EQ(written, content.size());
        CloseHandle(file);
        return full;
    }

  private:
    static std::wstring Wide(const std::string& text) { return platform::Widen(text).value(); }

    static void Remove(const std::wstring& folder) {
        WIN32_FIND_DATAW entry{};
        const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") {
                    const std::wstring full = folder + L"\\" + name;
                    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                        Remove(full);
                    } else {
                        DeleteFileW(full.c_str());
                    }
                }
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::string path_;
};

}  // namespace varnholt::testing
