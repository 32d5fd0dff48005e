#pragma once
// The lines of a profile (ini) file as the Windows profile functions see them: sections and keys match
// without regard to case, blanks around keys and values are dropped, lines starting with ";" are comments.
// Shared by the byte-exact reader and the Linux writer.
#include <string>
#include <vector>

namespace ini {

std::string Trim(const std::string& text);
bool SameName(const std::string& a, const std::string& b);
// The file's lines without their line ends, a leading UTF-8 byte-order mark dropped; *found false when the
// file cannot be opened.
std::vector<std::string> ReadLines(const std::string& path, bool* found);
bool IsSectionLine(const std::string& line, std::string* name);
bool IsKeyLine(const std::string& line, std::string* key, std::string* value);

}  // namespace ini
