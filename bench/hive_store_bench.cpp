// Reads or writes one value of a hive file through the store, as the program does, and prints
// the value read and the process's peak resident memory in KiB, for bench/hive_store.sh. Also
// makes the large hive it measures: "make FILE N" writes N values, UTF-16 as the registry
// editor exports; and "load FILE N" reads the first two values of such a hive N times, as the
// main window loads its two settings, and prints the microseconds one load takes.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include "platform/linux/hive_registry.h"
#include "runtime/error.h"

namespace {

// N values, a thousand to a key, in the registry editor's UTF-16LE with CRLF.
void MakeHive(const char* path, long count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    char line[96];
    const auto flush = [&] {
        std::string bytes;
        for (const char c : text)
            bytes += {c, '\0'};
        out << bytes;
        text.clear();
    };
    out << "\xFF\xFE";
    for (long n = 0; n < count; ++n) {
        if (n % 1000 == 0) {
            std::snprintf(line, sizeof line,
                          "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Key%06ld]\r\n", n / 1000);
            text += line;
        }
        std::snprintf(line, sizeof line, "\"Setting number %07ld\"=dword:%08lx\r\n", n, n);
        text += line;
        if (text.size() > (1 << 16))
            flush();
    }
    flush();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc != 4 || (mode != "make" && mode != "load" && mode != "read" && mode != "write")) {
        std::fprintf(stderr, "usage: %s make|load|read|write FILE N|VALUE-NAME\n", argv[0]);
        return 2;
    }
    try {
        if (mode == "make") {
            MakeHive(argv[2], std::atol(argv[3]));
            return 0;
        }
        varnholt::platform::HiveRegistry registry(argv[2], std::string(argv[2]) + ".user");
        if (mode == "load") {
            const long count = std::atol(argv[3]);
            const auto start = std::chrono::steady_clock::now();
            for (long n = 0; n < count; ++n) {
                registry.RegRead("HKLM\\SOFTWARE\\Bench\\Key000000\\Setting number 0000000");
                registry.RegRead("HKLM\\SOFTWARE\\Bench\\Key000000\\Setting number 0000001");
            }
            const std::chrono::duration<double, std::micro> took =
                std::chrono::steady_clock::now() - start;
            std::printf("%.1f\n", took.count() / static_cast<double>(count));
            return 0;
        }
        if (mode == "read") {
            const varnholt::RegValue value = registry.RegRead(argv[3]);
            std::printf("%d ", std::get<std::int32_t>(value));
        } else {
            registry.RegWrite(argv[3], 1, "REG_DWORD");
            std::printf("written ");
        }
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld\n", usage.ru_maxrss);
        return 0;
    } catch (const varnholt::Error& error) {
        std::fprintf(stderr, "%s\n", varnholt::FormatErrorReport(error).c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    return 1;
}
