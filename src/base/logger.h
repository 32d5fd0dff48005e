#pragma once
// One logger for the whole agent. Information lines go to the dated log file (standard output when it
// could not be opened), error lines to standard error. Each statement is built in its own buffer and
// written as one whole line under the logger's lock, so lines from several threads never interleave.
#include <ctime>
#include <functional>
#include <sstream>
#include <string>

enum class LogLevel { Info, Error };

class LogStatement {
public:
    LogStatement(LogLevel level, const char* routine);
    LogStatement(LogStatement&& other) noexcept;
    LogStatement(const LogStatement&) = delete;
    LogStatement& operator=(const LogStatement&) = delete;
    ~LogStatement();

    template <class T>
    LogStatement& operator<<(const T& piece) {
        m_text << piece;
        return *this;
    }
    // Wide texts are written in the ANSI code page, as every other piece of the line.
    LogStatement& operator<<(const std::wstring& piece);
    LogStatement& operator<<(const wchar_t* piece);

private:
    LogLevel m_level;
    const char* m_routine;
    std::time_t m_when;
    std::ostringstream m_text;
    bool m_live = true;
};

// LogInfo("DoUserServiceHandle") << "座位号发生改变：" << ecpId;
inline LogStatement LogInfo(const char* routine) { return LogStatement(LogLevel::Info, routine); }
inline LogStatement LogError(const char* routine) { return LogStatement(LogLevel::Error, routine); }

// Opens the two sinks once. An empty or unopenable information path sends information lines to standard
// output; the error sink is opened with an empty name and so always falls back to standard error.
void OpenLog(const std::string& infoPath, const std::string& errorPath = std::string());
void CloseLog();
bool IsLogFileOpen();

// "[h:m:s]" with the hour as UTC+8 whatever the machine's time zone, no leading zeros.
std::string LogTimePrefix(std::time_t utcSeconds);

void WriteStartBanner();
void WriteEndBanner();

// Sees every finished line (level, routine, text without the prefix); for tests and the demo's live view.
using LogObserver = std::function<void(LogLevel, const std::string& routine, const std::string& text)>;
void SetLogObserver(LogObserver observer);
