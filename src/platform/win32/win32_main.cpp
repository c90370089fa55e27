// The program on Windows: the USER32 windows, then the portable entry. It takes no command
// line and reads no environment.
#include <windows.h>

#include <cstdio>

#include "app/application.h"
#include "platform/win32/win32_toolkit.h"
#include "runtime/error.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        varnholt::platform::win32::Win32Toolkit toolkit(instance);
        return varnholt::app::RunProgram(toolkit, [&toolkit] { toolkit.RunEventLoop(); });
    } catch (const varnholt::Error& error) {
        // The windows could not be set up at all: the report still reaches the user.
        const std::string report = varnholt::FormatErrorReport(error);
        std::fprintf(stderr, "%s\n", report.c_str());
        varnholt::platform::win32::ShowErrorMessage(report);
        return 1;
    }
}
