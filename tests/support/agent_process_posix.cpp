#include "support/agent_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace tavrel::test {
namespace {

constexpr int kCapSysBoot = 22;

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

AgentProcess::~AgentProcess() {
    if (m_id <= 0 || m_ended) return;
    RequestStop();
    if (!WaitExit(10000)) Kill();
}

bool AgentProcess::Start(const std::string& exePath, const std::string& folder, const std::string& outputPath) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls until exec. The bounding set is what an exec'd root program gets its
        // permitted set from, so dropping the capability here takes it from the agent and all it starts.
        if (prctl(PR_CAPBSET_DROP, kCapSysBoot, 0, 0, 0) != 0) _exit(126);
        if (m_withoutNetwork && unshare(CLONE_NEWNET) != 0) _exit(125);
        if (chdir(folder.c_str()) != 0) _exit(126);
        if (!outputPath.empty()) {
            int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
                close(out);
            }
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execl(exePath.c_str(), exePath.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    m_id = pid;
    m_ended = false;
    return true;
}

bool AgentProcess::WaitExit(unsigned timeoutMs, int* exitCode) {
    if (m_id <= 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_ended) {
        int status = 0;
        pid_t got = waitpid(static_cast<pid_t>(m_id), &status, WNOHANG);
        if (got == m_id) {
            m_ended = true;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (got < 0 || std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (exitCode) *exitCode = m_exitCode;
    return true;
}

bool AgentProcess::Running() { return m_id > 0 && !WaitExit(0); }

unsigned long long AgentProcess::PeakResidentBytes() {
    std::ifstream status("/proc/" + std::to_string(m_id) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    return 0;
}

unsigned long long AgentProcess::BytesRead() {
    std::ifstream io("/proc/" + std::to_string(m_id) + "/io");
    std::string line;
    while (std::getline(io, line))
        if (line.compare(0, 6, "rchar:") == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

bool AgentProcess::MemoryIncludesWine() { return false; }

bool AgentProcess::RequestStop() { return m_id > 0 && !m_ended && kill(static_cast<pid_t>(m_id), SIGTERM) == 0; }

void AgentProcess::Kill() {
    if (m_id <= 0 || m_ended) return;
    kill(static_cast<pid_t>(m_id), SIGKILL);
    WaitExit(10000);
}

std::string AgentExecutable() {
    std::string fromEnvironment = EnvText("TAVREL_AGENT_EXE");
    if (!fromEnvironment.empty()) return fromEnvironment;
    return TestBinFolder() + "../../TavrelAgent";
}

int CountProcesses(const std::string& name) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    while (dirent* item = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(item->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
        std::string::size_type open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) continue;
        char state = stat[close + 2];
        if (state == 'Z' || state == 'X') continue;
        if (stat.compare(open + 1, close - open - 1, name) == 0) ++count;
    }
    closedir(proc);
    return count;
}

}  // namespace tavrel::test
