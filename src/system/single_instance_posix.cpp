#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "system/single_instance.h"

namespace {
int g_socket = -1;
const char kName[] = "TavrelAgentMK";
}  // namespace

bool ClaimSingleInstance() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // no way to tell: better two agents than none
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading NUL puts the name in the abstract namespace: no file, gone with the process.
    std::memcpy(address.sun_path + 1, kName, sizeof kName - 1);
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof kName - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    g_socket = fd;
    return true;
}

void ReleaseSingleInstance() {
    if (g_socket >= 0) ::close(g_socket);
    g_socket = -1;
}
