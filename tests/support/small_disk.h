#pragma once
// A tiny file system mounted over an empty folder, so that a test can fill a disk without touching the machine's.

#include <string>

namespace tavrel::test {

// Mounts a file system of `kib` KiB over `folder`; "" on success, otherwise why it cannot be had here (no
// root, no mount permission, a platform without it), for the test to skip with.
std::string MountSmallDisk(const std::string& folder, int kib);
void UnmountSmallDisk(const std::string& folder);

}  // namespace tavrel::test
