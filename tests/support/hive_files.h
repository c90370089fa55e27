// Hive files for tests, never the machine's own; and the rights to write them taken away.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
    AsOrdinaryUser() : dropped_(::geteuid() == 0) {
        const passwd* nobody = dropped_ ? ::getpwnam("nobody") : nullptr;
        if (dropped_ && ::seteuid(nobody != nullptr ? nobody->pw_uid : 65534) != 0)
            throw std::runtime_error("seteuid failed");
    }
    AsOrdinaryUser(const AsOrdinaryUser&) = delete;
    AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;
    ~AsOrdinaryUser() {
        if (dropped_ && ::seteuid(0) != 0)
            std::terminate();
    }

  private:
    const bool dropped_;
};

}  // namespace varnholt::testing
