#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "system/single_instance.h"
#include "system/single_instance_posix.h"

namespace {
int g_lock = -1;
const char kName[] = "TavrelAgentMK";

std::string LockFolder() {
    if (geteuid() == 0) return "/run";
    // Not root (a development run): the user's own runtime folder, which nobody else may write.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return runtime;
    return "/tmp";
}
}  // namespace

std::string SingleInstanceLockPath() {
    std::string folder = LockFolder();
    // In the shared /tmp the name carries the user, and only a file of that user's own is taken below.
    if (folder == "/tmp") return folder + "/" + kName + "." + std::to_string(geteuid()) + ".lock";
    return folder + "/" + kName + ".lock";
}

bool ClaimSingleInstance() { return ClaimSingleInstanceAt(SingleInstanceLockPath()); }

bool ClaimSingleInstanceAt(const std::string& path) {
    // Never through a link, and only a regular file of this user with no rights for anyone else: whoever
    // else could open the file could hold the lock and keep the agent from starting.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return true;  // no way to tell: better two agents than none
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        ::close(fd);
        return true;
    }
    // The kernel drops the lock the moment the process dies, however it dies.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    g_lock = fd;
    return true;
}

void ReleaseSingleInstance() {
    if (g_lock >= 0) ::close(g_lock);
    g_lock = -1;
}
