#include "support/links.h"

#include <windows.h>

#include <chrono>
#include <thread>

#include "system/text.h"

namespace tavrel::test {
namespace {

bool IsReparsePoint(const std::string& path) {
    DWORD attributes = GetFileAttributesW(AnsiToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The host's path of a Windows path under Wine; "" elsewhere.
std::string HostPath(const std::string& path) {
    using UnixName = char*(CDECL*)(const WCHAR*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(AnsiToWide(path).c_str()) : nullptr;
    if (!name) return std::string();
    std::string text = name;
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Runs a program of the host under Wine, which starts a Unix program like any other but gives no handle to
// wait on: done once `path` exists (or no longer does).
bool RunOnHost(const wchar_t* program, const std::string& line, const std::string& path, bool exists) {
    std::wstring wideLine = AnsiToWide(line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, &wideLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
    const std::wstring wide = AnsiToWide(path);
    for (int i = 0; i < 250 && (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) != exists; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) == exists;
}

// Wine's CreateSymbolicLinkW says yes and makes nothing, and it has no reparse points of its own; a symbolic
// link of the host's file system to a folder it shows as one (a link to a file it follows unseen).
bool MakeHostLink(const std::string& target, const std::string& link) {
    const std::string from = HostPath(target), to = HostPath(link);
    return !from.empty() && !to.empty() &&
           RunOnHost(L"Z:\\bin\\ln", "/bin/ln -s \"" + from + "\" \"" + to + "\"", link, true);
}

}  // namespace

std::string MakeSymbolicLink(const std::string& target, const std::string& link, bool folder) {
    DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkW(AnsiToWide(link).c_str(), AnsiToWide(target).c_str(), flags))
        return "CreateSymbolicLinkW failed: " + std::to_string(GetLastError());
    if (IsReparsePoint(link)) return std::string();
    if (!folder || !MakeHostLink(target, link) || !IsReparsePoint(link))
        return "this system makes no reparse point for a symbolic link";
    return std::string();
}

std::string MakeHardLink(const std::string& target, const std::string& link) {
    if (!CreateHardLinkW(AnsiToWide(link).c_str(), AnsiToWide(target).c_str(), nullptr))
        return "CreateHardLinkW failed: " + std::to_string(GetLastError());
    return std::string();
}

void RemoveLink(const std::string& link) {
    // Wine follows a host link in every call of its own (RemoveDirectoryW removes the folder it leads to).
    const std::string host = HostPath(link);
    if (!host.empty()) {
        RunOnHost(L"Z:\\bin\\rm", "/bin/rm -f \"" + host + "\"", link, false);
        return;
    }
    if (!RemoveDirectoryW(AnsiToWide(link).c_str())) DeleteFileW(AnsiToWide(link).c_str());
}

}  // namespace tavrel::test
