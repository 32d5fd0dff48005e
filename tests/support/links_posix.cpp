#include "support/links.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrel::test {

std::string MakeSymbolicLink(const std::string& target, const std::string& link, bool) {
    return ::symlink(target.c_str(), link.c_str()) == 0 ? std::string() : std::strerror(errno);
}

std::string MakeHardLink(const std::string& target, const std::string& link) {
    return ::link(target.c_str(), link.c_str()) == 0 ? std::string() : std::strerror(errno);
}

void RemoveLink(const std::string& link) { ::unlink(link.c_str()); }

}  // namespace tavrel::test
