#include <windows.h>

#include "agent/main_window.h"
#include "agent/window_messages.h"

namespace {

const wchar_t kWindowClass[] = L"Tavrel\u6D4B\u8BD5\u7CFB\u7EDF";  // "Tavrel测试系统"

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

bool MyRegisterClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(107));
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(107));
    return RegisterClassExW(&windowClass) != 0;
}

bool InitInstance(HINSTANCE instance, int) {
    // A tool window that is never shown: no taskbar button, no Alt+Tab entry.
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, kWindowClass, WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, instance, nullptr);
    if (!window) return false;
    SetMainWindow(window);
    return true;
}
