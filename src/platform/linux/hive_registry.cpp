#include "platform/linux/hive_registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/reg_file.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"
#include "runtime/text.h"

namespace varnholt::platform {
namespace {

constexpr const char* kReadSource = "WshShell.RegRead";
constexpr const char* kWriteSource = "WshShell.RegWrite";

constexpr std::uint32_t kInvalidArgument = 0x80070057;
constexpr std::uint32_t kTypeMismatch = 0x80020005;
constexpr std::uint32_t kCorruptHive = 0x800703F1;  // "the registry database is corrupt"
constexpr std::uint32_t kFileTooLarge = 0x800700DF;
constexpr std::uint32_t kDiskFull = 0x80070070;
constexpr std::uint32_t kWriteProtected = 0x80070013;  // "the media is write protected"
constexpr std::uint32_t kLockTimeout = 0x800705B4;     // "the timeout period expired"
constexpr std::uint32_t kUnspecifiedFailure = 0x80004005;
constexpr std::uint32_t kPathNotFound = 0x80070003;

constexpr mode_t kMachineHiveMode = 0644;
constexpr mode_t kUserHiveMode = 0600;  // holds the password digest
// Whoever can open the lock file can hold it, so only the writer may: others could stall
// every write.
constexpr mode_t kLockMode = 0600;
// A million values take 80 MB; anything far beyond that is no hive this program wrote.
constexpr off_t kLargestHive = off_t{256} << 20;

// A failed system call or a file refused, on its way to becoming the shell's error.
struct SystemFailure {
    int error;
    std::string subject;  // the file or folder it concerned
    std::string reason = {};
    std::uint32_t number = 0;  // when not the one the error stands for

    std::string Describe() const {
        return subject + ": " + (reason.empty() ? std::strerror(error) : reason);
    }
};

std::uint32_t ErrorNumberFor(const SystemFailure& failure) {
    if (failure.number != 0)
        return failure.number;
    switch (failure.error) {
        case ENOENT:
            return registry_error::kNotFound;
        case EACCES:
        case EPERM:
            return registry_error::kAccessDenied;
        case EROFS:
            return kWriteProtected;
        case ENOSPC:
        case EDQUOT:
            return kDiskFull;
        default:
            return kUnspecifiedFailure;
    }
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    // Closes now, so that a failed close is seen.
    int Close() noexcept { return ::close(std::exchange(fd_, -1)); }
    int Release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// Opens a hive or its lock, never through a symbolic link and never anything but a plain
// file: a link planted in a shared folder would have root create or read a file elsewhere,
// and a FIFO or device would block or never end. Returns -1 with errno ENOENT when missing.
int OpenRegularFile(const std::string& path, int flags, struct stat& status) {
    FileDescriptor file(
        ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return -1;
        if (errno == ELOOP)
            throw SystemFailure{errno, path, "is a symbolic link, not a file"};
        throw SystemFailure{errno, path};
    }
    if (::fstat(file.get(), &status) != 0)
        throw SystemFailure{errno, path};
    if (!S_ISREG(status.st_mode))
        throw SystemFailure{EINVAL, path, "is not a regular file"};
    if (status.st_size > kLargestHive) {
        throw SystemFailure{
            EFBIG, path,
            "is larger than " + std::to_string(kLargestHive >> 20) + " MiB, too large for a hive",
            kFileTooLarge};
    }
    return file.Release();
}

using NextChunk = std::function<std::string_view()>;

// Hands the hive's bytes to read(next_chunk, size), in pieces, and returns what it makes of
// them; nullopt when the hive does not exist. status receives its details.
template <typename Read>
auto ReadHive(const std::filesystem::path& path, struct stat& status, const Read& read)
    -> std::optional<decltype(read(NextChunk(), std::size_t{}))> {
    const int opened = OpenRegularFile(path.string(), O_RDONLY, status);
    if (opened < 0)
        return std::nullopt;
    FileDescriptor file(opened);
    // A piece as large as a small hive, and one more byte to see its end.
    std::vector<char> buffer(
        std::min<std::size_t>(1 << 16, static_cast<std::size_t>(status.st_size) + 1));
    off_t total = 0;
    return read(
        [&]() -> std::string_view {
            for (;;) {
                const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count < 0)
                    throw SystemFailure{errno, path.string()};
                total += count;
                if (total > kLargestHive)  // grew while being read
                    throw SystemFailure{EFBIG, path.string(), "grew too large", kFileTooLarge};
                return {buffer.data(), static_cast<std::size_t>(count)};
            }
        },
        static_cast<std::size_t>(status.st_size));
}

void WriteAll(int fd, std::string_view bytes, const std::string& subject) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw SystemFailure{errno, subject};
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

// A hive named without a folder lives in the current one.
std::filesystem::path FolderOf(const std::filesystem::path& hive) {
    return hive.has_parent_path() ? hive.parent_path() : std::filesystem::path(".");
}

// A writer's temporary file: ".<hive>.XXXXXX.new", the X's made unique by mkostemps. The
// suffix keeps the clean-up below off files a person may have put beside the hive.
constexpr std::string_view kTempSuffix = ".new";
constexpr std::size_t kTempUniqueLength = 6;

std::string TempPrefix(const std::filesystem::path& hive) {
    return "." + hive.filename().string() + ".";
}

// Temporary files of writers that died mid-write. Only called under the hive's lock, when no
// living writer has one open.
void RemoveOrphanedTempFiles(const std::filesystem::path& hive) {
    const std::string prefix = TempPrefix(hive);
    std::error_code error;
    std::vector<std::filesystem::path> orphans;
    for (const auto& entry : std::filesystem::directory_iterator(FolderOf(hive), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == prefix.size() + kTempUniqueLength + kTempSuffix.size() &&
            name.starts_with(prefix) && name.ends_with(kTempSuffix))
            orphans.push_back(entry.path());
    }
    for (const auto& orphan : orphans)
        std::filesystem::remove(orphan, error);
}

// Writes the file to a temporary file beside the hive and renames it over the hive, so that
// at every instant the hive's name holds either the old file or the complete new one.
// mkostemps creates the temporary file anew (O_EXCL), so it never follows a planted link.
void ReplaceFile(const std::filesystem::path& hive, const RegFile& file, mode_t mode,
                 const struct stat* previous) {
    const std::filesystem::path folder = FolderOf(hive);
    std::string temp_name = (folder / (TempPrefix(hive) + std::string(kTempUniqueLength, 'X') +
                                       std::string(kTempSuffix)))
                                .string();
    FileDescriptor temp(
        ::mkostemps(temp_name.data(), static_cast<int>(kTempSuffix.size()), O_CLOEXEC));
    if (temp.get() < 0)
        throw SystemFailure{errno, folder.string()};
    try {
        if (::fchmod(temp.get(), mode) != 0)
            throw SystemFailure{errno, temp_name};
        if (previous != nullptr) {
            // Keeps the owner when an administrator writes a user's hive; fails harmlessly
            // otherwise.
            [[maybe_unused]] const int ignored =
                ::fchown(temp.get(), previous->st_uid, previous->st_gid);
        }
        file.Write([&](std::string_view piece) { WriteAll(temp.get(), piece, temp_name); });
        if (::fsync(temp.get()) != 0)
            throw SystemFailure{errno, temp_name};
        if (temp.Close() != 0)
            throw SystemFailure{errno, temp_name};
        if (::rename(temp_name.c_str(), hive.c_str()) != 0)
            throw SystemFailure{errno, hive.string()};
    } catch (...) {
        ::unlink(temp_name.c_str());
        throw;
    }
    // The rename itself reaches the disk only with the folder.
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
}

// Waits at most timeout for the exclusive lock on lock. flock takes no time limit, so a wait
// runs in a thread of its own on a duplicate of the descriptor, where the kernel wakes it as
// soon as the lock is free; given up, the thread lets the lock go as soon as it gets it.
void TakeLock(const FileDescriptor& lock, const std::string& lock_name,
              std::chrono::milliseconds timeout) {
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0)
        return;
    if (errno != EWOULDBLOCK && errno != EINTR)
        throw SystemFailure{errno, lock_name};
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        int error = 0;
    };
    const auto wait = std::make_shared<Wait>();
    const int duplicate = ::fcntl(lock.get(), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        throw SystemFailure{errno, lock_name};
    std::thread([wait, duplicate] {
        int error = 0;
        while (::flock(duplicate, LOCK_EX) != 0 && (error = errno) == EINTR)
            error = 0;
        const std::lock_guard guard(wait->mutex);
        if (wait->abandoned && error == 0)
            ::flock(duplicate, LOCK_UN);
        ::close(duplicate);  // the lock stays with the writer's own descriptor
        wait->finished = true;
        wait->error = error;
        wait->done.notify_one();
    }).detach();
    std::unique_lock guard(wait->mutex);
    if (!wait->done.wait_for(guard, timeout, [&] { return wait->finished; })) {
        wait->abandoned = true;
        throw SystemFailure{EWOULDBLOCK, lock_name,
                            "another process has held this lock for over " +
                                std::to_string(timeout.count()) + " ms",
                            kLockTimeout};
    }
    if (wait->error != 0)
        throw SystemFailure{wait->error, lock_name};
}

// Puts a fresh lock file only owner can open in place of one others could open, as earlier
// versions made them, or another user's: closing the old one to them would not take back a
// descriptor one of them already holds, and with it the lock.
void ReplaceOpenLock(const std::string& lock_name, uid_t owner, gid_t group) {
    std::string temp_name = lock_name + ".XXXXXX";
    FileDescriptor temp(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (temp.get() < 0)
        throw SystemFailure{errno, lock_name};
    if (::fchmod(temp.get(), kLockMode) != 0 ||
        (owner != ::geteuid() && ::fchown(temp.get(), owner, group) != 0) ||
        ::rename(temp_name.c_str(), lock_name.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp_name.c_str());
        throw SystemFailure{error, lock_name};
    }
}

// Opens the hive's lock file and takes the lock, waiting at most timeout. The lock belongs to
// whoever owns the hive (a new hive's writer), so that root writing a user's hive leaves them a
// lock they can still take. One that is not theirs, or others could open, is taken before it
// is replaced: whoever holds it finishes first, and no two writers ever hold the hive. The lock
// held is the one under the lock's name: a writer that replaced the file meanwhile starts over.
FileDescriptor Lock(const std::string& lock_name, const std::filesystem::path& hive,
                    std::chrono::milliseconds timeout) {
    for (;;) {
        struct stat status {};
        FileDescriptor lock(OpenRegularFile(lock_name, O_RDWR | O_CREAT, status));
        if (lock.get() < 0)
            throw SystemFailure{ENOENT, lock_name};
        struct stat hive_status {};
        const bool hive_exists = ::lstat(hive.c_str(), &hive_status) == 0;
        const uid_t owner = hive_exists && ::geteuid() == 0 ? hive_status.st_uid : ::geteuid();
        const gid_t group = hive_exists && ::geteuid() == 0 ? hive_status.st_gid : ::getegid();
        TakeLock(lock, lock_name, timeout);
        if ((status.st_mode & 077) != 0 || status.st_uid != owner) {
            ReplaceOpenLock(lock_name, owner, group);
            continue;
        }
        struct stat named {};
        if (::stat(lock_name.c_str(), &named) == 0 && named.st_ino == status.st_ino &&
            named.st_dev == status.st_dev)
            return lock;
    }
}

// Read-modify-write of one hive under an exclusive lock, so concurrent writers lose nothing.
// RegFileError leaves the file untouched.
void UpdateHive(const std::filesystem::path& hive, mode_t new_file_mode,
                std::chrono::milliseconds lock_timeout, const RegFile::ValueName& edited,
                const std::function<void(RegFile&)>& edit) {
    const std::filesystem::path folder = FolderOf(hive);
    std::error_code created_error;
    // The hive's own folder is as open as the hive (0755, or 0700 for 0600), whatever the
    // umask: one others may write in lets them rename their own file over the hive.
    if (std::filesystem::create_directories(folder, created_error))
        std::filesystem::permissions(
            folder,
            static_cast<std::filesystem::perms>(new_file_mode | (new_file_mode & 0444) >> 2),
            created_error);
    if (created_error)
        throw SystemFailure{created_error.value(), folder.string()};

    const FileDescriptor lock = Lock(hive.string() + ".lock", hive, lock_timeout);
    RemoveOrphanedTempFiles(hive);

    struct stat previous {};
    std::optional<RegFile> file =
        ReadHive(hive, previous, [&](const NextChunk& next_chunk, std::size_t size) {
            return RegFile::Read(next_chunk, size, edited);
        });
    const bool exists = file.has_value();
    // The rename needs rights to the folder only; a hive its owner made read-only stays so.
    if (exists && ::faccessat(AT_FDCWD, hive.c_str(), W_OK, AT_EACCESS) != 0)
        throw SystemFailure{errno, hive.string()};
    if (!file)
        file = RegFile::New();
    edit(*file);
    ReplaceFile(hive, *file, exists ? previous.st_mode & 07777 : new_file_mode,
                exists ? &previous : nullptr);
}

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

[[noreturn]] void RaiseUnreadable(const std::string& name, std::uint32_t number) {
    Raise(ErrorNumber(number), kReadSource,
          "Unable to open registry key " + Quoted(name) + " for reading.");
}

std::string DamagedHiveText(const std::string& name, const std::filesystem::path& hive,
                            const RegFileError& damaged, const char* verb) {
    return "Unable to " + std::string(verb) + " registry key " + Quoted(name) + ": " +
           hive.string() + " line " + std::to_string(damaged.line()) + ": " + damaged.what();
}

HiveValue ValueToStore(const std::string& name, const RegValue& value, std::string_view type) {
    if (FoldedEquals(type, "REG_DWORD")) {
        if (const auto* number = std::get_if<std::int32_t>(&value)) {
            return HiveValue::Dword(static_cast<std::uint32_t>(*number));
        }
        Raise(ErrorNumber(kTypeMismatch), kWriteSource, "Type mismatch");
    }
    if (FoldedEquals(type, "REG_SZ")) {
        if (const auto* number = std::get_if<std::int32_t>(&value)) {
            return HiveValue::String(std::to_string(*number));
        }
        const std::string& text = std::get<std::string>(value);
        if (!IsValidUtf8(text)) {
            Raise(ErrorNumber(kInvalidArgument), kWriteSource,
                  "The text for registry key " + Quoted(name) + " is not valid UTF-8.");
        }
        return HiveValue::String(text);
    }
    Raise(ErrorNumber(kInvalidArgument), kWriteSource,
          "Invalid type \"" + std::string(type) + "\" for registry key " + Quoted(name) + ".");
}

}  // namespace

struct HiveRegistry::Location {
    const std::filesystem::path* hive;
    mode_t new_file_mode;
    std::string key;         // root in its long form, then the key path
    std::string value_name;  // empty for the key's default value

    RegFile::ValueName Name() const { return {key, value_name}; }
};

HiveRegistry::HiveRegistry(std::filesystem::path machine_hive, std::filesystem::path user_hive,
                           std::chrono::milliseconds lock_timeout)
    : machine_hive_(std::move(machine_hive)),
      user_hive_(std::move(user_hive)),
      lock_timeout_(lock_timeout) {}

HiveRegistry::Location HiveRegistry::Locate(const std::string& name, const char* source) const {
    const std::size_t root_end = name.find('\\');
    const std::string_view root = std::string_view(name).substr(0, root_end);
    Location location{};
    if (FoldedEquals(root, "HKLM") || FoldedEquals(root, "HKEY_LOCAL_MACHINE")) {
        location = {&machine_hive_, kMachineHiveMode, "HKEY_LOCAL_MACHINE", ""};
    } else if (FoldedEquals(root, "HKCU") || FoldedEquals(root, "HKEY_CURRENT_USER")) {
        location = {&user_hive_, kUserHiveMode, "HKEY_CURRENT_USER", ""};
    }
    if (location.hive == nullptr || root_end == std::string::npos) {
        Raise(ErrorNumber(registry_error::kNotFound), source,
              "Invalid root in registry key " + Quoted(name) + ".");
    }
    const std::string_view path = std::string_view(name).substr(root_end + 1);
    const std::size_t value_start = path.rfind('\\');
    if (value_start == std::string_view::npos) {
        location.value_name = path;
    } else {
        location.key += '\\';
        location.key += path.substr(0, value_start);
        location.value_name = path.substr(value_start + 1);
    }
    return location;
}

RegValue HiveRegistry::RegRead(const std::string& name) {
    const Location location = Locate(name, kReadSource);
    std::optional<HiveValue> value;
    try {
        struct stat status {};
        // A read keeps no more of the file than a piece at a time.
        const auto found = ReadHive(*location.hive, status, [&](const NextChunk& next_chunk, auto) {
            return RegFile::FindIn(next_chunk, location.Name());
        });
        if (found)
            value = *found;
    } catch (const SystemFailure& failure) {
        // Only a missing file reads as missing: a hive that is a folder, a link or unreadable
        // must not pass for a user hive with no password set.
        const std::uint32_t number = ErrorNumberFor(failure);
        if (number == registry_error::kAccessDenied)
            RaiseUnreadable(name, number);
        Raise(ErrorNumber(number), kReadSource,
              "Unable to read registry key " + Quoted(name) + ": " + failure.Describe() + ".");
    } catch (const RegFileError& damaged) {
        Raise(ErrorNumber(kCorruptHive), kReadSource,
              DamagedHiveText(name, *location.hive, damaged, "read"));
    }
    if (value) {
        if (const auto dword = value->AsDword())
            return static_cast<std::int32_t>(*dword);
        if (auto text = value->AsString())
            return std::move(*text);
    }
    RaiseUnreadable(name, registry_error::kNotFound);
}

void HiveRegistry::RegWrite(const std::string& name, const RegValue& value, std::string_view type) {
    const Location location = Locate(name, kWriteSource);
    if (!IsValidUtf8(name) ||
        name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        Raise(ErrorNumber(kInvalidArgument), kWriteSource,
              "Invalid registry key name " + Quoted(name) + ".");
    }
    const HiveValue stored = ValueToStore(name, value, type);
    try {
        UpdateHive(*location.hive, location.new_file_mode, lock_timeout_, location.Name(),
                   [&](RegFile& file) { file.Set(location.key, location.value_name, stored); });
    } catch (const RegFileError& damaged) {
        Raise(ErrorNumber(kCorruptHive), kWriteSource,
              DamagedHiveText(name, *location.hive, damaged, "write") +
                  "; the file was left unchanged.");
    } catch (const SystemFailure& failure) {
        const std::uint32_t number = ErrorNumberFor(failure);
        if (number == registry_error::kAccessDenied) {
            // The platform's own words for a write it has no rights to.
            Raise(ErrorNumber(number), kWriteSource,
                  "Invalid root in registry key " + Quoted(name) + ".");
        }
        Raise(ErrorNumber(number), kWriteSource,
              "Unable to write registry key " + Quoted(name) + ": " + failure.Describe() + ".");
    }
}

std::filesystem::path DefaultMachineHivePath() {
    return "/var/lib/varnholt/machine.reg";
}

std::filesystem::path UserHivePath(const char* account_home, const char* home_variable) {
    std::filesystem::path home;
    if (account_home != nullptr && account_home[0] != '\0')
        home = account_home;
    else if (home_variable != nullptr)
        home = home_variable;
    // A relative home would put the password digest wherever the program was started.
    if (!home.is_absolute()) {
        Raise(ErrorNumber(kPathNotFound), "Varnholt",
              "The user has no home folder to keep settings in: the user database names none "
              "and HOME is not an absolute path.");
    }
    return home / ".config" / "varnholt" / "user.reg";
}

std::filesystem::path DefaultUserHivePath() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    const bool known =
        ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found;
    return UserHivePath(known ? found->pw_dir : nullptr, std::getenv("HOME"));
}

std::unique_ptr<RegistryShell> CreateRegistryShell() {
    return std::make_unique<HiveRegistry>(DefaultMachineHivePath(), DefaultUserHivePath());
}

}  // namespace varnholt::platform
