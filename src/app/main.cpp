// Until the windows exist, the program reads the mode and the lock and says what it found.
#include <cstdio>
#include <string>

#include "app/error.h"
#include "policy/usb_policy.h"

int main() {
    try {
        const varnholt::UsbMode mode = varnholt::GetUsbState();
        const bool locked = varnholt::GetRegistryLock();
        std::printf("USB storage mode: %s\nRegistry editor locked: %s\n",
                    std::string(varnholt::UsbModeText(mode)).c_str(), locked ? "yes" : "no");
        std::printf(
            "(Read from the registry; unless storage is disabled, reading also sets the storage "
            "driver's start value to 3. The windows are not built yet.)\n");
        return 0;
    } catch (const varnholt::Error& error) {
        std::fprintf(stderr, "%s\n", varnholt::FormatErrorReport(error).c_str());
        return 1;
    }
}
