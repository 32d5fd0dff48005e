// An X11 top-level window with the title given as first argument (UTF-8, set as _NET_WM_NAME and
// WM_NAME). Writes "ready" to the file given as second argument once it is mapped, and "close <l[2]>"
// when a WM_DELETE_WINDOW request arrives, then ends. Ends by itself after the milliseconds of the third
// argument (default 30000).
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <sys/select.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Record(const std::string& path, const std::string& text) {
    std::string part = path + ".part";
    FILE* f = std::fopen(part.c_str(), "wb");
    if (!f) return;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    std::rename(part.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string title = argv[1];
    std::string record = argv[2];
    long lifetime = argc > 3 ? std::atol(argv[3]) : 30000;
    Display* display = nullptr;
    for (int attempt = 0; attempt < 5 && !display; ++attempt) {
        if (attempt) usleep(20000 * attempt);  // a busy server turns a connection away now and then
        display = XOpenDisplay(nullptr);
    }
    if (!display) return 3;
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
    char* name = &title[0];
    Xutf8SetWMProperties(display, window, name, name, nullptr, 0, nullptr, nullptr, nullptr);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    // As toolkits do: the agent tells the exam client's window by the process behind this.
    unsigned long pid = static_cast<unsigned long>(getpid());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XSelectInput(display, window, StructureNotifyMask);
    XMapWindow(display, window);
    XSync(display, False);
    Record(record, "ready\n");

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifetime);
    int fd = ConnectionNumber(display);
    while (std::chrono::steady_clock::now() < end) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
                Record(record, "close " + std::to_string(event.xclient.data.l[2]) + "\n");
                XCloseDisplay(display);
                return 0;
            }
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval step{0, 50000};
        select(fd + 1, &readable, nullptr, nullptr, &step);
    }
    XCloseDisplay(display);
    return 0;
}
