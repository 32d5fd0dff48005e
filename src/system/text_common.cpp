#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <sstream>

#include "system/text.h"

namespace {
std::string UpToNul(const std::string& text) {
    return std::string(text.c_str(), std::strlen(text.c_str()));
}
}  // namespace

std::string IntToText(int value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

int TextToInt(const std::string& text) {
    std::istringstream in(UpToNul(text));
    int value = 0;
    if (!(in >> value)) return 0;
    return value;
}

std::string TrimSpaces(const std::string& text) {
    std::string::size_type first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    std::string::size_type last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string ToUpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string ToLowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string NativePath(const std::string& backslashed) {
    std::string path = backslashed;
    const char sep = PathSeparator()[0];
    std::replace(path.begin(), path.end(), '\\', sep);
    return path;
}

bool SameAsciiText(const std::wstring& a, const std::wstring& b) {
    auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}
