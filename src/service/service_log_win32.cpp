#include <windows.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "service/service.h"
#include "service/service_log.h"
#include "system/file.h"
#include "system/text.h"

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
    const std::time_t now = std::time(nullptr);
    // The ANSI code page, as the agent's own log; text mode ends the line with CR LF.
    const std::string line = WideToAnsi(TimePrefix() + text) + "\n";
    const std::string path = WideToAnsi(OwnFolder() + L"log\\" + ServiceLogName(now));
    std::lock_guard<std::mutex> lock(g_logLock);
    // Opened for each line: the service runs for days, and each day's lines go to that day's file. A link or a
    // second name planted for our file, before the installer closed the folder to users, is refused.
    FILE* file = OpenWithoutLinks(path, true);
    if (!file) return;
    std::fputs(line.c_str(), file);
    std::fclose(file);
}
