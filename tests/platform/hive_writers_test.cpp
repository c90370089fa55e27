// Hive writers in other processes: killed at random instants, and racing each other.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "support/hive_files.h"

extern char** environ;

namespace varnholt::platform {
namespace {

using testing::ReadBytes;
using testing::WriteHive;

// A running hive_writer whose output the test reads once it has ended.
class Writer {
  public:
    explicit Writer(const std::vector<std::string>& arguments) {
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
        std::vector<std::string> all{HIVE_WRITER_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int spawned =
            ::posix_spawn(&pid_, HIVE_WRITER_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_ends[1]);
        output_ = pipe_ends[0];
        if (spawned != 0)
            throw std::runtime_error("cannot start " HIVE_WRITER_PATH);
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

    // Waits for the end; returns the exit status (or -signal) and every line the writer printed.
    int Wait(std::vector<int>& reported) {
        while (ReadSome()) {
        }
        const std::string& text = output_text_;
        int status = 0;
        ::waitpid(std::exchange(pid_, 0), &status, 0);
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            reported.push_back(std::stoi(text.substr(start, end - start)));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

  private:
    bool ReadSome() {
        char buffer[4096];
        for (;;) {
            const ssize_t count = ::read(output_, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return false;
            output_text_.append(buffer, static_cast<std::size_t>(count));
            return true;
        }
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
        Writer writer({hive_.string(), "counter", std::to_string(counter)});
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

    // Whatever temporary file the last kill left goes with the next write.
    HiveRegistry(hive_, folder_.path() / "user.reg").RegWrite("HKLM\\Test\\Done", 1, "REG_DWORD");
    for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
        EXPECT_TRUE(entry.path().filename() == "machine.reg" ||
                    entry.path().filename() == "machine.reg.lock")
            << entry.path();
    }
}

TEST_F(HiveWritersTest, TwoWritersAtOnceLoseNoValue) {
    constexpr int kCount = 300;
    Writer first({hive_.string(), "values", "a", std::to_string(kCount)});
    Writer second({hive_.string(), "values", "b", std::to_string(kCount)});
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
