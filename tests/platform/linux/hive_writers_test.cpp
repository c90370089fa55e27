// Hive writers in other processes: killed at random instants, and racing each other.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

using testing::ReadBytes;
using testing::WriteHive;

// A child process that writes HKLM\Test\<name_of(n)> = n for n = first, first + 1, ..., count
// numbers (without end when count is 0), one RegWrite each, and reports each number once its
// write has returned, so the test knows what is on disk.
class Writer {
  public:
    Writer(const std::filesystem::path& hive, const std::function<std::string(int)>& name_of,
           int first, int count) {
        int ends[2];
        if (::pipe(ends) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ends[0]);
            HiveRegistry registry(hive, hive.string() + ".user");
            for (int number = first; count == 0 || number < first + count; ++number) {
                try {
                    registry.RegWrite("HKLM\\Test\\" + name_of(number), number, "REG_DWORD");
                } catch (const std::exception&) {
                    ::_exit(1);
                }
                const std::string line = std::to_string(number) + "\n";
                if (::write(ends[1], line.data(), line.size()) < 0)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(ends[1]);
        output_ = ends[0];
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        if (pid_ > 0) {
            Kill();
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_);
    }

    void Kill() { ::kill(pid_, SIGKILL); }

    // Returns once the writer has finished its first write, so a kill lands amid writing.
    void WaitUntilWriting() {
        while (output_text_.find('\n') == std::string::npos && ReadSome()) {
        }
    }

    // Waits for the end; returns the exit status (or -signal) and every number reported.
    int Wait(std::vector<int>& reported) {
        while (ReadSome()) {
        }
        int status = 0;
        ::waitpid(std::exchange(pid_, 0), &status, 0);
        for (std::size_t start = 0, end;
             (end = output_text_.find('\n', start)) != std::string::npos; start = end + 1) {
            reported.push_back(std::stoi(output_text_.substr(start, end - start)));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

  private:
    bool ReadSome() {
        char buffer[4096];
        ssize_t count;
        do {
            count = ::read(output_, buffer, sizeof buffer);
        } while (count < 0 && errno == EINTR);
        if (count <= 0)
            return false;
        output_text_.append(buffer, static_cast<std::size_t>(count));
        return true;
    }

    pid_t pid_ = 0;
    int output_ = -1;
    std::string output_text_;
};

class HiveWritersTest : public ::testing::Test {
  protected:
    testing::TempDir folder_;
    std::filesystem::path hive_ = folder_.path() / "machine.reg";
};

TEST_F(HiveWritersTest, WriterKilledAtAnyInstantLeavesTheOldHiveOrTheNew) {
    const std::string other = "[HKEY_LOCAL_MACHINE\\Other]\n\"Kept\"=hex(2):41,00,00,00\n\n";
    WriteHive(hive_, other + "[HKEY_LOCAL_MACHINE\\Test]\n\"Counter\"=dword:00000000\n");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 10000);  // a few writes' time
    std::uint32_t counter = 0;
    for (int round = 0; round < 300; ++round) {
        Writer writer(
            hive_, [](int) { return "Counter"; }, static_cast<int>(counter) + 1, 0);
        writer.WaitUntilWriting();
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        writer.Kill();
        std::vector<int> reported;
        ASSERT_EQ(writer.Wait(reported), -SIGKILL);
        ASSERT_FALSE(reported.empty());
        const auto last_finished = static_cast<std::uint32_t>(reported.back());

        // Parse throws, failing the test, if the hive was damaged.
        const RegFile after = RegFile::Parse(ReadBytes(hive_));
        const std::optional<HiveValue> stored = after.Find("HKEY_LOCAL_MACHINE\\Test", "Counter");
        ASSERT_TRUE(stored.has_value()) << "round " << round << ": the counter is gone";
        counter = stored->dword;
        ASSERT_TRUE(counter == last_finished || counter == last_finished + 1)
            << "round " << round << ": hive holds " << counter << ", last finished write "
            << last_finished;
        ASSERT_EQ(after.Find("HKEY_LOCAL_MACHINE\\Other", "Kept"),
                  HiveValue::Hex(2, {0x41, 0, 0, 0}));
    }

    // Whatever temporary file the last kill left goes with the next write, and nothing else.
    testing::WriteBytes(folder_.path() / ".machine.reg.Ab12Cd.new", "half a hive");
    testing::WriteBytes(folder_.path() / ".machine.reg.backup", "a person's copy");
    HiveRegistry(hive_, folder_.path() / "user.reg").RegWrite("HKLM\\Test\\Done", 1, "REG_DWORD");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path()))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left,
              (std::vector<std::string>{".machine.reg.backup", "machine.reg", "machine.reg.lock"}));
}

TEST_F(HiveWritersTest, TwoWritersAtOnceLoseNoValue) {
    constexpr int kCount = 300;
    Writer first(
        hive_, [](int n) { return "a" + std::to_string(n); }, 0, kCount);
    Writer second(
        hive_, [](int n) { return "b" + std::to_string(n); }, 0, kCount);
    std::vector<int> first_reported, second_reported;
    EXPECT_EQ(first.Wait(first_reported), 0);
    EXPECT_EQ(second.Wait(second_reported), 0);
    EXPECT_EQ(first_reported.size(), std::size_t{kCount});
    EXPECT_EQ(second_reported.size(), std::size_t{kCount});

    HiveRegistry registry(hive_, folder_.path() / "user.reg");
    for (int number = 0; number < kCount; ++number) {
        EXPECT_EQ(registry.RegRead("HKLM\\Test\\a" + std::to_string(number)), RegValue(number));
        EXPECT_EQ(registry.RegRead("HKLM\\Test\\b" + std::to_string(number)), RegValue(number));
    }
}

}  // namespace
}  // namespace varnholt::platform
