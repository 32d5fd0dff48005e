#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "system/file.h"
#include "system/text.h"

namespace tavrel::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::mt19937_64 random(static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::path base = fs::temp_directory_path();
    for (;;) {
        std::ostringstream name;
        name << "tavrel-test-" << std::hex << random() << "-" << counter++;
        fs::path candidate = base / name.str();
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            m_path = candidate.string();
            break;
        }
    }
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(fs::path(m_path), ec);
}

std::string TempFolder::operator/(const std::string& relative) const {
    return m_path + PathSeparator() + NativePath(relative);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string TestBinFolder() { return ParentFolder(CurrentModulePath()) + PathSeparator(); }

std::string HelperPath(const std::string& name) {
#ifdef _WIN32
    return TestBinFolder() + name + ".exe";
#else
    return TestBinFolder() + name;
#endif
}

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

namespace {
std::mutex g_captureLock;
LogCapture* g_capture = nullptr;
}  // namespace

LogCapture::LogCapture() {
    {
        std::lock_guard<std::mutex> lock(g_captureLock);
        g_capture = this;
    }
    // Outside g_captureLock: the logger calls the observer under its own lock, which then takes this one.
    SetLogObserver([](LogLevel level, const std::string& routine, const std::string& text) {
        std::lock_guard<std::mutex> hold(g_captureLock);
        if (!g_capture) return;
        std::lock_guard<std::mutex> lines(g_capture->m_lock);
        g_capture->m_lines.push_back(CapturedLine{level, routine, text});
    });
}

LogCapture::~LogCapture() {
    SetLogObserver(nullptr);
    std::lock_guard<std::mutex> lock(g_captureLock);
    g_capture = nullptr;
}

std::vector<CapturedLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
}

bool LogCapture::Contains(LogLevel level, const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const CapturedLine& line : m_lines)
        if (line.level == level && line.text.find(fragment) != std::string::npos) return true;
    return false;
}

size_t LogCapture::Count(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t count = 0;
    for (const CapturedLine& line : m_lines)
        if (line.text.find(fragment) != std::string::npos) ++count;
    return count;
}

}  // namespace tavrel::test
