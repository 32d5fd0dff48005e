#include "system/held_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "system/text.h"

HeldFile HoldFile(const std::string& path) {
    HeldFile held;
    int source = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (source < 0) return held;
    int copy = ::memfd_create("Tavrel_Setup", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    bool copied = copy >= 0;
    char buffer[65536];
    for (ssize_t got; copied && (got = ::read(source, buffer, sizeof buffer)) != 0;) {
        if (got < 0 || ::write(copy, buffer, static_cast<size_t>(got)) != got) copied = false;
    }
    ::close(source);
    if (copied) copied = ::fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0;
    if (!copied) {
        if (copy >= 0) ::close(copy);
        return held;
    }
    held.fd = copy;
    held.path = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(copy);
    return held;
}

void ReleaseHeldFile(HeldFile& file) {
    if (file.fd >= 0) ::close(file.fd);
    file = HeldFile{};
}

// The child opens the agent's descriptor by its /proc name before its own descriptors are closed.
ProcessHandle RunHeldProgram(const HeldFile& file, const std::wstring& parameters, const std::wstring& directory) {
    if (!file) return ProcessHandle{};
    return RunProgram(AnsiToWide(file.path), parameters, directory);
}
