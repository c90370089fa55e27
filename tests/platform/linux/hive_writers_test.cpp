// Hive writers in other processes: killed at random instants, racing each other, and one whose
// lock calls fail.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "runtime/error.h"
#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

// A child process setting HKLM\Test\<prefix><n> = n for n = 0, 1, ... up to count (without
// end when 0); after each write has returned it tells the parent n through a pipe.
class Writer {
  public:
    Writer(const std::filesystem::path& hive, const std::string& prefix, int count) {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            HiveRegistry registry(hive, hive.string() + ".user");
            for (int n = 0; count == 0 || n < count; ++n) {
                registry.RegWrite("HKLM\\Test\\" + prefix + (count ? std::to_string(n) : ""), n,
                                  "REG_DWORD");
                if (::write(ends[1], &n, sizeof n) != sizeof n)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(ends[1]);
        output_ = ends[0];
    }
    ~Writer() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
        ::close(output_);
    }
    // Waits for the next number reported; false when the writer has ended.
    bool Next() { return ::read(output_, &last_, sizeof last_) == sizeof last_; }
    // Ends the writer (kill) or waits for its end; returns the last number reported.
    int Stop(bool kill) {
        if (kill)
            ::kill(pid_, SIGKILL);
        while (Next()) {
        }
        int status = 0;
        ::waitpid(std::exchange(pid_, 0), &status, 0);
        EXPECT_EQ(status, kill ? SIGKILL : 0);
        return last_;
    }

  private:
    pid_t pid_ = 0;
    int output_ = -1;
    int last_ = -1;
};

class HiveWritersTest : public ::testing::Test {
  protected:
    testing::TempDir folder_;
    std::filesystem::path hive_ = folder_.path() / "machine.reg";
};

TEST_F(HiveWritersTest, WriterKilledAtAnyInstantLeavesTheOldHiveOrTheNew) {
    const std::string other = "[HKEY_LOCAL_MACHINE\\Other]\n\"Kept\"=hex(2):41,00,00,00\n\n";
    testing::WriteHive(hive_, other);
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 300; ++round) {
        Writer writer(hive_, "Counter", 0);
        ASSERT_TRUE(writer.Next());  // a kill lands amid writing, not before the first
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 10000));
        const auto last_finished = static_cast<std::uint32_t>(writer.Stop(true));
        // Parse throws, failing the test, if the hive was damaged.
        const RegFile after = RegFile::Parse(testing::ReadBytes(hive_));
        const auto counter = after.Find("HKEY_LOCAL_MACHINE\\Test", "Counter")->AsDword();
        ASSERT_TRUE(counter == last_finished || counter == last_finished + 1) << round;
        ASSERT_EQ(after.Find("HKEY_LOCAL_MACHINE\\Other", "Kept"),
                  HiveValue::Hex(2, {0x41, 0, 0, 0}));
    }
    // Whatever temporary file the last kill left goes with the next write, and nothing else.
    testing::WriteBytes(folder_.path() / ".machine.reg.Ab12Cd.new", "half a hive");
    testing::WriteBytes(folder_.path() / ".machine.reg.backup", "a person's copy");
    HiveRegistry(hive_, folder_.path() / "user.reg").RegWrite("HKLM\\Test\\Done", 1, "REG_DWORD");
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path()))
        left.insert(entry.path().filename());
    EXPECT_EQ(left,
              (std::set<std::string>{".machine.reg.backup", "machine.reg", "machine.reg.lock"}));
}

TEST_F(HiveWritersTest, TwoWritersAtOnceLoseNoValue) {
    constexpr int kCount = 300;
    Writer first(hive_, "a", kCount), second(hive_, "b", kCount);
    EXPECT_EQ(first.Stop(false), kCount - 1);
    EXPECT_EQ(second.Stop(false), kCount - 1);
    HiveRegistry registry(hive_, folder_.path() / "user.reg");
    for (int n = 0; n < kCount; ++n) {
        EXPECT_EQ(registry.RegRead("HKLM\\Test\\a" + std::to_string(n)), RegValue(n));
        EXPECT_EQ(registry.RegRead("HKLM\\Test\\b" + std::to_string(n)), RegValue(n));
    }
}

// Makes every flock of this process fail with ENOLCK, as on a file system without locks.
void FailEveryLock() {
    sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_flock, 0, 1),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOLCK),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{std::size(filter), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        std::_Exit(2);
}

// A lock call failing other than for a lock held elsewhere is that error at once, not a wait.
TEST_F(HiveWritersTest, AFailingLockIsAnErrorNotAWait) {
    const auto write = [&] {
        FailEveryLock();
        try {
            HiveRegistry(hive_, hive_, std::chrono::seconds(60))
                .RegWrite("HKLM\\A\\b", 1, "REG_DWORD");
        } catch (const Error& error) {
            std::fputs(error.description().c_str(), stderr);
            std::_Exit(1);
        }
        std::_Exit(0);
    };
    EXPECT_EXIT(write(), ::testing::ExitedWithCode(1), "No locks available");
}

}  // namespace
}  // namespace varnholt::platform
