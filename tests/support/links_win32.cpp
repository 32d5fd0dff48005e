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

// Wine's CreateSymbolicLinkW says yes and makes nothing, and it has no reparse points of its own; a symbolic
// link of the host's file system to a folder it shows as one (a link to a file it follows unseen). The host's
// ln makes it: Wine starts a Unix program like any other, without a handle to wait on.
bool MakeHostLink(const std::string& target, const std::string& link) {
    using UnixName = char*(CDECL*)(const WCHAR*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    std::string paths[2];
    const std::string* given[2] = {&target, &link};
    for (int i = 0; i < 2; ++i) {
        char* name = unixName(AnsiToWide(*given[i]).c_str());
        if (!name) return false;
        paths[i] = name;
        HeapFree(GetProcessHeap(), 0, name);
    }
    std::wstring line = AnsiToWide("/bin/ln -s \"" + paths[0] + "\" \"" + paths[1] + "\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hProcess) CloseHandle(process.hProcess);
    if (process.hThread) CloseHandle(process.hThread);
    const std::wstring wide = AnsiToWide(link);
    for (int i = 0; i < 250 && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
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

}  // namespace tavrel::test
