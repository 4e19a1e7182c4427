// A stand-in for another program's window: an Xlib window with a chosen
// WM_CLASS, _NET_WM_PID and process name that writes each key it receives
// to a log, one line each:
//   window <id>                               once it is mapped
//   press|release <keysym> <state> <ns>       keysym of the key's first
//                                             level, state as the event
//                                             gives it (hex), CLOCK_MONOTONIC
//   focus-in | focus-out
// Options: --log PATH (required), --instance, --class, --title,
// --pid N (_NET_WM_PID; default its own pid, 0 sets none),
// --comm NAME (its process name), --no-input (WM_HINTS input False, so a
// window manager never gives it the keyboard), --geometry X,Y.
// It runs until it is terminated.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

int gLog = -1;

void logLine(const std::string& line) {
    const std::string text = line + "\n";
    // One write per line on an O_APPEND file: a reader sees whole lines.
    if (write(gLog, text.data(), text.size()) < 0) std::exit(3);
}

long long monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    std::string log, instance = "qmrecorder", windowClass = "QmRecorder", title = "key recorder", comm;
    long pid = static_cast<long>(getpid());
    bool input = true;
    int x = 50, y = 50;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--no-input") {
            input = false;
            continue;
        }
        ++i;
        if (option == "--log") log = value;
        else if (option == "--instance") instance = value;
        else if (option == "--class") windowClass = value;
        else if (option == "--title") title = value;
        else if (option == "--pid") pid = std::strtol(value, nullptr, 10);
        else if (option == "--comm") comm = value;
        else if (option == "--geometry") std::sscanf(value, "%d,%d", &x, &y);
        else return 2;
    }
    if (log.empty()) return 2;
    gLog = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (gLog < 0) return 2;
    if (!comm.empty()) prctl(PR_SET_NAME, comm.c_str(), 0, 0, 0);

    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const int screen = DefaultScreen(display);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), x, y, 320, 200, 0,
                                              BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, window, title.c_str());
    XClassHint hint{instance.data(), windowClass.data()};
    XSetClassHint(display, window, &hint);
    XWMHints* hints = XAllocWMHints();
    hints->flags = InputHint;
    hints->input = input ? True : False;
    XSetWMHints(display, window, hints);
    XFree(hints);
    XSizeHints* size = XAllocSizeHints();
    size->flags = USPosition;
    size->x = x;
    size->y = y;
    XSetWMNormalHints(display, window, size);
    XFree(size);
    if (pid > 0) {
        const unsigned long value = static_cast<unsigned long>(pid);
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    }
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | FocusChangeMask | StructureNotifyMask);
    XMapWindow(display, window);
    XFlush(display);

    bool announced = false;
    while (true) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case MapNotify:
            if (!announced) logLine("window " + std::to_string(window));
            announced = true;
            break;
        case KeyPress:
        case KeyRelease: {
            const long long ns = monotonicNs();
            const KeySym keysym = XLookupKeysym(&event.xkey, 0);
            const char* name = XKeysymToString(keysym);
            char state[16];
            std::snprintf(state, sizeof state, "%#x", event.xkey.state);
            logLine(std::string(event.type == KeyPress ? "press " : "release ") + (name ? name : "NoSymbol") + " " +
                    state + " " + std::to_string(ns));
            break;
        }
        case FocusIn:
            logLine("focus-in");
            break;
        case FocusOut:
            logLine("focus-out");
            break;
        default:
            break;
        }
    }
}
