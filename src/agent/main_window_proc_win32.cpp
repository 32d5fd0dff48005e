#include <windows.h>
#include <shellapi.h>

#include "base/shared_values.h"
#include "agent/dialogs.h"
#include "base/exam_client.h"
#include "base/logger.h"
#include "agent/main_window.h"
#include "base/main_thread_post.h"
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

void SetTrayIcon(LPARAM state) {
    if (state == 0) {
        g_tray.hIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_CONNECTED));
    } else if (state == 1) {
        g_tray.hIcon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDI_DISCONNECTED));
    } else {
        return;  // a reconnection under way keeps the picture
    }
    NOTIFYICONDATAW change = g_tray;
    change.uFlags = NIF_ICON;
    Shell_NotifyIconW(NIM_MODIFY, &change);
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
        Shell_NotifyIconW(NIM_ADD, &g_tray);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
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
    g_tray.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_DISCONNECTED));
    lstrcpynW(g_tray.szTip, kWindowClass, ARRAYSIZE(g_tray.szTip));
    g_tray.dwInfoFlags = NIIF_USER;
    g_trayMenu = CreatePopupMenu();
    AppendMenuW(g_trayMenu, MF_STRING, ID_MENU_SETTINGS, L"\u914D\u7F6E");  // "配置"
    AppendMenuW(g_trayMenu, MF_STRING, ID_MENU_EXIT, L"\u9000\u51FA");      // "退出"
    Shell_NotifyIconW(NIM_ADD, &g_tray);
}
