#include <windows.h>
#include <shellapi.h>

#include "base/shared_values.h"
#include "agent/dialogs.h"
#include "base/exam_client.h"
#include "base/logger.h"
#include "agent/main_window.h"
#include "agent/window_messages.h"
#include "base/main_thread_post.h"
#include "agent/window_shell_rules.h"
#include "resource.h"
#include "system/agent_exit.h"

namespace {

const wchar_t kWindowClass[] = L"Tavrel\u6D4B\u8BD5\u7CFB\u7EDF";  // "Tavrel测试系统"
const UINT kTrayIconId = 101;

HINSTANCE g_instance = nullptr;
NOTIFYICONDATAW g_tray = {};
HMENU g_trayMenu = nullptr;
HWND g_blankDialog = nullptr;
UINT g_taskbarCreated = 0;
TrayKeeper g_trayKeeper;
const UINT_PTR kTrayRetryTimer = 1;

// The picture at the size the shell shows it (the small-icon metric of this DPI), from the 16 to 48 pixel
// images of the resource. LoadIconMetric lives in version 6 of the common controls, which the manifest asks
// for; where it is missing (an older Wine) LoadImageW at the same metric does.
HICON LoadTrayPicture(int resource) {
    using LoadIconMetricFn = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, HICON*);
    static LoadIconMetricFn loadIconMetric = [] {
        HMODULE controls = LoadLibraryW(L"comctl32.dll");
        return controls ? reinterpret_cast<LoadIconMetricFn>(GetProcAddress(controls, "LoadIconMetric")) : nullptr;
    }();
    static HICON loaded[2] = {nullptr, nullptr};  // kept for the agent's life: only two pictures ever
    HICON& picture = loaded[resource == IDI_CONNECTED ? 0 : 1];
    if (picture) return picture;
    const int kLimSmall = 0;  // LIM_SMALL: the SM_CXSMICON metric
    if (!loadIconMetric || FAILED(loadIconMetric(g_instance, MAKEINTRESOURCEW(resource), kLimSmall, &picture)))
        picture = static_cast<HICON>(LoadImageW(g_instance, MAKEINTRESOURCEW(resource), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_DEFAULTCOLOR));
    if (!picture) picture = LoadIconW(g_instance, MAKEINTRESOURCEW(resource));
    return picture;
}

// Adds the icon, or arms the timer to try again: at boot the agent is up before explorer, and a shell busy
// starting answers late or not at all.
void TryAddTrayIcon() {
    BOOL added = Shell_NotifyIconW(NIM_ADD, &g_tray);
    DWORD error = added ? 0 : GetLastError();
    // A late answer may still have added it; a modify tells.
    bool modified = !added && Shell_NotifyIconW(NIM_MODIFY, &g_tray);
    TrayVerdict verdict = AfterTrayAdd(&g_trayKeeper, added != FALSE, modified);
    std::string line = TrayLogLine(verdict, error);
    if (!line.empty()) LogInfo("AddTrayIcon") << line;
    if (verdict.retry) SetTimer(g_tray.hWnd, kTrayRetryTimer, kTrayRetryMs, nullptr);
}

// The icon's callback message and explorer's TaskbarCreated come from explorer, which runs at medium
// integrity; UIPI drops such messages above WM_USER to the agent's higher one unless the window lets them
// through. Resolved at run time: Windows 7 and later have it, Wine may not.
void LetShellMessagesThrough(HWND window) {
    using FilterFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto filter = user32 ? reinterpret_cast<FilterFn>(GetProcAddress(user32, "ChangeWindowMessageFilterEx")) : nullptr;
    if (!filter) {
        LogInfo("AddTrayIcon") << "ChangeWindowMessageFilterEx unavailable";
        return;
    }
    const DWORD kAllow = 1;  // MSGFLT_ALLOW
    for (UINT message : {g_taskbarCreated, static_cast<UINT>(kMsgTrayNotify)}) {
        if (message != 0 && !filter(window, message, kAllow, nullptr))
            LogInfo("AddTrayIcon") << "ChangeWindowMessageFilterEx(" << message << ") error " << GetLastError();
    }
}

void SetTrayIcon(LPARAM state) {
    if (state == kTrayConnected) {
        g_tray.hIcon = LoadTrayPicture(IDI_CONNECTED);
    } else if (state == kTrayDisconnected) {
        g_tray.hIcon = LoadTrayPicture(IDI_DISCONNECTED);
    } else {
        return;  // a reconnection under way keeps the picture
    }
    // An icon the shell does not hold yet gets this picture with its next add.
    if (!g_trayKeeper.added) return;
    NOTIFYICONDATAW change = g_tray;
    change.uFlags = NIF_ICON;
    if (!Shell_NotifyIconW(NIM_MODIFY, &change))
        LogInfo("SetTrayIcon") << "Shell_NotifyIconW(NIM_MODIFY) error " << GetLastError();
}

INT_PTR CALLBACK BlankDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_CLOSE:
            // Closing the blank dialog ends the agent: the main window goes first and takes the tray icon with
            // it, or the shell keeps showing the icon of a program that has ended.
            DestroyWindow(static_cast<HWND>(GetMainWindow()));
            DestroyWindow(dialog);
            return TRUE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

bool OnTrayRightClick(HWND window) {
    // No menu while the exam client runs: neither settings nor exit may reach the candidate.
    if (ExamClientRuns()) return false;
    POINT cursor;
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    int command = static_cast<int>(TrackPopupMenu(g_trayMenu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y,
                                                  0, window, nullptr));
    PostMessageW(window, WM_NULL, 0, 0);  // lets the menu close when the user clicks elsewhere
    if (command == ID_MENU_SETTINGS) OpenSettingsDialog(g_instance);
    if (command == ID_MENU_EXIT) OpenExitPasswordDialog(g_instance);
    return true;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_taskbarCreated != 0 && message == g_taskbarCreated) {
        // The shell restarted: the icon comes back with the picture it had.
        KillTimer(window, kTrayRetryTimer);
        TaskbarRecreated(&g_trayKeeper);
        TryAddTrayIcon();
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_TIMER:
            if (wParam != kTrayRetryTimer) break;
            KillTimer(window, kTrayRetryTimer);
            if (!g_trayKeeper.added) TryAddTrayIcon();
            return 0;
        case WM_DESTROY:
            Shell_NotifyIconW(NIM_DELETE, &g_tray);
            PostQuitMessage(0);
            break;
        case WM_ENDSESSION:
            // The session ends around the agent (a logoff): the system ends the process once this returns, so
            // it ends now with a code that tells the service to start it in the next session.
            if (wParam) {
                LogInfo("MainWindowProc") << "会话结束，程序退出";
                Shell_NotifyIconW(NIM_DELETE, &g_tray);
                ExitProcess(kAgentExitSessionEnded);
            }
            return 0;
        case kMsgSetTrayIcon:
            SetTrayIcon(lParam);
            break;
        case kMsgShowBlankDialog:
            if (!g_blankDialog)
                g_blankDialog = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_BLANK), GetDesktopWindow(),
                                                   BlankDialogProc, 0);
            if (g_blankDialog) ShowWindow(g_blankDialog, SW_SHOWNA);
            return 1;
        case kMsgTrayNotify:
            if (lParam == WM_RBUTTONDOWN && OnTrayRightClick(window)) return 1;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

bool MyRegisterClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TAVRELAGENT));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassExW(&windowClass) == 0) {
        LogInfo("MyRegisterClass") << "注册窗口失败！";
        return false;
    }
    return true;
}

bool InitInstance(HINSTANCE instance, int showCommand) {
    g_instance = instance;
    // An unsized tool popup: shown, yet invisible, with no taskbar button.
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, kWindowClass, WS_POPUP, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!window) return false;
    SetMainWindow(window);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

void AddTrayIcon(HINSTANCE instance) {
    g_instance = instance;
    g_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    g_tray = {};
    g_tray.cbSize = sizeof g_tray;
    g_tray.hWnd = static_cast<HWND>(GetMainWindow());
    g_tray.uID = kTrayIconId;
    g_tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    g_tray.uCallbackMessage = kMsgTrayNotify;
    g_tray.hIcon = LoadTrayPicture(IDI_DISCONNECTED);
    lstrcpynW(g_tray.szTip, kWindowClass, ARRAYSIZE(g_tray.szTip));
    g_tray.dwInfoFlags = NIIF_USER;
    g_trayMenu = CreatePopupMenu();
    AppendMenuW(g_trayMenu, MF_STRING, ID_MENU_SETTINGS, L"\u914D\u7F6E");  // "配置"
    AppendMenuW(g_trayMenu, MF_STRING, ID_MENU_EXIT, L"\u9000\u51FA");      // "退出"
    LetShellMessagesThrough(g_tray.hWnd);
    g_trayKeeper = TrayKeeper{};
    TryAddTrayIcon();
}
