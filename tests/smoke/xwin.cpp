// A tiny X11 client for the smoke tests: waits for a top-level window by title, tells
// whether one is mapped, prints its class (the name docks group windows by), asks a window
// to close the way a window manager's close box
// does (WM_DELETE_WINDOW), so the program's own closing logic runs, and waits for a
// window manager to take the screen.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string windowTitle(Display* display, Window window) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
        return title;
    }
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

bool isViewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

// The first viewable window below the root (two levels: Qt may reparent under a frame)
// whose title equals `title`.
Window findWindow(Display* display, const std::string& title) {
    Window root = DefaultRootWindow(display);
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count)) {
        return 0;
    }
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        if (isViewable(display, children[i]) && windowTitle(display, children[i]) == title) {
            found = children[i];
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

void requestClose(Display* display, Window window) {
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

// A window manager that follows the desktop conventions names its check window on the root.
bool windowManagerRunning(Display* display) {
    Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const bool found =
        XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr && count == 1;
    if (data != nullptr) {
        XFree(data);
    }
    return found;
}

// The class half of the window's WM_CLASS; empty when it has none.
std::string windowClass(Display* display, Window window) {
    XClassHint hint{};
    if (!XGetClassHint(display, window, &hint))
        return {};
    std::string result = hint.res_class != nullptr ? hint.res_class : "";
    XFree(hint.res_name);
    XFree(hint.res_class);
    return result;
}

int usage() {
    std::fprintf(stderr, "usage: xwin wait TITLE SECONDS | xwin mapped TITLE | xwin close TITLE"
                         " | xwin class TITLE | xwin wm - SECONDS\n");
    return 2;
}

// Windows come and go while this looks at them: one listed by XQueryTree may be gone by
// the time its attributes or title are asked for. Such a window simply does not match;
// any other error still ends the program, as Xlib's own handler does.
XErrorHandler xlibHandler = nullptr;

int ignoreVanishedWindows(Display* display, XErrorEvent* error) {
    if (error->error_code == BadWindow || error->error_code == BadDrawable)
        return 0;
    return xlibHandler(display, error);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "xwin: cannot open display\n");
        return 2;
    }
    xlibHandler = XSetErrorHandler(ignoreVanishedWindows);
    const std::string command = argv[1];
    const std::string title = argv[2];
    int status = 1;
    if (command == "wm" && argc == 4) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
        while (std::chrono::steady_clock::now() < deadline) {
            if (windowManagerRunning(display)) {
                status = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } else if (command == "wait" && argc == 4) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
        while (std::chrono::steady_clock::now() < deadline) {
            if (findWindow(display, title) != 0) {
                status = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } else if (command == "mapped") {
        status = findWindow(display, title) != 0 ? 0 : 1;
    } else if (command == "class") {
        Window window = findWindow(display, title);
        if (window != 0) {
            std::printf("%s\n", windowClass(display, window).c_str());
            status = 0;
        }
    } else if (command == "close") {
        Window window = findWindow(display, title);
        if (window != 0) {
            requestClose(display, window);
            status = 0;
        }
    } else {
        status = usage();
    }
    XCloseDisplay(display);
    return status;
}
