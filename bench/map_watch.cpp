// Times how long a window takes to appear, from the X server's own notice that it was mapped:
//     map_watch launch TITLE -- PROGRAM [ARGS...]   from starting PROGRAM to TITLE mapped
//     map_watch enter TITLE                         from Enter in the focused window to TITLE
// Prints "<milliseconds> <pid>" (the pid of PROGRAM, or 0) and leaves PROGRAM running.
// Works on a display without a window manager, where top-level windows are children of the
// root window.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <spawn.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kGiveUpAfter = std::chrono::seconds(10);

std::string WindowName(Display* display, Window window) {
    char* name = nullptr;
    std::string text;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
        text = name;
        XFree(name);
    }
    return text;
}

// Waits for a MapNotify of a window named title; returns false on giving up.
bool WaitForMap(Display* display, const std::string& title, Clock::time_point start) {
    const int connection = ConnectionNumber(display);
    while (Clock::now() - start < kGiveUpAfter) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && WindowName(display, event.xmap.window) == title) {
                return true;
            }
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        timeval wait{0, 20000};
        select(connection + 1, &readable, nullptr, nullptr, &wait);
    }
    return false;
}

void SendEnter(Display* display) {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    XKeyEvent key{};
    key.display = display;
    key.window = focus;
    key.root = DefaultRootWindow(display);
    key.subwindow = None;
    key.time = CurrentTime;
    key.same_screen = True;
    key.keycode = XKeysymToKeycode(display, XK_Return);
    key.type = KeyPress;
    XSendEvent(display, focus, True, KeyPressMask, reinterpret_cast<XEvent*>(&key));
    key.type = KeyRelease;
    XSendEvent(display, focus, True, KeyReleaseMask, reinterpret_cast<XEvent*>(&key));
    XFlush(display);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: map_watch launch TITLE -- PROGRAM [ARGS...]\n"
                 "       map_watch enter TITLE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string mode = argv[1];
    const std::string title = argv[2];
    const bool launch = mode == "launch" && argc >= 5 && std::strcmp(argv[3], "--") == 0;
    if (!launch && !(mode == "enter" && argc == 3)) {
        return Usage();
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "map_watch: cannot open the display\n");
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);  // watching before anything can be mapped

    pid_t pid = 0;
    const Clock::time_point start = Clock::now();
    if (launch) {
        // The program's output must not hold this one's open: callers read it to its end.
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid, argv[4], &quiet, nullptr, argv + 4, environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (spawned != 0) {
            std::fprintf(stderr, "map_watch: cannot start %s\n", argv[4]);
            return 1;
        }
    } else {
        SendEnter(display);
    }
    if (!WaitForMap(display, title, start)) {
        std::fprintf(stderr, "map_watch: no window '%s' within 10 s\n", title.c_str());
        return 1;
    }
    const std::chrono::duration<double, std::milli> elapsed = Clock::now() - start;
    std::printf("%.2f %d\n", elapsed.count(), static_cast<int>(pid));
    XCloseDisplay(display);
    return 0;
}
