#include <windows.h>

#include <cstring>
#include <vector>

#include "system/text.h"

namespace {

std::wstring MultiToWide(UINT codePage, const std::string& text) {
    const char* source = text.c_str();  // up to the first NUL
    int units = MultiByteToWideChar(codePage, 0, source, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(units) + 1, L'\0');
    MultiByteToWideChar(codePage, 0, source, -1, buffer.data(), units);
    return std::wstring(buffer.data());
}

std::string WideToMulti(UINT codePage, const std::wstring& text) {
    const wchar_t* source = text.c_str();
    int bytes = WideCharToMultiByte(codePage, 0, source, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(bytes) + 1, '\0');
    WideCharToMultiByte(codePage, 0, source, -1, buffer.data(), bytes, nullptr, nullptr);
    return std::string(buffer.data());
}

}  // namespace

std::string Utf8ToAnsi(const std::string& utf8) { return WideToMulti(CP_ACP, MultiToWide(CP_UTF8, utf8)); }

std::string AnsiToUtf8(const std::string& ansi) { return WideToMulti(CP_UTF8, MultiToWide(CP_ACP, ansi)); }

std::wstring AnsiToWide(const std::string& ansi) { return MultiToWide(CP_ACP, ansi); }

std::string WideToAnsi(const std::wstring& wide) { return WideToMulti(CP_ACP, wide); }

// Through the code-page API rather than switching the C runtime to the "chs" locale: the same bytes, and no
// other thread's locale-dependent call can be caught in the middle. A character GBK lacks becomes "?".
std::string WideToGbk(const std::wstring& wide) { return WideToMulti(936, wide); }

std::wstring Utf8ToWide(const std::string& utf8) { return MultiToWide(CP_UTF8, utf8); }

std::string WideToUtf8(const std::wstring& wide) { return WideToMulti(CP_UTF8, wide); }

// The build writes its narrow literals in code page 936 (-fexec-charset=GBK).
std::wstring LiteralToWide(const std::string& literal) { return MultiToWide(936, literal); }

const char* PathSeparator() { return "\\"; }
