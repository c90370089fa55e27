#include "platform/linux/machine_writer/machine_writer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <utility>

#include "policy/usb_policy.h"
#include "runtime/error.h"

namespace varnholt::platform {
namespace {

constexpr std::uint32_t kInvalidArgument = 0x80070057;
constexpr std::uint32_t kUnspecifiedFailure = 0x80004005;
constexpr const char* kWriteSource = "WshShell.RegWrite";
constexpr const char* kDwordType = "REG_DWORD";

// "write-protect 1" and a newline; anything longer is no request.
constexpr std::size_t kLongestRequest = 32;
// An error's description names a file at most: far shorter.
constexpr std::size_t kLongestAnswer = 16 * 1024;

struct WritableValue {
    std::string_view id;
    const char* value_name;
    std::array<std::int32_t, 2> numbers;  // what the modes write, and nothing else
};
constexpr std::array<WritableValue, 2> kWritable{{
    {"start", policy_value::kUsbStorageStart, {3, 4}},
    {"write-protect", policy_value::kWriteProtect, {0, 1}},
}};

const WritableValue* Find(std::string_view value_name, std::int32_t number) {
    for (const WritableValue& value : kWritable) {
        if (value.value_name == value_name &&
            (number == value.numbers[0] || number == value.numbers[1]))
            return &value;
    }
    return nullptr;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t count = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        // A pipe in place of the socket: SIGPIPE is ignored where this is used.
        if (count < 0 && errno == ENOTSOCK)
            count = ::write(fd, text.data(), text.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

enum class LineEnd { kLine, kClosed, kTooLong };

// One line, a byte at a time, so nothing after it is taken from `fd`.
LineEnd ReadLine(int fd, std::size_t longest, std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return LineEnd::kClosed;
        if (c == '\n')
            return LineEnd::kLine;
        if (line.size() + 1 >= longest)
            return LineEnd::kTooLong;
        line += c;
    }
}

// Tabs and line ends would break the answer's one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::string ErrorAnswer(const Error& error) {
    return "error\t" + std::to_string(error.number()) + '\t' + OneLine(error.source()) + '\t' +
           OneLine(error.description()) + '\n';
}

std::string Refusal(std::string_view why) {
    return ErrorAnswer(Error(ErrorNumber(kInvalidArgument), kWriterSource,
                             "Refused a request: " + std::string(why) + "."));
}

class HelperShell final : public RegistryShell {
  public:
    HelperShell(std::unique_ptr<RegistryShell> local, int helper)
        : local_(std::move(local)), helper_(helper) {}

    RegValue RegRead(const std::string& name) override { return local_->RegRead(name); }

    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        const std::int32_t* number = std::get_if<std::int32_t>(&value);
        const std::optional<std::string> request =
            number != nullptr && type == kDwordType ? WriteRequest(name, *number) : std::nullopt;
        if (!request) {
            local_->RegWrite(name, value, type);
            return;
        }
        std::string answer;
        if (!WriteAll(helper_, *request + '\n') ||
            ReadLine(helper_, kLongestAnswer, answer) != LineEnd::kLine)
            Gone(name);
        if (answer == "ok")
            return;
        // error, number, source, description
        std::array<std::string_view, 4> fields;
        std::string_view rest = answer;
        for (std::size_t index = 0; index < fields.size(); ++index) {
            const std::size_t tab = index + 1 < fields.size() ? rest.find('\t') : rest.size();
            if (tab == std::string_view::npos)
                Gone(name);
            fields[index] = rest.substr(0, tab);
            rest.remove_prefix(std::min(rest.size(), tab + 1));
        }
        std::int32_t error_number = 0;
        const auto [end, parsed] =
            std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), error_number);
        if (fields[0] != "error" || parsed != std::errc() ||
            end != fields[1].data() + fields[1].size())
            Gone(name);
        Raise(error_number, std::string(fields[2]), std::string(fields[3]));
    }

  private:
    [[noreturn]] static void Gone(const std::string& name) {
        Raise(ErrorNumber(kUnspecifiedFailure), kWriteSource,
              "Unable to write registry key \"" + name +
                  "\": the administrator's helper that writes it has ended.");
    }

    std::unique_ptr<RegistryShell> local_;
    int helper_;
};

}  // namespace

std::optional<std::string> WriteRequest(std::string_view value_name, std::int32_t number) {
    const WritableValue* value = Find(value_name, number);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value->id) + ' ' + std::to_string(number);
}

std::optional<MachineWrite> ParseWriteRequest(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    const std::string_view id = line.substr(0, space);
    const std::string_view digits = line.substr(space + 1);
    // Exactly one decimal digit: no sign, no leading zero, no spaces.
    if (digits.size() != 1 || digits[0] < '0' || digits[0] > '9')
        return std::nullopt;
    const std::int32_t number = digits[0] - '0';
    for (const WritableValue& value : kWritable) {
        if (value.id == id && Find(value.value_name, number) != nullptr)
            return MachineWrite{value.value_name, number};
    }
    return std::nullopt;
}

int ServeWriteRequests(int in, int out, RegistryShell& machine) {
    std::string line;
    for (;;) {
        switch (ReadLine(in, kLongestRequest, line)) {
            case LineEnd::kClosed:
                return line.empty() ? 0 : 2;
            case LineEnd::kTooLong:
                WriteAll(out, Refusal("longer than any request"));
                return 2;
            case LineEnd::kLine:
                break;
        }
        const std::optional<MachineWrite> write = ParseWriteRequest(line);
        if (!write) {
            WriteAll(out, Refusal("only UsbStor Start 3 or 4 and WriteProtect 0 or 1 are written"));
            return 2;
        }
        std::string answer = "ok\n";
        try {
            machine.RegWrite(write->value_name, RegValue(write->number), kDwordType);
        } catch (const Error& error) {
            answer = ErrorAnswer(error);
        }
        if (!WriteAll(out, answer))
            return 2;
    }
}

std::unique_ptr<RegistryShell> MachineWritesThroughHelper(std::unique_ptr<RegistryShell> local,
                                                          int helper) {
    return std::make_unique<HelperShell>(std::move(local), helper);
}

}  // namespace varnholt::platform
