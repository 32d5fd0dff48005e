#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "system/process.h"
#include "system/text.h"
#include "system/x11_posix.h"

namespace {

class WindowTitles {
public:
    explicit WindowTitles(const X11Connection& c)
        : m_c(c),
          m_netWmName(c.x().InternAtom(c.display(), "_NET_WM_NAME", False)),
          m_utf8(c.x().InternAtom(c.display(), "UTF8_STRING", False)),
          m_wmState(c.x().InternAtom(c.display(), "WM_STATE", False)),
          m_clientList(c.x().InternAtom(c.display(), "_NET_CLIENT_LIST", False)) {}

    // The first top-level window with exactly this title (and, with accept, one it accepts), or 0.
    Window Find(const std::string& title, const std::function<bool(Window)>& accept = nullptr) {
        auto match = [&](Window w) { return Title(w) == title && (!accept || accept(w)); };
        Window root = m_c.x().DefaultRoot(m_c.display());
        // A window manager lists the application windows it manages; without one they are root's children.
        std::vector<Window> managed = WindowList(root, m_clientList);
        for (Window w : managed)
            if (match(w)) return w;
        for (Window w : Children(root)) {
            if (match(w)) return w;
            // A frame of a window manager that keeps no list: the application window sits inside it.
            if (HasProperty(w, m_wmState)) continue;
            for (Window inner : Children(w))
                if (HasProperty(inner, m_wmState) && match(inner)) return inner;
        }
        return 0;
    }

    // The process id the window's client put in _NET_WM_PID, or 0.
    long ProcessId(Window w) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        long pid = 0;
        Atom property = m_c.x().InternAtom(m_c.display(), "_NET_WM_PID", False);
        if (m_c.x().GetWindowProperty(m_c.display(), w, property, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                                      &after, &data) == Success &&
            data && type == XA_CARDINAL && format == 32 && count == 1)
            pid = static_cast<long>(*reinterpret_cast<const unsigned long*>(data));
        if (data) m_c.x().Free(data);
        return pid;
    }

private:
    std::vector<Window> Children(Window parent) {
        Window rootReturn = 0, parentReturn = 0;
        Window* children = nullptr;
        unsigned count = 0;
        std::vector<Window> list;
        if (!m_c.x().QueryTree(m_c.display(), parent, &rootReturn, &parentReturn, &children, &count)) return list;
        if (children) {
            list.assign(children, children + count);
            m_c.x().Free(children);
        }
        return list;
    }

    std::vector<Window> WindowList(Window w, Atom property) {
        std::vector<Window> list;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (m_c.x().GetWindowProperty(m_c.display(), w, property, 0, 65536, False, XA_WINDOW, &type, &format,
                                      &count, &after, &data) == Success &&
            data && type == XA_WINDOW && format == 32) {
            const unsigned long* items = reinterpret_cast<const unsigned long*>(data);
            list.assign(items, items + count);
        }
        if (data) m_c.x().Free(data);
        return list;
    }

    bool HasProperty(Window w, Atom property) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        bool has = m_c.x().GetWindowProperty(m_c.display(), w, property, 0, 0, False, AnyPropertyType, &type,
                                             &format, &count, &after, &data) == Success &&
                   type != None;
        if (data) m_c.x().Free(data);
        return has;
    }

    // _NET_WM_NAME in UTF-8 when the window has it, else WM_NAME turned into UTF-8.
    std::string Title(Window w) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (m_c.x().GetWindowProperty(m_c.display(), w, m_netWmName, 0, 65536, False, m_utf8, &type, &format,
                                      &count, &after, &data) == Success &&
            data && type == m_utf8 && format == 8) {
            std::string title(reinterpret_cast<const char*>(data), count);
            m_c.x().Free(data);
            return title;
        }
        if (data) m_c.x().Free(data);

        XTextProperty text{};
        std::string title;
        if (m_c.x().GetTextProperty(m_c.display(), w, &text, XA_WM_NAME) && text.value) {
            char** list = nullptr;
            int items = 0;
            if (m_c.x().Utf8TextPropertyToTextList(m_c.display(), &text, &list, &items) >= Success && list) {
                if (items > 0 && list[0]) title = list[0];
                m_c.x().FreeStringList(list);
            }
            m_c.x().Free(text.value);
        }
        return title;
    }

    const X11Connection& m_c;
    Atom m_netWmName, m_utf8, m_wmState, m_clientList;
};

}  // namespace

namespace {

// The polite close a window's [x] button sends; the third word carries 16, as lParam does on Windows.
void SendClose(const X11Connection& connection, Window window) {
    const X11Library& x = connection.x();
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = x.InternAtom(connection.display(), "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(x.InternAtom(connection.display(), "WM_DELETE_WINDOW", False));
    close.xclient.data.l[1] = CurrentTime;
    close.xclient.data.l[2] = 16;
    x.SendEvent(connection.display(), window, False, NoEventMask, &close);
    x.Flush(connection.display());
}

std::string RealPathOf(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

void CloseProgramWindowByTitle(std::string title, const std::wstring& imagePath) {
    if (!title.empty()) title = TrimSpaces(title);
    const std::string image = RealPathOf(WideToAnsi(imagePath));
    if (title.empty() || image.empty()) return;
    X11Connection connection;
    if (!connection) return;
    WindowTitles titles(connection);
    // The pid a window names is only a claim; the image behind it is the kernel's.
    Window window = titles.Find(title, [&](Window w) {
        long pid = titles.ProcessId(w);
        return pid > 0 && RealPathOf("/proc/" + std::to_string(pid) + "/exe") == image;
    });
    if (window) SendClose(connection, window);
}

void CloseWindowByTitle(std::string title) {
    if (!title.empty()) title = TrimSpaces(title);
    // An untitled window is never what a missing title meant.
    if (title.empty()) return;
    X11Connection connection;
    if (!connection) return;
    Window window = WindowTitles(connection).Find(title);
    if (window) SendClose(connection, window);
}
