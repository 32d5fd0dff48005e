#pragma once
// Links as a candidate would plant them where users may write.
#include <string>

namespace tavrel::test {

// Makes `link` a symbolic link to `target` (a folder when `folder`); "" on success, otherwise why it cannot
// be had here, for the test to skip with.
std::string MakeSymbolicLink(const std::string& target, const std::string& link, bool folder);
// Makes `link` a second hard link of the file `target`; "" or why not.
std::string MakeHardLink(const std::string& target, const std::string& link);
// Removes the link itself, never what it leads to.
void RemoveLink(const std::string& link);

}  // namespace tavrel::test
