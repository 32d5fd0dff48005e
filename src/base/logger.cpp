#include "base/logger.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <utility>

#include "system/file.h"
#include "system/text.h"

namespace {

std::mutex g_logLock;
FILE* g_infoFile = nullptr;
std::ofstream g_errorFile;
LogObserver g_observer;

const char kEquals[] = "=================================================================================";

void WriteLine(LogLevel level, const char* routine, std::time_t when, const std::string& text) {
    std::string line = LogTimePrefix(when) + text;
    std::lock_guard<std::mutex> lock(g_logLock);
    if (level == LogLevel::Info && g_infoFile) {
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), g_infoFile);
        std::fflush(g_infoFile);
        std::clearerr(g_infoFile);  // a full disk must not silence later lines
    } else {
        std::ostream& sink = level == LogLevel::Info
                                 ? std::cout
                                 : (g_errorFile.is_open() ? static_cast<std::ostream&>(g_errorFile) : std::cerr);
        sink << line << '\n';
        sink.flush();
        if (!sink) sink.clear();
    }
    if (g_observer) g_observer(level, routine ? routine : "", text);
}

}  // namespace

LogStatement::LogStatement(LogLevel level, const char* routine)
    : m_level(level), m_routine(routine), m_when(std::time(nullptr)) {}

LogStatement::LogStatement(LogStatement&& other) noexcept
    : m_level(other.m_level), m_routine(other.m_routine), m_when(other.m_when), m_text(std::move(other.m_text)) {
    other.m_live = false;
}

LogStatement::~LogStatement() {
    if (!m_live) return;
    try {
        WriteLine(m_level, m_routine, m_when, m_text.str());
    } catch (...) {
        // a log line is never worth ending the agent for
    }
}

LogStatement& LogStatement::operator<<(const std::wstring& piece) {
    m_text << WideToAnsi(piece);
    return *this;
}

LogStatement& LogStatement::operator<<(const wchar_t* piece) {
    m_text << WideToAnsi(piece ? std::wstring(piece) : std::wstring());
    return *this;
}

void OpenLog(const std::string& infoPath, const std::string& errorPath) {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_infoFile) std::fclose(g_infoFile);
    g_infoFile = nullptr;
    if (g_errorFile.is_open()) g_errorFile.close();
    g_errorFile.clear();
    // Text mode: on Windows the lines end in CR LF, which every editor there shows as lines. The log folder
    // is the exam client's too, written in the candidate's account: a link planted for our file is refused,
    // and the lines go to the standard output as when the file cannot be opened.
    if (!infoPath.empty()) g_infoFile = OpenWithoutLinks(infoPath, true);
    if (!errorPath.empty()) g_errorFile.open(errorPath, std::ios::out | std::ios::app);
}

void CloseLog() {
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_infoFile) std::fclose(g_infoFile);
    g_infoFile = nullptr;
    if (g_errorFile.is_open()) g_errorFile.close();
}

bool IsLogFileOpen() {
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_infoFile != nullptr;
}

std::string LogTimePrefix(std::time_t utcSeconds) {
    long long secondsOfDay = static_cast<long long>(utcSeconds) % 86400;
    if (secondsOfDay < 0) secondsOfDay += 86400;
    int hour = static_cast<int>((secondsOfDay / 3600 + 8) % 24);
    int minute = static_cast<int>(secondsOfDay / 60 % 60);
    int second = static_cast<int>(secondsOfDay % 60);
    return "[" + std::to_string(hour) + ":" + std::to_string(minute) + ":" + std::to_string(second) + "]";
}

void WriteStartBanner() {
    LogInfo("OnInitialize") << kEquals;
    LogInfo("OnInitialize") << "\t\tCorvend log file";
    LogInfo("OnInitialize") << "\t\tSubject : TavrelAgent Application";
    LogInfo("OnInitialize") << kEquals;
}

void WriteEndBanner() {
    LogInfo("OnUninitialize") << kEquals;
    LogInfo("OnUninitialize") << "\t\tTavrelAgent Application End";
    LogInfo("OnUninitialize") << kEquals << "\n\n";
}

void SetLogObserver(LogObserver observer) {
    std::lock_guard<std::mutex> lock(g_logLock);
    g_observer = std::move(observer);
}
