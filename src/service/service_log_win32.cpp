#include <windows.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "service/service.h"

namespace {
std::mutex g_logLock;

// As the agent stamps its lines: the hour of UTC+8 whatever the machine's zone, no leading zeros.
std::wstring TimePrefix() {
    long long secondsOfDay = static_cast<long long>(std::time(nullptr)) % 86400;
    wchar_t text[32];
    std::swprintf(text, 32, L"[%d:%d:%d]", static_cast<int>((secondsOfDay / 3600 + 8) % 24),
                  static_cast<int>(secondsOfDay / 60 % 60), static_cast<int>(secondsOfDay % 60));
    return text;
}
}  // namespace

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH + 1] = {0};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void ServiceLog(const std::wstring& text) {
    SYSTEMTIME today{};
    GetLocalTime(&today);
    wchar_t name[64];
    std::swprintf(name, 64, L"log\\TavrelService.%04d%02d%02d.log", today.wYear, today.wMonth, today.wDay);
    const std::wstring line = TimePrefix() + text + L"\r\n";
    // The ANSI code page, as the agent's own log.
    int size = WideCharToMultiByte(CP_ACP, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_ACP, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(g_logLock);
    // Opened for each line: the service runs for days, and each day's lines go to that day's file.
    HANDLE file = CreateFileW((OwnFolder() + name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}
