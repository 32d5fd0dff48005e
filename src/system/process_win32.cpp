#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>

#include "system/process.h"
#include "system/text.h"

namespace {

// Counts the processes of that exact name in one snapshot; -1 when the snapshot could not be walked.
int CountProcesses(const std::wstring& name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
        return -1;
    }
    int count = 0;
    do {
        if (name == entry.szExeFile) ++count;
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return count;
}

}  // namespace

bool IsProcessRunning(std::wstring name) { return CountProcesses(name) >= 2; }

int KillProcessesByName(std::wstring name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        CloseHandle(snapshot);
        return 0;
    }
    BOOL result = FALSE;
    do {
        if (name != entry.szExeFile) continue;
        // A process that cannot be opened (another account's) counts as a failed attempt.
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, TRUE, entry.th32ProcessID);
        if (!process) {
            result = FALSE;
            continue;
        }
        // A live process reads STILL_ACTIVE, so every process killed here ends with exit code 259.
        DWORD exitCode = 0;
        GetExitCodeProcess(process, &exitCode);
        result = TerminateProcess(process, exitCode);
        if (result) WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return result;
}

ProcessHandle RunProgram(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // Without NO_UI a start that fails opens the shell's error box on the calling thread and waits for a
    // click that nobody at a candidate PC is there to give: the agent's service would stop at that point.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.lpDirectory = directory.empty() ? nullptr : directory.c_str();  // none: the agent's own folder
    info.nShow = SW_SHOW;
    ShellExecuteExW(&info);
    return info.hProcess;
}

bool WaitProcessEnd(ProcessHandle handle, int* exitCode, unsigned timeoutMs) {
    if (!handle) return false;
    if (WaitForSingleObject(handle, timeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(handle, &code)) return false;
    if (exitCode) *exitCode = static_cast<int>(code);
    return true;
}

void CloseProcessHandle(ProcessHandle handle) {
    if (handle) CloseHandle(handle);
}

void CloseWindowByTitle(std::string title) {
    if (!title.empty()) title = TrimSpaces(title);
    // FindWindowW takes "" for an untitled window, and closing whatever untitled window comes first is
    // never what a missing title meant.
    if (title.empty()) return;
    HWND window = FindWindowW(nullptr, AnsiToWide(title).c_str());
    if (window) PostMessageW(window, WM_CLOSE, 0, 16);
}
