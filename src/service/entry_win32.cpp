#include <windows.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <atomic>
#include <mutex>
#include <string>

#include "service/service.h"

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
HANDLE g_stop = nullptr;
std::atomic<bool> g_shuttingDown{false};
// The control handler and the supervisor both report; one status at a time.
std::mutex g_statusLock;

void Report(DWORD state, DWORD waitHintMs = 0) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwWaitHint = waitHintMs;
    g_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : g_status.dwCheckPoint + 1;
    SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Control(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_SHUTDOWN:
            g_shuttingDown = true;
            [[fallthrough]];
        case SERVICE_CONTROL_STOP:
            Report(SERVICE_STOP_PENDING, 40000);
            SetEvent(g_stop);
            return NO_ERROR;
        case SERVICE_CONTROL_SESSIONCHANGE: {
            auto* notification = static_cast<WTSSESSION_NOTIFICATION*>(eventData);
            QueueSessionChange(eventType, notification ? notification->dwSessionId : 0xFFFFFFFF);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, Control, nullptr);
    if (!g_statusHandle) return;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    ServiceLog(L"TavrelService started");
    RunServiceSupervisor(g_stop, g_shuttingDown);
    ServiceLog(L"TavrelService stopped");
    Report(SERVICE_STOPPED);
}

}  // namespace

void ReportStopProgress() {
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(g_statusLock);
        stopping = g_status.dwCurrentState == SERVICE_STOP_PENDING;
    }
    if (stopping) Report(SERVICE_STOP_PENDING, 40000);
}

int EndAgentWindow() {
    const wchar_t kAgentWindow[] = L"Tavrel\u6D4B\u8BD5\u7CFB\u7EDF";  // "Tavrel测试系统", class and title
    HWND window = FindWindowW(kAgentWindow, kAgentWindow);
    if (!window) return 1;
    PostMessageW(window, WM_DESTROY, 0, 0);
    return 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    const bool endAgent = args && count == 2 && std::wstring(args[1]) == kEndAgentSwitch;
    if (args) LocalFree(args);
    if (endAgent) return EndAgentWindow();

    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    // Started by hand rather than by the service control manager: nothing to do.
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
