// A top-level window with the title given as first argument. Writes "ready" to the file given as second
// argument once it shows, and "close <lParam>" when it receives WM_CLOSE (with " wParam=<n>" added when
// wParam is not 0), then ends. Ends by
// itself after the milliseconds of the third argument (default 30000).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring g_record;

void Record(const char* text) {
    std::wstring part = g_record + L".part";
    FILE* f = _wfopen(part.c_str(), L"wb");
    if (!f) return;
    std::fputs(text, f);
    std::fclose(f);
    // The test may hold the record open for reading just then; Windows refuses to replace an open file.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (MoveFileExW(part.c_str(), g_record.c_str(), MOVEFILE_REPLACE_EXISTING)) break;
        Sleep(10);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        char text[96];
        if (wParam == 0)
            std::snprintf(text, sizeof text, "close %lld\n", static_cast<long long>(lParam));
        else
            std::snprintf(text, sizeof text, "close %lld wParam=%llu\n", static_cast<long long>(lParam),
                          static_cast<unsigned long long>(wParam));
        Record(text);
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 3) return 2;
    std::wstring title = args[1];
    g_record = args[2];
    UINT lifetime = count > 3 ? static_cast<UINT>(_wtoi(args[3])) : 30000;
    LocalFree(args);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TavrelTitleWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                  100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) return 3;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    SetTimer(window, 1, lifetime, nullptr);
    Record("ready\n");
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
