// Writes the machine hive a fresh install starts from: the values a new Windows machine
// ships with (USB storage on demand, no write protection), through the program's own hive
// store, so the package holds exactly the bytes the program itself would write.
//
//     default_machine_hive <output file>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "platform/linux/hive_registry.h"
#include "policy/usb_policy.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: default_machine_hive <output file>\n");
        return 2;
    }
    const std::filesystem::path output = argv[1];
    try {
        std::filesystem::remove(output);
        // The user hive is never touched: only machine values are written.
        varnholt::platform::HiveRegistry hives(output, output.string() + ".unused-user-hive");
        hives.RegWrite(varnholt::policy_value::kUsbStorageStart,
                       varnholt::RegValue(std::int32_t{3}), "REG_DWORD");
        std::filesystem::remove(output.string() + ".lock");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "default_machine_hive: %s\n", error.what());
        return 1;
    }
    return 0;
}
