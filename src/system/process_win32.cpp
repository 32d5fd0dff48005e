#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "system/process.h"
#include "system/text.h"

namespace {

std::wstring FileNameOf(const std::wstring& path) {
    std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The full, long form of a path, so "C:\PROGRA~1\..." and "C:\Program Files\..." compare equal.
std::wstring LongPath(const std::wstring& path) {
    wchar_t full[32768];
    DWORD length = GetFullPathNameW(path.c_str(), 32768, full, nullptr);
    if (length == 0 || length >= 32768) return path;
    wchar_t longer[32768];
    length = GetLongPathNameW(full, longer, 32768);
    return (length == 0 || length >= 32768) ? std::wstring(full) : std::wstring(longer);
}

// True when the open process runs the file `image` (already in its long form).
bool RunsImage(HANDLE process, const std::wstring& image) {
    wchar_t path[32768];
    DWORD length = 32768;
    if (!QueryFullProcessImageNameW(process, 0, path, &length)) return false;
    std::wstring found = LongPath(std::wstring(path, length));
    return CompareStringOrdinal(found.c_str(), -1, image.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Counts the processes of that exact name (and, with an image, of that file) in one snapshot; -1 when the
// snapshot could not be walked.
int CountProcesses(const std::wstring& name, const std::wstring* image) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
        return -1;
    }
    int count = 0;
    do {
        if (name != entry.szExeFile) continue;
        if (!image) {
            ++count;
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        if (RunsImage(process, *image)) ++count;
        CloseHandle(process);
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return count;
}

int KillProcesses(const std::wstring& name, const std::wstring* image) {
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
            if (!image) result = FALSE;
            continue;
        }
        // The image is read through the handle that would end it: a pid given to another program since the
        // snapshot shows that program's image.
        if (image && !RunsImage(process, *image)) {
            CloseHandle(process);
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

}  // namespace

bool IsProcessRunning(std::wstring name) { return CountProcesses(name, nullptr) >= 2; }

int KillProcessesByName(std::wstring name) { return KillProcesses(name, nullptr); }

bool IsProgramRunning(const std::wstring& imagePath) {
    const std::wstring image = LongPath(imagePath);
    return CountProcesses(FileNameOf(imagePath), &image) >= 2;
}

int KillProgramProcesses(const std::wstring& imagePath) {
    const std::wstring image = LongPath(imagePath);
    return KillProcesses(FileNameOf(imagePath), &image);
}

std::vector<ProcessHandle> OpenProgramProcesses(const std::wstring& imagePath) {
    const std::wstring image = LongPath(imagePath);
    const std::wstring name = FileNameOf(imagePath);
    struct Listed {
        DWORD pid, parent;
        HANDLE process;
        ULONGLONG created;
    };
    std::vector<Listed> listed;
    // A process made after this moment holds a pid the listing gave to another one.
    FILETIME listing{};
    GetSystemTimeAsFileTime(&listing);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot, &entry)) {
        if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
        return {};
    }
    do {
        if (name != entry.szExeFile) continue;
        // Waiting needs only SYNCHRONIZE, which LocalSystem is granted on a candidate's process too.
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        FILETIME created{}, exited{}, kernel{}, user{};
        if (!RunsImage(process, image) || !GetProcessTimes(process, &created, &exited, &kernel, &user) ||
            CompareFileTime(&created, &listing) > 0) {
            CloseHandle(process);
            continue;
        }
        ULARGE_INTEGER when;
        when.LowPart = created.dwLowDateTime;
        when.HighPart = created.dwHighDateTime;
        listed.push_back({entry.th32ProcessID, entry.th32ParentProcessID, process, when.QuadPart});
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);

    std::vector<ProcessHandle> found;
    for (const Listed& one : listed) {
        bool startedByAnother = false;
        for (const Listed& other : listed)
            if (other.pid == one.parent && other.created <= one.created) startedByAnother = true;
        if (startedByAnother) CloseHandle(one.process);
        else found.push_back(one.process);
    }
    return found;
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
    HWND window = FindWindowW(nullptr, Utf8ToWide(title).c_str());
    if (window) PostMessageW(window, WM_CLOSE, 0, 16);
}

namespace {

struct ProgramWindowSearch {
    std::wstring title;
    std::wstring image;
    HWND found = nullptr;
};

BOOL CALLBACK MatchProgramWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ProgramWindowSearch*>(parameter);
    int length = GetWindowTextLengthW(window);
    if (length != static_cast<int>(search->title.size())) return TRUE;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], length + 1)));
    if (text != search->title) return TRUE;
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    HANDLE process = id ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id) : nullptr;
    if (!process) return TRUE;
    bool ours = RunsImage(process, search->image);
    CloseHandle(process);
    if (!ours) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

void CloseProgramWindowByTitle(std::string title, const std::wstring& imagePath) {
    if (!title.empty()) title = TrimSpaces(title);
    if (title.empty() || imagePath.empty()) return;
    ProgramWindowSearch search{Utf8ToWide(title), LongPath(imagePath)};
    EnumWindows(MatchProgramWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found) PostMessageW(search.found, WM_CLOSE, 0, 16);
}

TempFolderForPrograms::TempFolderForPrograms(const std::string& folder) {
    const std::wstring wide = AnsiToWide(folder);
    for (const char* name : {"TEMP", "TMP"}) {
        const std::wstring wideName = AnsiToWide(name);
        wchar_t value[32768];
        DWORD length = GetEnvironmentVariableW(wideName.c_str(), value, 32768);
        bool had = length > 0 && length < 32768;
        m_kept[m_count++] = Kept{name, had, had ? WideToAnsi(std::wstring(value, length)) : std::string()};
        SetEnvironmentVariableW(wideName.c_str(), wide.c_str());
    }
}

TempFolderForPrograms::~TempFolderForPrograms() {
    for (int i = 0; i < m_count; ++i)
        SetEnvironmentVariableW(AnsiToWide(m_kept[i].name).c_str(),
                                m_kept[i].had ? AnsiToWide(m_kept[i].value).c_str() : nullptr);
}
