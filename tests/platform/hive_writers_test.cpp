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
        if (pid_ > 0)
            Kill();
        ::close(output_);
    }

    void Kill() { ::kill(pid_, SIGKILL); }

    // Waits for the end; returns the exit status (or -signal) and every line the writer printed.
    int Wait(std::vector<int>& reported) {
        std::string text;
        char buffer[4096];
        for (ssize_t count; (count = ::read(output_, buffer, sizeof buffer)) != 0;) {
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                break;
            text.append(buffer, static_cast<std::size_t>(count));
        }
        int status = 0;
        ::waitpid(std::exchange(pid_, 0), &status, 0);
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            reported.push_back(std::stoi(text.substr(start, end - start)));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

  private:
    pid_t pid_ = 0;
    int output_ = -1;
};

class HiveWritersTest : public ::testing::Test {
  protected:
    testing::TempFolder folder_;
    std::filesystem::path hive_ = folder_.path() / "machine.reg";
};

TEST_F(HiveWritersTest, WriterKilledAtAnyInstantLeavesTheOldHiveOrTheNew) {
    const std::string other = "[HKEY_LOCAL_MACHINE\\Other]\n\"Kept\"=hex(2):41,00,00,00\n\n";
    WriteHive(hive_, other + "[HKEY_LOCAL_MACHINE\\Test]\n\"Counter\"=dword:00000000\n");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 40000);
    int rounds_writing = 0;  // rounds killed once the writer had begun to write
    for (int round = 0; round < 300; ++round) {
        const RegFile before = RegFile::Parse(ReadBytes(hive_));
        const std::uint32_t start = before.Find("HKEY_LOCAL_MACHINE\\Test", "Counter")->dword;

        Writer writer({hive_.string(), "counter", std::to_string(start)});
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
        writer.Kill();
        std::vector<int> reported;
        ASSERT_EQ(writer.Wait(reported), -SIGKILL);
        const std::uint32_t last_reported =
            reported.empty() ? start : static_cast<std::uint32_t>(reported.back());

        const std::string bytes = ReadBytes(hive_);
        RegFile after = RegFile::Parse(bytes);  // throws, failing the test, if the hive was damaged
        const std::uint32_t counter = after.Find("HKEY_LOCAL_MACHINE\\Test", "Counter")->dword;
        ASSERT_TRUE(counter == last_reported || counter == last_reported + 1)
            << "round " << round << ": hive holds " << counter << ", last finished write "
            << last_reported;
        rounds_writing += counter != start || !reported.empty();
        ASSERT_EQ(after.Find("HKEY_LOCAL_MACHINE\\Other", "Kept"),
                  HiveValue::Hex(2, {0x41, 0, 0, 0}));
    }
    EXPECT_GT(rounds_writing, 150) << "the kills came too early to test anything";
    std::printf("%d of 300 writers killed while writing\n", rounds_writing);

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
