#pragma once
// libX11, loaded when first needed (Linux only). The agent also runs on machines without a graphical
// session; there it needs no X library at all and the window operations simply find no display.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <mutex>

struct X11Library {
    decltype(&XOpenDisplay) OpenDisplay;
    decltype(&XCloseDisplay) CloseDisplay;
    decltype(&XDefaultRootWindow) DefaultRoot;
    decltype(&XInternAtom) InternAtom;
    decltype(&XQueryTree) QueryTree;
    decltype(&XGetWindowProperty) GetWindowProperty;
    decltype(&XGetTextProperty) GetTextProperty;
    decltype(&Xutf8TextPropertyToTextList) Utf8TextPropertyToTextList;
    decltype(&XFreeStringList) FreeStringList;
    decltype(&XFree) Free;
    decltype(&XSendEvent) SendEvent;
    decltype(&XFlush) Flush;
    decltype(&XSync) Sync;
    decltype(&XSetErrorHandler) SetErrorHandler;
    decltype(&XSetIOErrorHandler) SetIOErrorHandler;
    decltype(&XSetIOErrorExitHandler) SetIOErrorExitHandler;  // null before libX11 1.7
    decltype(&XkbQueryExtension) KbQueryExtension;
    decltype(&XkbAllocKeyboard) KbAllocKeyboard;
    decltype(&XkbFreeKeyboard) KbFreeKeyboard;
    decltype(&XkbGetControls) KbGetControls;
    decltype(&XkbSetControls) KbSetControls;
};

// The library, or null when libX11 is not installed. Loaded once, never unloaded.
const X11Library* LoadX11();

// One connection to the display named by DISPLAY for the length of one operation. Errors about windows
// that vanish in the meantime, and even a server that goes away, are ignored instead of ending the agent.
class X11Connection {
public:
    X11Connection();
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    explicit operator bool() const { return m_display != nullptr; }
    Display* display() const { return m_display; }
    const X11Library& x() const { return *m_library; }

private:
    std::unique_lock<std::mutex> m_hold;
    const X11Library* m_library = nullptr;
    Display* m_display = nullptr;
};
