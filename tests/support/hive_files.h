// Hive files for tests, in temporary folders and never the machine's own; and the rights to
// write them taken away.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace varnholt::testing {

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A hive file as a person would write it: UTF-8, LF line ends.
inline void WriteHive(const std::filesystem::path& path, std::string_view body) {
    WriteBytes(path, "Windows Registry Editor Version 5.00\n\n" + std::string(body));
}

// While alive, a process running as root acts as the user "nobody"; others stay as they are.
class AsOrdinaryUser {
  public:
    AsOrdinaryUser() {
        if (::geteuid() != 0)
            return;
        const passwd* nobody = ::getpwnam("nobody");
        if (::seteuid(nobody != nullptr ? nobody->pw_uid : 65534) != 0)
            throw std::runtime_error("seteuid failed");
        dropped_ = true;
    }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;
    ~AsOrdinaryUser() {
        if (dropped_) {
            [[maybe_unused]] const int restored = ::seteuid(0);
        }
    }
    bool dropped() const noexcept { return dropped_; }

  private:
    bool dropped_ = false;
};

// While alive, the process has no rights to write into folder (as an ordinary user has none
// to write the machine's hive).
class WithoutWriteRights {
  public:
    explicit WithoutWriteRights(std::filesystem::path folder) : folder_(std::move(folder)) {
        if (!as_user_.dropped())
            std::filesystem::permissions(folder_, std::filesystem::perms(0555));
    }
    WithoutWriteRights(const WithoutWriteRights&) = delete;
    WithoutWriteRights& operator=(const WithoutWriteRights&) = delete;
    ~WithoutWriteRights() {
        if (!as_user_.dropped())
            std::filesystem::permissions(folder_, std::filesystem::perms(0755));
    }

  private:
    std::filesystem::path folder_;
    AsOrdinaryUser as_user_;
};

}  // namespace varnholt::testing
