#include "support/links.h"

#include <windows.h>

#include "system/text.h"

namespace tavrel::test {

std::string MakeSymbolicLink(const std::string& target, const std::string& link, bool folder) {
    DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (!CreateSymbolicLinkW(AnsiToWide(link).c_str(), AnsiToWide(target).c_str(), flags))
        return "CreateSymbolicLinkW failed: " + std::to_string(GetLastError());
    // A system that says yes but makes no reparse point (Wine's stand-in) gives no link to test against.
    DWORD attributes = GetFileAttributesW(AnsiToWide(link).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return "this system makes no reparse point for a symbolic link";
    return std::string();
}

}  // namespace tavrel::test
