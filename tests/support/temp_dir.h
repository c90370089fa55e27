// A fresh folder for one test, removed with everything in it at the end; portable.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace varnholt::testing {

class TempDir {
  public:
    TempDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("varnholt-" + std::to_string(random()) + std::to_string(random()));
        if (!std::filesystem::create_directory(path_))
            throw std::runtime_error("cannot create " + path_.string());
        // Other users may look in: tests that drop privileges read the hives as such a user.
        std::filesystem::permissions(path_, std::filesystem::perms(0755));
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace varnholt::testing
