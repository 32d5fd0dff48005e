#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "exam_client_stub.h"

extern char** environ;

namespace {

// The copy's name must be the file name the first one was started as: that is the name the agent counts.
std::string OwnPath(const char* argv0) {
    std::string started = argv0 ? argv0 : "";
    if (started.find('/') != std::string::npos) return started;
    char target[PATH_MAX + 1] = {0};
    ssize_t length = readlink("/proc/self/exe", target, PATH_MAX);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : started;
}

std::string FolderOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// One write with O_APPEND, so two clients started close together never mix their blocks.
void Append(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

// The copy holds the read end of a pipe as its standard input and lives until the first one closes the
// other end, by letting go or by dying.
int RunCopy() {
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv(exam_client_stub::kCopyVariable)) return RunCopy();

    const std::string self = OwnPath(argv[0]);
    const std::string folder = FolderOf(self);
    char here[PATH_MAX + 1] = {0};
    if (!getcwd(here, PATH_MAX)) here[0] = '\0';

    std::vector<std::string> words(argv + 1, argv + argc);
    std::string line;
    for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
    const std::string record = exam_client_stub::CallRecord(static_cast<long>(getpid()),
                                                            self.substr(self.find_last_of('/') + 1), here, line, words);
    Append(folder + "exam_client_calls.log", record);
    if (std::getenv("TAVREL_EXAM_CLIENT_ECHO")) {
        std::fputs(record.c_str(), stdout);
        std::fflush(stdout);
    }

    int link[2];
    pid_t copy = 0;
    if (pipe2(link, O_CLOEXEC) == 0) {
        setenv(exam_client_stub::kCopyVariable, "1", 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, link[0], 0);
        char* copyArgv[] = {const_cast<char*>(self.c_str()), nullptr};
        if (posix_spawn(&copy, self.c_str(), &actions, nullptr, copyArgv, environ) != 0) copy = 0;
        posix_spawn_file_actions_destroy(&actions);
        unsetenv(exam_client_stub::kCopyVariable);
        close(link[0]);
    }

    exam_client_stub::Stay(folder);

    if (copy > 0) {
        close(link[1]);
        waitpid(copy, nullptr, 0);
    }
    const std::string ended = "ended " + std::to_string(getpid()) + "\n";
    Append(folder + "exam_client_calls.log", ended);
    if (std::getenv("TAVREL_EXAM_CLIENT_ECHO")) {
        std::fputs(ended.c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
