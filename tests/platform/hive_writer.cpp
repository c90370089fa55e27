// Writes values into a machine hive one RegWrite at a time, for tests that kill it midway or
// run two at once.
//   hive_writer HIVE counter START      writes HKLM\Test\Counter = START+1, START+2, ... forever
//   hive_writer HIVE values PREFIX N    writes HKLM\Test\<PREFIX><i> = i for i in 0..N-1
// After each write returns it prints the number written, so the test knows what is on disk.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/error.h"
#include "platform/linux/hive_registry.h"

namespace {

void Report(int number) {
    const std::string line = std::to_string(number) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: hive_writer HIVE counter START | HIVE values PREFIX COUNT\n");
        return 2;
    }
    varnholt::platform::HiveRegistry registry(argv[1], std::string(argv[1]) + ".user");
    const std::string mode = argv[2];
    try {
        if (mode == "counter" && argc == 4) {
            for (int number = std::atoi(argv[3]) + 1;; ++number) {
                registry.RegWrite("HKLM\\Test\\Counter", number, "REG_DWORD");
                Report(number);
            }
        } else if (mode == "values" && argc == 5) {
            const int count = std::atoi(argv[4]);
            for (int number = 0; number < count; ++number) {
                registry.RegWrite("HKLM\\Test\\" + std::string(argv[3]) + std::to_string(number),
                                  number, "REG_DWORD");
                Report(number);
            }
            return 0;
        }
    } catch (const varnholt::Error& error) {
        std::fprintf(stderr, "%s\n", varnholt::FormatErrorReport(error).c_str());
        return 1;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
