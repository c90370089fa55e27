// The root helper's side (each request written or refused) and the window's side (a write
// answered there, or the helper's error raised as the write's own).
#include "platform/linux/machine_writer/machine_writer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "policy/usb_policy.h"
#include "support/raised_error.h"
#include "support/temp_dir.h"

namespace varnholt::platform {
namespace {

using testing::RaisedError;

constexpr char kRefused[] = "error\t-2147024809\tvarnholt-machine-writer\tRefused a request";

struct Conversation {
    int status;
    std::string answers;
};

// Sends `input` to a helper writing through `machine`, then closes; returns what it said.
Conversation Serve(const std::string& input, RegistryShell& machine) {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    std::thread sender([&] {
        ::send(ends[0], input.data(), input.size(), MSG_NOSIGNAL);
        ::shutdown(ends[0], SHUT_WR);
    });
    const int status = ServeWriteRequests(ends[1], ends[1], machine);
    ::close(ends[1]);
    sender.join();
    std::string answers;
    char buffer[4096];
    for (ssize_t count; (count = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        answers.append(buffer, static_cast<std::size_t>(count));
    ::close(ends[0]);
    return {status, answers};
}

std::string Read(RegistryShell& shell, const char* name) {
    try {
        return RegValueText(shell.RegRead(name));
    } catch (const Error&) {
        return "-";
    }
}

TEST(MachineWriterTest, WritesTheTwoValuesWithTheModesNumbersAndRefusesAllElse) {
    struct Row {
        std::string input;
        int status;
        std::vector<std::string> answers;  // each a prefix of its line
        std::string start, write_protect;  // "-" where never written
    };
    const std::string kCutShort = "start 4";
    for (const Row& row : std::vector<Row>{
             {"start 4\nwrite-protect 1\nstart 3\nwrite-protect 0\n",
              0,
              {"ok", "ok", "ok", "ok"},
              "3",
              "0"},
             {"", 0, {}, "-", "-"},
             // Refused, and nothing after the refusal is read.
             {"start 3\nstart 5\nstart 4\n", 2, {"ok", kRefused}, "3", "-"},
             {"write-protect 2\n", 2, {kRefused}, "-", "-"},
             {"Start 4\n", 2, {kRefused}, "-", "-"},
             {"start 04\n", 2, {kRefused}, "-", "-"},
             {"start -4\n", 2, {kRefused}, "-", "-"},
             {"start 4 \n", 2, {kRefused}, "-", "-"},
             {"start\t4\n", 2, {kRefused}, "-", "-"},
             {"start 4\r\n", 2, {kRefused}, "-", "-"},
             {"disable-registry-tools 1\n", 2, {kRefused}, "-", "-"},
             {std::string(policy_value::kUsbStorageStart) + " 4\n", 2, {kRefused}, "-", "-"},
             {"start /etc/passwd\n", 2, {kRefused}, "-", "-"},
             {std::string(100000, 'a'), 2, {kRefused}, "-", "-"},
             {std::string(100000, '\n'), 2, {kRefused}, "-", "-"},
             // The pipe closed mid-request: nothing is written.
             {kCutShort, 2, {}, "-", "-"},
         }) {
        const varnholt::testing::TempDir folder;
        HiveRegistry machine(folder / "machine.reg", folder / "user.reg");
        const Conversation said = Serve(row.input, machine);
        const std::string what = row.input.substr(0, 40);
        EXPECT_EQ(said.status, row.status) << what;
        std::vector<std::string> lines;
        for (std::size_t start = 0, end;
             (end = said.answers.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(said.answers.substr(start, end - start));
        ASSERT_EQ(lines.size(), row.answers.size()) << what << ": " << said.answers;
        for (std::size_t index = 0; index < lines.size(); ++index)
            EXPECT_TRUE(lines[index].starts_with(row.answers[index]))
                << what << ": " << lines[index];
        EXPECT_EQ(Read(machine, policy_value::kUsbStorageStart), row.start) << what;
        EXPECT_EQ(Read(machine, policy_value::kWriteProtect), row.write_protect) << what;
    }
}

// The window's shell over a socket to a helper serving in a thread, as the helper would.
class WindowSideTest : public ::testing::Test {
  protected:
    void Start(RegistryShell& machine) {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0);
        helper_ = std::thread([this, &machine] {
            ServeWriteRequests(ends_[1], ends_[1], machine);
            ::close(ends_[1]);
        });
        shell_ = MachineWritesThroughHelper(
            std::make_unique<HiveRegistry>(folder_ / "window-machine.reg", folder_ / "user.reg"),
            ends_[0]);
    }
    void TearDown() override {
        ::shutdown(ends_[0], SHUT_WR);
        if (helper_.joinable())
            helper_.join();
        ::close(ends_[0]);
    }

    varnholt::testing::TempDir folder_;
    int ends_[2] = {-1, -1};
    std::thread helper_;
    std::unique_ptr<RegistryShell> shell_;
};

TEST_F(WindowSideTest, SendsTheTwoValuesAndRaisesTheHelpersErrorAsItsOwn) {
    HiveRegistry machine(folder_ / "machine.reg", folder_ / "user.reg");
    Start(machine);
    shell_->RegWrite(policy_value::kUsbStorageStart, RegValue(4), "REG_DWORD");
    EXPECT_EQ(Read(machine, policy_value::kUsbStorageStart), "4");
    // Everything else is this process's own: the user's hive, and what only root may write.
    shell_->RegWrite(policy_value::kDisableRegistryTools, RegValue(1), "REG_DWORD");
    EXPECT_EQ(Read(*shell_, policy_value::kDisableRegistryTools), "1");
    shell_->RegWrite(policy_value::kWriteProtect, RegValue(std::string("1")), "REG_SZ");
    EXPECT_EQ(Read(machine, policy_value::kWriteProtect), "-");

    // The store's error in the helper, word for word.
    std::filesystem::remove(folder_ / "machine.reg");
    std::filesystem::create_directory(folder_ / "machine.reg");
    const Error direct = RaisedError(
        [&] { machine.RegWrite(policy_value::kWriteProtect, RegValue(1), "REG_DWORD"); });
    const Error relayed = RaisedError(
        [&] { shell_->RegWrite(policy_value::kWriteProtect, RegValue(1), "REG_DWORD"); });
    EXPECT_EQ(std::tuple(relayed.number(), relayed.source(), relayed.description()),
              std::tuple(direct.number(), direct.source(), direct.description()));
}

TEST_F(WindowSideTest, AHelperThatHasEndedIsAFailedWrite) {
    HiveRegistry machine(folder_ / "machine.reg", folder_ / "user.reg");
    Start(machine);
    ::shutdown(ends_[1], SHUT_RDWR);
    const Error error = RaisedError(
        [&] { shell_->RegWrite(policy_value::kUsbStorageStart, RegValue(3), "REG_DWORD"); });
    EXPECT_EQ(error.source(), "WshShell.RegWrite");
    EXPECT_NE(error.description().find("helper"), std::string::npos) << error.description();
}

}  // namespace
}  // namespace varnholt::platform
