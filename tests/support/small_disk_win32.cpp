#include "support/small_disk.h"

namespace tavrel::test {

// Neither Windows nor Wine lets a test program mount a file system of its own.
std::string MountSmallDisk(const std::string&, int) { return "no small file system can be mounted on Windows"; }

void UnmountSmallDisk(const std::string&) {}

}  // namespace tavrel::test
