#include "support/small_disk.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace tavrel::test {

std::string MountSmallDisk(const std::string& folder, int kib) {
    std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) return "";
    return std::string("cannot mount a small tmpfs here: ") + std::strerror(errno);
}

void UnmountSmallDisk(const std::string& folder) { ::umount2(folder.c_str(), MNT_DETACH); }

}  // namespace tavrel::test
