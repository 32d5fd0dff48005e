#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "system/command_line.h"
#include "system/process.h"
#include "system/text.h"

extern char** environ;

namespace {

constexpr size_t kShortNameLength = 15;  // the kernel's comm field holds 15 characters and a NUL

// Straight to the kernel: glibc 2.36 declares its wrappers without C linkage for C++.
int PidfdOpen(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Straight from the kernel: a stream costs more than the read itself for a /proc file of a few bytes, and
// a look for a program reads one for every process of the PC.
std::string ReadWhole(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);
    return text;
}

std::string BaseName(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct ProcessEntry {
    std::string shortName;
    char state = '?';
};

// The short name and state from /proc/<pid>/stat; false when the process is gone.
bool ReadEntry(int pid, ProcessEntry* entry) {
    std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
    // "pid (name) S ...": the name may itself hold ")" and blanks, so the last ")" ends it.
    std::string::size_type open = stat.find('(');
    std::string::size_type close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat.size())
        return false;
    entry->shortName = stat.substr(open + 1, close - open - 1);
    entry->state = stat[close + 2];
    return true;
}

// The file name the process was started as (see IsProcessRunning in the header).
std::string FullName(int pid, const std::string& shortName) {
    if (shortName.size() < kShortNameLength) return shortName;
    std::string base = "/proc/" + std::to_string(pid);
    std::vector<std::string> candidates;
    char target[PATH_MAX + 1] = {0};
    ssize_t length = readlink((base + "/exe").c_str(), target, PATH_MAX);
    if (length > 0) {
        std::string exe(target, static_cast<size_t>(length));
        const std::string deleted = " (deleted)";  // the file was replaced while the program ran
        if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.resize(exe.size() - deleted.size());
        candidates.push_back(BaseName(exe));
    }
    std::string commandLine = ReadWhole(base + "/cmdline");
    std::string::size_type start = 0;
    for (int word = 0; word < 2 && start < commandLine.size(); ++word) {
        std::string::size_type end = commandLine.find('\0', start);
        if (end == std::string::npos) end = commandLine.size();
        candidates.push_back(BaseName(commandLine.substr(start, end - start)));
        start = end + 1;
    }
    for (const std::string& candidate : candidates)
        if (candidate.size() > shortName.size() && candidate.compare(0, shortName.size(), shortName) == 0)
            return candidate;
    return shortName;
}

bool IsNamed(int pid, const std::string& name) {
    ProcessEntry entry;
    if (!ReadEntry(pid, &entry)) return false;
    // A zombie or a dead process has ended; only its parent's bookkeeping is left.
    if (entry.state == 'Z' || entry.state == 'X' || entry.state == 'x') return false;
    return FullName(pid, entry.shortName) == name;
}

// The file the process runs, as the kernel names it; "" when it cannot be read.
std::string ImageOf(int pid) {
    char target[PATH_MAX + 1] = {0};
    ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, PATH_MAX);
    if (length <= 0) return std::string();
    std::string image(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";  // replaced by an update while it ran: still that program
    if (image.size() > deleted.size() && image.compare(image.size() - deleted.size(), deleted.size(), deleted) == 0)
        image.resize(image.size() - deleted.size());
    return image;
}

// The path with its links resolved, as /proc/<pid>/exe shows it; as given when it cannot be resolved.
std::string ResolvedPath(const std::string& path) {
    char resolved[PATH_MAX + 1] = {0};
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// A live process of that name and, with an image, running that very file.
bool RunsProgram(int pid, const std::string& name, const std::string* image) {
    return IsNamed(pid, name) && (!image || ImageOf(pid) == *image);
}

// Live processes of that name (and, with an image, running that file), in pid order.
std::vector<int> FindProcesses(const std::string& name, const std::string* image = nullptr) {
    std::vector<int> found;
    if (name.empty()) return found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (dirent* item = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(item->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        if (!RunsProgram(static_cast<int>(pid), name, image)) continue;
        found.push_back(static_cast<int>(pid));
    }
    closedir(proc);
    return found;
}

// Blocks until the pidfd reports the end of its process, or the time is up; true when it ended.
bool PollEnd(int pidfd, unsigned timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != kWaitForever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
        }
        pollfd item{pidfd, POLLIN, 0};
        int ready = poll(&item, 1, wait);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

// The exit code of an ended child without reaping it, so a second wait gives the same answer.
bool PeekExitCode(const ProcessHandle& handle, int options, int* exitCode, bool* ended) {
    siginfo_t info{};
    int rc = handle.pidfd >= 0 ? waitid(P_PIDFD, static_cast<id_t>(handle.pidfd), &info, WEXITED | options)
                               : waitid(P_PID, static_cast<id_t>(handle.pid), &info, WEXITED | options);
    if (rc != 0) return false;
    *ended = info.si_pid != 0;
    if (*ended && exitCode) *exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return true;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/' || path.find('/') == std::string::npos) return path;
    char here[PATH_MAX + 1] = {0};
    if (!getcwd(here, PATH_MAX)) return path;
    return std::string(here) + "/" + path;
}

}  // namespace

bool IsProcessRunning(std::wstring name) { return FindProcesses(WideToAnsi(name)).size() >= 2; }

namespace {

int KillProcesses(const std::string& wanted, const std::string* image) {
    int result = 0;
    for (int pid : FindProcesses(wanted, image)) {
        int pidfd = PidfdOpen(pid);
        if (pidfd < 0) {
            result = 0;  // gone already, or not ours to touch
            continue;
        }
        // The pid may have been given to another program since the listing; the pidfd now pins it.
        if (!RunsProgram(pid, wanted, image)) {
            close(pidfd);
            continue;
        }
        result = PidfdSendSignal(pidfd, SIGKILL) == 0 ? 1 : 0;
        if (result) PollEnd(pidfd, kWaitForever);
        close(pidfd);
    }
    return result;
}

std::string FileNameOf(const std::string& path) { return BaseName(path); }

}  // namespace

int KillProcessesByName(std::wstring name) { return KillProcesses(WideToAnsi(name), nullptr); }

namespace {
// What the thread's last look for a program found: while two of those processes still run that file, the
// answer stands without reading every process of the PC again. The passes and the reports ask every few
// seconds all day, and a PC may run a thousand processes.
struct LastFound {
    std::string name, image;
    std::vector<int> pids;
};
thread_local LastFound t_lastFound;
}  // namespace

bool IsProgramRunning(const std::wstring& imagePath) {
    const std::string path = WideToAnsi(imagePath);
    const std::string name = FileNameOf(path);
    const std::string image = ResolvedPath(path);
    if (t_lastFound.name == name && t_lastFound.image == image) {
        int still = 0;
        for (int pid : t_lastFound.pids)
            if (RunsProgram(pid, name, &image) && ++still >= 2) return true;
    }
    t_lastFound = LastFound{name, image, FindProcesses(name, &image)};
    return t_lastFound.pids.size() >= 2;
}

int KillProgramProcesses(const std::wstring& imagePath) {
    const std::string path = WideToAnsi(imagePath);
    const std::string image = ResolvedPath(path);
    return KillProcesses(FileNameOf(path), &image);
}

namespace {
// The parent's pid and the start time (clock ticks after boot) from /proc/<pid>/stat; false when it is gone.
bool ReadLineage(int pid, int* parent, unsigned long long* started) {
    std::string stat = ReadWhole("/proc/" + std::to_string(pid) + "/stat");
    std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos) return false;
    // After the name: state (field 3), parent (4), ... start time (22).
    const char* field = stat.c_str() + close + 1;
    for (int number = 3; number <= 22; ++number) {
        while (*field == ' ') ++field;
        if (*field == '\0') return false;
        if (number == 4) *parent = static_cast<int>(std::strtol(field, nullptr, 10));
        if (number == 22) *started = std::strtoull(field, nullptr, 10);
        while (*field != ' ' && *field != '\0') ++field;
    }
    return true;
}
}  // namespace

std::vector<ProcessHandle> OpenProgramProcesses(const std::wstring& imagePath) {
    const std::string path = WideToAnsi(imagePath);
    const std::string name = FileNameOf(path);
    const std::string image = ResolvedPath(path);
    const std::vector<int> pids = FindProcesses(name, &image);
    std::vector<ProcessHandle> found;
    for (int pid : pids) {
        int parent = 0;
        unsigned long long started = 0;
        if (!ReadLineage(pid, &parent, &started)) continue;
        if (std::find(pids.begin(), pids.end(), parent) != pids.end()) continue;
        int pidfd = PidfdOpen(pid);
        if (pidfd < 0) continue;
        // The pidfd pins whatever has the pid now: the same start time and image say it is the one listed.
        int parentNow = 0;
        unsigned long long startedNow = 0;
        if (!ReadLineage(pid, &parentNow, &startedNow) || startedNow != started || !RunsProgram(pid, name, &image)) {
            close(pidfd);
            continue;
        }
        ProcessHandle handle;
        handle.pidfd = pidfd;
        handle.pid = pid;
        found.push_back(handle);
    }
    return found;
}

ProcessHandle RunProgram(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory) {
    const std::string path = Absolute(WideToAnsi(file));
    if (path.empty()) return ProcessHandle{};
    if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) != 0) return ProcessHandle{};
    const std::string folder = WideToAnsi(directory);

    std::vector<std::string> words = SplitCommandLine(WideToAnsi(parameters));
    words.insert(words.begin(), path);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // As a Windows program starts: none of the agent's sockets or files, and no signal the agent blocks
    // or ignores.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // glibc reports a failed chdir or exec of the child as the result, so a file that cannot run gives none.
    pid_t pid = 0;
    int rc = path.find('/') != std::string::npos
                 ? posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ)
                 : posix_spawnp(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0 || pid <= 0) return ProcessHandle{};

    // posix_spawn returns while the kernel still sets the new program up; on Windows a started process is
    // in the process list under its name at once, so wait for that moment (its command line appears).
    for (int i = 0; i < 1000 && ReadWhole("/proc/" + std::to_string(pid) + "/cmdline").empty(); ++i) {
        ProcessEntry entry;
        if (!ReadEntry(pid, &entry) || entry.state == 'Z') break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ProcessHandle handle;
    handle.pid = pid;
    // The child stays ours until reaped, so its pid cannot be reused before the pidfd is taken.
    handle.pidfd = PidfdOpen(pid);
    if (handle.pidfd < 0) {
        // Without a pidfd the handle is not usable; do not leave the program unwatched.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return ProcessHandle{};
    }
    return handle;
}

bool WaitProcessEnd(ProcessHandle handle, int* exitCode, unsigned timeoutMs) {
    if (!handle) return false;
    if (!PollEnd(handle.pidfd, timeoutMs)) return false;
    bool ended = false;
    int code = -1;
    // Somebody else may have reaped the child; it has ended all the same, its code is lost.
    if (!PeekExitCode(handle, WNOWAIT, &code, &ended)) code = -1;
    if (exitCode) *exitCode = code;
    return true;
}

void CloseProcessHandle(ProcessHandle handle) {
    if (!handle) return;
    bool ended = false;
    if (PeekExitCode(handle, WNOHANG, nullptr, &ended) && !ended) {
        // Still running: a Windows handle can be closed while the program goes on, so reap it when it ends
        // instead of leaving a zombie behind.
        try {
            std::thread([handle] {
                bool done = false;
                PeekExitCode(handle, 0, nullptr, &done);
                close(handle.pidfd);
            }).detach();
            return;
        } catch (...) {
        }
    }
    close(handle.pidfd);
}

TempFolderForPrograms::TempFolderForPrograms(const std::string& folder) {
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
        const char* value = std::getenv(name);
        m_kept[m_count++] = Kept{name, value != nullptr, value ? std::string(value) : std::string()};
        setenv(name, folder.c_str(), 1);
    }
}

TempFolderForPrograms::~TempFolderForPrograms() {
    for (int i = 0; i < m_count; ++i) {
        if (m_kept[i].had) setenv(m_kept[i].name, m_kept[i].value.c_str(), 1);
        else unsetenv(m_kept[i].name);
    }
}
