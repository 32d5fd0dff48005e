// gui_driver: drives the agent's windows from outside, in the same desktop, with the messages an invigilator's
// actions produce. One action per run; results go to stdout as "name=value" lines in UTF-8, texts on the command
// line are taken as UTF-8. Exit code 0: done / found, 1: not found or timed out, 2: bad usage.
//
//   main-window                      the agent's hidden window: class, title, styles
//   tray-icon WAIT_MS                the shell holds the agent's icon: "icon=LEFT TOP RIGHT BOTTOM" on screen
//   tray-forget                      the shell drops the agent's icon, as a restarted shell has lost it
//   post MESSAGE WPARAM LPARAM       PostMessageW to the agent's window (numbers in C notation)
//   post-registered NAME             posts the registered message NAME (e.g. "TaskbarCreated") to the agent's window
//   menu WAIT_MS                     a popup menu on screen: its rectangle and, where readable, its items
//   no-menu MS                       succeeds when no popup menu shows up for MS milliseconds
//   dialog TITLE WAIT_MS             a visible top-level window titled TITLE: rectangle and every control
//   hidden TITLE WAIT_MS             succeeds once no visible window is titled TITLE
//   set-text TITLE ID TEXT           WM_SETTEXT to control ID of the dialog TITLE
//   text TITLE ID                    the control's text
//   click TITLE ID                   BM_CLICK to a button, posted: the handler may open a modal message box
//   center TITLE ID                  screen position of the control's centre, "X Y"
//   focus TITLE                      the id of the dialog's control that holds the keyboard focus ("none")
//   msgbox CAPTION WAIT_MS           a visible message box: its text, its owner's title; then pressed OK
//   no-msgbox CAPTION MS             succeeds when no message box titled CAPTION shows up for MS milliseconds
//   blank WAIT_MS                    the agent's visible dialog without a title: rectangle and children
//   windows                          every window of the desktop, for the failure report
//   count-processes NAME             how many processes run an executable named NAME, as the agent counts them
//   terminate PID CODE               ends that process as Task Manager ends it (TerminateProcess with CODE)
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kAgentWindow[] = L"Tavrel\u6D4B\u8BD5\u7CFB\u7EDF";

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string text(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], bytes, nullptr, nullptr);
    return text;
}

void Say(const std::string& name, const std::string& value) {
    std::string line = name + "=" + value + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {0};
    GetClassNameW(window, name, 256);
    return name;
}

// Texts of other processes' controls travel through WM_GETTEXT, which Windows marshals between processes.
std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {0};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 3000, &ignored);
    return text;
}

std::string RectText(const RECT& r) {
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
           std::to_string(r.bottom);
}

struct Search {
    std::wstring className;  // empty: any
    std::wstring title;      // empty: any
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    if (search->visibleOnly && !IsWindowVisible(window)) return TRUE;
    if (!search->className.empty() && ClassOf(window) != search->className) return TRUE;
    if (!search->title.empty()) {
        wchar_t title[512] = {0};
        GetWindowTextW(window, title, 512);
        if (search->title != title) return TRUE;
    }
    search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindTopLevel(const std::wstring& className, const std::wstring& title, bool visibleOnly) {
    Search search{className, title, visibleOnly, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Children anywhere below the root (the shell's icons sit inside the tray window).
std::vector<HWND> FindDescendants(const std::wstring& className) {
    Search search{className, L"", true, {}};
    for (HWND top : FindTopLevel(L"", L"", true))
        EnumChildWindows(top, CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename Probe>
bool WaitFor(DWORD ms, Probe probe) {
    DWORD start = GetTickCount();
    for (;;) {
        if (probe()) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(50);
    }
}

HWND AgentWindow() {
    std::vector<HWND> found = FindTopLevel(kAgentWindow, kAgentWindow, false);
    return found.empty() ? nullptr : found.front();
}

HWND Dialog(const std::wstring& title) {
    std::vector<HWND> found = FindTopLevel(L"", title, true);
    return found.empty() ? nullptr : found.front();
}

HWND Control(const std::wstring& title, const std::wstring& id) {
    HWND dialog = Dialog(title);
    if (!dialog) return nullptr;
    return GetDlgItem(dialog, static_cast<int>(wcstol(id.c_str(), nullptr, 0)));
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM param) {
    HWND dialog = reinterpret_cast<HWND>(param);
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    Say("control", std::to_string(GetDlgCtrlID(child)) + " " + Utf8(ClassOf(child)) + " " + RectText(r) + " " +
                       Utf8(TextOf(child)));
    return TRUE;
}

int MainWindow() {
    HWND window = AgentWindow();
    if (!window) return 1;
    LONG style = GetWindowLongW(window, GWL_STYLE);
    LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    RECT r;
    GetWindowRect(window, &r);
    Say("class", Utf8(ClassOf(window)));
    Say("title", Utf8(TextOf(window)));
    Say("popup", (style & WS_POPUP) ? "1" : "0");
    Say("caption", (style & WS_CAPTION) == WS_CAPTION ? "1" : "0");
    Say("toolwindow", (exStyle & WS_EX_TOOLWINDOW) ? "1" : "0");
    Say("rect", RectText(r));
    return 0;
}

// Whether the shell holds the agent's icon (id 101): modifying nothing succeeds only for an icon it knows.
bool ShellHasAgentIcon() {
    HWND window = AgentWindow();
    if (!window) return false;
    NOTIFYICONDATAW probe = {};
    probe.cbSize = sizeof probe;
    probe.hWnd = window;
    probe.uID = 101;
    return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
}

// Where the icon is on screen: its own window where the shell makes one, else the last slot of the taskbar's
// notification area, where the shell draws a single icon.
bool IconRect(RECT* r) {
    std::vector<HWND> icons = FindDescendants(L"__wine_tray_icon");
    if (icons.empty()) icons = FindDescendants(L"__winex11_tray_icon");
    if (!icons.empty()) return GetWindowRect(icons.front(), r) != FALSE;
    std::vector<HWND> trays = FindTopLevel(L"Shell_TrayWnd", L"", true);
    if (trays.empty()) return false;
    RECT tray;
    GetWindowRect(trays.front(), &tray);
    int cx = GetSystemMetrics(SM_CXSMICON) + 4, cy = GetSystemMetrics(SM_CYSMICON) + 4;
    r->right = tray.right;
    r->left = tray.right - cx;
    r->top = tray.top + (tray.bottom - tray.top - cy) / 2;
    r->bottom = r->top + cy;
    return true;
}

int TrayIcon(DWORD waitMs) {
    RECT r;
    if (!WaitFor(waitMs, [&] { return ShellHasAgentIcon() && IconRect(&r); })) {
        Say("exists", "0");
        return 1;
    }
    Say("exists", "1");
    Say("icon", RectText(r));
    return 0;
}

int Menu(DWORD waitMs) {
    HWND menu = nullptr;
    if (!WaitFor(waitMs, [&] {
            std::vector<HWND> found = FindTopLevel(L"#32768", L"", true);
            menu = found.empty() ? nullptr : found.front();
            return menu != nullptr;
        }))
        return 1;
    RECT r;
    GetWindowRect(menu, &r);
    Say("rect", RectText(r));
    DWORD_PTR handle = 0;
    SendMessageTimeoutW(menu, 0x01E1 /* MN_GETHMENU */, 0, 0, SMTO_ABORTIFHUNG, 3000, &handle);
    HMENU items = reinterpret_cast<HMENU>(handle);
    int count = items ? GetMenuItemCount(items) : -1;
    Say("items", std::to_string(count));
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {0};
        GetMenuStringW(items, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
        Say("item", std::to_string(GetMenuItemID(items, i)) + " " + Utf8(text));
    }
    return 0;
}

int Absent(const std::wstring& className, const std::wstring& title, DWORD ms) {
    bool appeared = WaitFor(ms, [&] { return !FindTopLevel(className, title, true).empty(); });
    return appeared ? 1 : 0;
}

int DescribeDialog(const std::wstring& title, DWORD waitMs) {
    HWND dialog = nullptr;
    if (!WaitFor(waitMs, [&] { return (dialog = Dialog(title)) != nullptr; })) return 1;
    RECT r;
    GetWindowRect(dialog, &r);
    Say("class", Utf8(ClassOf(dialog)));
    Say("rect", RectText(r));
    Say("foreground", GetForegroundWindow() == dialog ? "1" : "0");
    EnumChildWindows(dialog, DescribeChild, reinterpret_cast<LPARAM>(dialog));
    return 0;
}

// A message box: the caption as given, the text in its static control; answered with OK.
int MessageBoxSeen(const std::wstring& caption, DWORD waitMs) {
    HWND box = nullptr;
    if (!WaitFor(waitMs, [&] {
            std::vector<HWND> found = FindTopLevel(L"#32770", caption, true);
            box = found.empty() ? nullptr : found.front();
            return box != nullptr;
        }))
        return 1;
    std::wstring text;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Static") {
            std::wstring t = TextOf(child);
            if (t.size() > text.size()) text = t;
        }
    }
    HWND owner = GetWindow(box, GW_OWNER);
    Say("text", Utf8(text));
    Say("owner", owner ? Utf8(TextOf(owner)) : std::string());
    int buttons = 0;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (ClassOf(child) == L"Button") ++buttons;
    Say("buttons", std::to_string(buttons));
    HWND ok = GetDlgItem(box, IDOK);
    if (ok) PostMessageW(ok, BM_CLICK, 0, 0);
    else PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor(3000, [&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return 0;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM depth) {
    RECT r;
    GetWindowRect(window, &r);
    Say(std::string(static_cast<size_t>(depth) * 2, ' ') + "window",
        Utf8(ClassOf(window)) + " [" + Utf8(TextOf(window)) + "] " + RectText(r) +
            (IsWindowVisible(window) ? " visible" : " hidden"));
    if (depth == 0) EnumChildWindows(window, ListWindow, 1);
    return TRUE;
}

int BlankDialog(DWORD waitMs) {
    HWND agent = AgentWindow();
    if (!agent) return 1;
    DWORD agentProcess = 0;
    GetWindowThreadProcessId(agent, &agentProcess);
    HWND blank = nullptr;
    if (!WaitFor(waitMs, [&] {
            for (HWND dialog : FindTopLevel(L"#32770", L"", true)) {
                DWORD process = 0;
                GetWindowThreadProcessId(dialog, &process);
                if (process == agentProcess && GetWindowTextLengthW(dialog) == 0) blank = dialog;
            }
            return blank != nullptr;
        }))
        return 1;
    RECT r;
    GetWindowRect(blank, &r);
    Say("rect", RectText(r));
    Say("children", GetWindow(blank, GW_CHILD) ? "1" : "0");
    Say("foreground", GetForegroundWindow() == blank ? "1" : "0");
    return 0;
}

int CountProcesses(const std::wstring& name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, name.c_str()) == 0) ++count;
    CloseHandle(snapshot);
    Say("count", std::to_string(count));
    return 0;
}

int Usage() {
    fputs("usage: gui_driver ACTION ARGS... (see the source)\n", stderr);
    return 2;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> a;
    for (int i = 0; words && i < count; ++i) a.push_back(words[i]);
    if (words) LocalFree(words);
    if (a.size() < 2) return Usage();
    const std::wstring& action = a[1];
    auto number = [&](size_t i) { return static_cast<DWORD>(wcstoul(a[i].c_str(), nullptr, 0)); };

    if (action == L"main-window") return MainWindow();
    if (action == L"count-processes" && a.size() == 3) return CountProcesses(a[2]);
    if (action == L"terminate" && a.size() == 4) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(number(2)));
        BOOL ended = process && TerminateProcess(process, static_cast<UINT>(number(3)));
        if (process) CloseHandle(process);
        return ended ? 0 : 1;
    }
    if (action == L"blank" && a.size() == 3) return BlankDialog(number(2));
    if (action == L"windows") return EnumWindows(ListWindow, 0) ? 0 : 1;
    if (action == L"tray-icon" && a.size() == 3) return TrayIcon(number(2));
    if (action == L"tray-forget") {
        NOTIFYICONDATAW icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = AgentWindow();
        icon.uID = 101;
        return icon.hWnd && Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 1;
    }
    if (action == L"post" && a.size() == 5) {
        HWND window = AgentWindow();
        if (!window) return 1;
        return PostMessageW(window, number(2), number(3), static_cast<LPARAM>(wcstol(a[4].c_str(), nullptr, 0)))
                   ? 0
                   : 1;
    }
    if (action == L"post-registered" && a.size() == 3) {
        HWND window = AgentWindow();
        if (!window) return 1;
        return PostMessageW(window, RegisterWindowMessageW(a[2].c_str()), 0, 0) ? 0 : 1;
    }
    if (action == L"menu" && a.size() == 3) return Menu(number(2));
    if (action == L"no-menu" && a.size() == 3) return Absent(L"#32768", L"", number(2));
    if (action == L"dialog" && a.size() == 4) return DescribeDialog(a[2], number(3));
    if (action == L"hidden" && a.size() == 4)
        return WaitFor(number(3), [&] { return Dialog(a[2]) == nullptr; }) ? 0 : 1;
    if (action == L"set-text" && a.size() == 5) {
        HWND control = Control(a[2], a[3]);
        if (!control) return 1;
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a[4].c_str()), SMTO_ABORTIFHUNG, 3000,
                            &ignored);
        return 0;
    }
    if (action == L"text" && a.size() == 4) {
        HWND control = Control(a[2], a[3]);
        if (!control) return 1;
        Say("text", Utf8(TextOf(control)));
        return 0;
    }
    if (action == L"click" && a.size() == 4) {
        HWND control = Control(a[2], a[3]);
        return control && PostMessageW(control, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (action == L"center" && a.size() == 4) {
        HWND control = Control(a[2], a[3]);
        if (!control) return 1;
        RECT r;
        GetWindowRect(control, &r);
        Say("center", std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2));
        return 0;
    }
    if (action == L"focus" && a.size() == 3) {
        HWND dialog = Dialog(a[2]);
        if (!dialog) return 1;
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) return 1;
        HWND focus = info.hwndFocus;
        Say("focus", focus && GetParent(focus) == dialog ? std::to_string(GetDlgCtrlID(focus)) : "none");
        return 0;
    }
    if (action == L"msgbox" && a.size() == 4) return MessageBoxSeen(a[2], number(3));
    if (action == L"no-msgbox" && a.size() == 4) return Absent(L"#32770", a[2], number(3));
    return Usage();
}
