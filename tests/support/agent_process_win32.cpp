#include "support/agent_process.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "support/test_support.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

const wchar_t kWindowClass[] = L"Tavrel\u6D4B\u8BD5\u7CFB\u7EDF";

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchAgentWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {0};
    GetClassNameW(window, className, 64);
    if (owner == search->processId && lstrcmpW(className, kWindowClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Wine makes no window without a display unless told to use its null graphics driver; the agent's hidden
// window needs no display at all. Set once in the prefix, and only where there is no display to use.
void LetWineMakeWindowsWithoutDisplay() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return;  // a real Windows has its desktop
    if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) > 0 || GetEnvironmentVariableW(L"WAYLAND_DISPLAY", nullptr, 0) > 0)
        return;
    HKEY drivers = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        &drivers, nullptr) != ERROR_SUCCESS)
        return;
    if (RegQueryValueExW(drivers, L"Graphics", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        const wchar_t kNull[] = L"null";
        RegSetValueExW(drivers, L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNull), sizeof kNull);
    }
    RegCloseKey(drivers);
}

}  // namespace

AgentProcess::~AgentProcess() {
    if (!m_handle) return;
    if (!m_ended) {
        RequestStop();
        if (!WaitExit(10000)) Kill();
    }
    CloseHandle(static_cast<HANDLE>(m_handle));
}

bool AgentProcess::Start(const std::string& exePath, const std::string& folder, const std::string&) {
    if (m_withoutNetwork) return false;
    LetWineMakeWindowsWithoutDisplay();
    std::wstring file = AnsiToWide(exePath);
    std::wstring commandLine = L"\"" + file + L"\"";
    std::wstring directory = AnsiToWide(folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(file.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    m_handle = process.hProcess;
    m_id = static_cast<long>(process.dwProcessId);
    m_ended = false;
    return true;
}

bool AgentProcess::WaitExit(unsigned timeoutMs, int* exitCode) {
    if (!m_handle) return false;
    if (!m_ended) {
        if (WaitForSingleObject(static_cast<HANDLE>(m_handle), timeoutMs) != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        GetExitCodeProcess(static_cast<HANDLE>(m_handle), &code);
        m_exitCode = static_cast<int>(code);
        m_ended = true;
    }
    if (exitCode) *exitCode = m_exitCode;
    return true;
}

bool AgentProcess::Running() { return m_handle && !WaitExit(0); }

unsigned long long AgentProcess::PeakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!m_handle || !K32GetProcessMemoryInfo(static_cast<HANDLE>(m_handle), &counters, sizeof counters)) return 0;
    return counters.PeakWorkingSetSize;
}

unsigned long long AgentProcess::BytesRead() {
    IO_COUNTERS counters{};
    if (!m_handle || !GetProcessIoCounters(static_cast<HANDLE>(m_handle), &counters)) return 0;
    return counters.ReadTransferCount;
}

// The way the exit-password dialog and the installer update end the agent: WM_DESTROY to its window.
bool AgentProcess::MemoryIncludesWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool AgentProcess::RequestStop() {
    if (!m_handle || m_ended) return false;
    WindowSearch search{static_cast<DWORD>(m_id), nullptr};
    EnumWindows(MatchAgentWindow, reinterpret_cast<LPARAM>(&search));
    return search.found && PostMessageW(search.found, WM_DESTROY, 0, 0);
}

void AgentProcess::Kill() {
    if (!m_handle || m_ended) return;
    TerminateProcess(static_cast<HANDLE>(m_handle), 1);
    WaitExit(10000);
}

std::string AgentExecutable() {
    std::string fromEnvironment = EnvText("TAVREL_AGENT_EXE");
    // The variable names the Linux path of the build; under Wine it is of no use.
    if (!fromEnvironment.empty() && fromEnvironment.find('/') == std::string::npos) return fromEnvironment;
    return TestBinFolder() + "..\\..\\TavrelAgent.exe";
}

int CountProcesses(const std::string& name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    std::wstring wanted = AnsiToWide(name);
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (wanted == entry.szExeFile) ++count;
    CloseHandle(snapshot);
    return count;
}

}  // namespace tavrel::test
