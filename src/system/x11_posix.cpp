#include "system/x11_posix.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

std::mutex g_x11Lock;

int IgnoreError(Display*, XErrorEvent*) { return 0; }
int IgnoreIoError(Display*) { return 0; }
void KeepRunning(Display*, void*) {}

template <class F>
bool Bind(void* library, const char* name, F* slot) {
    *slot = reinterpret_cast<F>(dlsym(library, name));
    return *slot != nullptr;
}

X11Library* Load() {
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static X11Library x{};
    bool ok = Bind(library, "XOpenDisplay", &x.OpenDisplay) && Bind(library, "XCloseDisplay", &x.CloseDisplay) &&
              Bind(library, "XDefaultRootWindow", &x.DefaultRoot) &&
              Bind(library, "XInternAtom", &x.InternAtom) && Bind(library, "XQueryTree", &x.QueryTree) &&
              Bind(library, "XGetWindowProperty", &x.GetWindowProperty) &&
              Bind(library, "XGetTextProperty", &x.GetTextProperty) &&
              Bind(library, "Xutf8TextPropertyToTextList", &x.Utf8TextPropertyToTextList) &&
              Bind(library, "XFreeStringList", &x.FreeStringList) && Bind(library, "XFree", &x.Free) &&
              Bind(library, "XSendEvent", &x.SendEvent) && Bind(library, "XFlush", &x.Flush) &&
              Bind(library, "XSync", &x.Sync) && Bind(library, "XSetErrorHandler", &x.SetErrorHandler) &&
              Bind(library, "XSetIOErrorHandler", &x.SetIOErrorHandler) &&
              Bind(library, "XkbQueryExtension", &x.KbQueryExtension) &&
              Bind(library, "XkbAllocKeyboard", &x.KbAllocKeyboard) &&
              Bind(library, "XkbFreeKeyboard", &x.KbFreeKeyboard) &&
              Bind(library, "XkbGetControls", &x.KbGetControls) &&
              Bind(library, "XkbSetControls", &x.KbSetControls);
    if (!ok) return nullptr;
    Bind(library, "XSetIOErrorExitHandler", &x.SetIOErrorExitHandler);
    // Xlib's own handlers end the process on any error; the agent must outlive a window or a server.
    x.SetErrorHandler(IgnoreError);
    x.SetIOErrorHandler(IgnoreIoError);
    return &x;
}

}  // namespace

const X11Library* LoadX11() {
    static const X11Library* library = Load();
    return library;
}

X11Connection::X11Connection() : m_hold(g_x11Lock) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return;
    m_library = LoadX11();
    if (!m_library) return;
    // A busy server turns a connection away now and then (a full listen queue); a few tries ride that out.
    for (int attempt = 0; attempt < 5 && !m_display; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
        m_display = m_library->OpenDisplay(name);
    }
    if (m_display && m_library->SetIOErrorExitHandler)
        m_library->SetIOErrorExitHandler(m_display, KeepRunning, nullptr);
}

X11Connection::~X11Connection() {
    if (m_display) m_library->CloseDisplay(m_display);
}
