#pragma once
// Small things every suite needs: scratch folders, whole-file reads and writes, the folder of the test
// executables and their helpers, and a capture of the agent's log lines.
#include <mutex>
#include <string>
#include <vector>

#include "base/logger.h"

namespace tavrel::test {

// A fresh empty folder under the system's temporary folder, ending without a separator; removed with its
// contents when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }
    // Path() + separator + relative (relative written with "/" or "\", turned into this platform's form).
    std::string operator/(const std::string& relative) const;

private:
    std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// The folder holding the test executables and the helper programs, with a trailing separator.
std::string TestBinFolder();
// Name of a helper program in that folder (".exe" added on Windows).
std::string HelperPath(const std::string& name);
// An environment variable, or "".
std::string EnvText(const char* name);

struct CapturedLine {
    LogLevel level;
    std::string routine;
    std::string text;
};

// Records every log line while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<CapturedLine> Lines() const;
    bool Contains(LogLevel level, const std::string& fragment) const;
    size_t Count(const std::string& fragment) const;

private:
    mutable std::mutex m_lock;
    std::vector<CapturedLine> m_lines;
};

}  // namespace tavrel::test
