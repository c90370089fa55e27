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
        std::string answers;               // "error": the refusal's number, source and text
        std::string start, write_protect;  // "-" where never written
    };
    const std::string kRefusal = "error\t-2147024809\tvarnholt-machine-writer\tRefused a request";
    std::vector<Row> rows{
        {"start 4\nwrite-protect 1\nstart 3\nwrite-protect 0\n", 0, "ok,ok,ok,ok", "3", "0"},
        {"", 0, "", "-", "-"},
        // Refused, and nothing after the refusal is read.
        {"start 3\nstart 5\nstart 4\n", 2, "ok,error", "3", "-"},
        // The pipe closed mid-request: nothing is written.
        {"start 4", 2, "", "-", "-"}};
    for (const std::string& refused : std::vector<std::string>{
             "write-protect 2\n", "Start 4\n", "start 04\n", "start -4\n", "start 4 \n",
             "start\t4\n", "start 4\r\n", "disable-registry-tools 1\n", "start /etc/passwd\n",
             std::string(policy_value::kUsbStorageStart) + " 4\n", std::string(100000, 'a'),
             std::string(100000, '\n')})
        rows.push_back({refused, 2, "error", "-", "-"});
    for (const Row& row : rows) {
        const varnholt::testing::TempDir folder;
        HiveRegistry machine(folder / "machine.reg", folder / "user.reg");
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        std::thread sender([&] {
            ::send(ends[0], row.input.data(), row.input.size(), MSG_NOSIGNAL);
            ::shutdown(ends[0], SHUT_WR);
        });
        const std::string what = row.input.substr(0, 40);
        EXPECT_EQ(ServeWriteRequests(ends[1], ends[1], machine), row.status) << what;
        ::close(ends[1]);
        sender.join();
        std::string answers, firsts;
        char buffer[4096];
        for (ssize_t count; (count = ::read(ends[0], buffer, sizeof buffer)) > 0;)
            answers.append(buffer, static_cast<std::size_t>(count));
        ::close(ends[0]);
        for (std::size_t start = 0, end; (end = answers.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const bool refused = answers.compare(start, kRefusal.size(), kRefusal) == 0;
            firsts += std::string(firsts.empty() ? "" : ",") + (refused ? "error" : "ok");
        }
        EXPECT_EQ(firsts, row.answers) << what;
        EXPECT_EQ(Read(machine, policy_value::kUsbStorageStart), row.start) << what;
        EXPECT_EQ(Read(machine, policy_value::kWriteProtect), row.write_protect) << what;
    }
}

TEST(MachineWriterTest, TheWindowSendsTheTwoValuesAndRaisesTheHelpersErrorAsItsOwn) {
    const varnholt::testing::TempDir folder;
    HiveRegistry machine(folder / "machine.reg", folder / "user.reg");
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    std::thread helper([&] { ServeWriteRequests(ends[1], ends[1], machine); });
    const auto shell = MachineWritesThroughHelper(
        std::make_unique<HiveRegistry>(folder / "window-machine.reg", folder / "user.reg"),
        ends[0]);
    shell->RegWrite(policy_value::kUsbStorageStart, RegValue(4), "REG_DWORD");
    EXPECT_EQ(Read(machine, policy_value::kUsbStorageStart), "4");
    // Everything else is this process's own: the user's hive, and what only root may write.
    shell->RegWrite(policy_value::kDisableRegistryTools, RegValue(1), "REG_DWORD");
    EXPECT_EQ(Read(*shell, policy_value::kDisableRegistryTools), "1");
    shell->RegWrite(policy_value::kWriteProtect, RegValue(std::string("1")), "REG_SZ");
    EXPECT_EQ(Read(machine, policy_value::kWriteProtect), "-");

    // The store's error in the helper, word for word; then a helper that has gone.
    std::filesystem::remove(folder / "machine.reg");
    std::filesystem::create_directory(folder / "machine.reg");
    const auto write = [](RegistryShell& to) {
        return RaisedError(
            [&] { to.RegWrite(policy_value::kWriteProtect, RegValue(1), "REG_DWORD"); });
    };
    const Error direct = write(machine), relayed = write(*shell);
    EXPECT_EQ(std::tuple(relayed.number(), relayed.source(), relayed.description()),
              std::tuple(direct.number(), direct.source(), direct.description()));
    ::shutdown(ends[0], SHUT_WR);
    helper.join();
    ::close(ends[1]);
    const Error gone = write(*shell);
    EXPECT_EQ(gone.source(), "WshShell.RegWrite");
    EXPECT_NE(gone.description().find("helper"), std::string::npos) << gone.description();
    ::close(ends[0]);
}

}  // namespace
}  // namespace varnholt::platform
