// Hashes one file with MD5Hash::HashFile and prints the digest and the process's peak
// resident memory, for bench/hash_file.sh to set beside the peer tools.
#ifdef _WIN32
#include <windows.h>
// after windows.h, which it builds on
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <cstdio>
#include <exception>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/md5_hash.h"
#include "runtime/error.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    try {
        varnholt::MD5Hash hasher(varnholt::platform::CreateCryptoService(),
                                 varnholt::platform::CreateFileAccess());
        const std::string digest = hasher.HashFile(argv[1]);
#ifdef _WIN32
        PROCESS_MEMORY_COUNTERS counters{};
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
        const long peak_kib = static_cast<long>(counters.PeakWorkingSetSize / 1024);
#else
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const long peak_kib = usage.ru_maxrss;
#endif
        std::printf("%s %ld\n", digest.c_str(), peak_kib);
        return 0;
    } catch (const varnholt::Error& error) {
        std::fprintf(stderr, "%s\n", varnholt::FormatErrorReport(error).c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    return 1;
}
