#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "system/text.h"

// On Linux the narrow texts are UTF-8 whatever the locale, so "ANSI" and UTF-8 are the same encoding.

namespace {

std::string UpToNul(const std::string& text) { return std::string(text.c_str(), std::strlen(text.c_str())); }

// Converts with iconv; bytes that cannot be converted become `fallback`, so a bad input never ends the text.
std::string Convert(const char* to, const char* from, const char* input, size_t length, const std::string& fallback,
                    size_t unit) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
    std::string out;
    std::vector<char> buffer(4 * length + 16);
    char* in = const_cast<char*>(input);
    size_t inLeft = length;
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (rc == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: skip one input unit and put the replacement in its place
            size_t skip = inLeft < unit ? inLeft : unit;
            in += skip;
            inLeft -= skip;
            out += fallback;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string Utf8ToAnsi(const std::string& utf8) { return UpToNul(utf8); }

std::string AnsiToUtf8(const std::string& ansi) { return UpToNul(ansi); }

std::wstring AnsiToWide(const std::string& ansi) {
    std::string text = UpToNul(ansi);
    const wchar_t replacement = 0xFFFD;  // a byte that is not UTF-8 becomes U+FFFD, one unit long
    std::string fallback(reinterpret_cast<const char*>(&replacement), sizeof replacement);
    std::string bytes = Convert("WCHAR_T", "UTF-8", text.data(), text.size(), fallback, 1);
    std::wstring out(bytes.size() / sizeof(wchar_t), L'\0');
    if (!out.empty()) std::memcpy(&out[0], bytes.data(), out.size() * sizeof(wchar_t));
    return out;
}

std::string WideToAnsi(const std::wstring& wide) {
    const wchar_t* start = wide.c_str();
    size_t units = std::wcslen(start);
    return Convert("UTF-8", "WCHAR_T", reinterpret_cast<const char*>(start), units * sizeof(wchar_t), "?",
                   sizeof(wchar_t));
}

std::string WideToGbk(const std::wstring& wide) {
    const wchar_t* start = wide.c_str();
    size_t units = std::wcslen(start);
    return Convert("GBK", "WCHAR_T", reinterpret_cast<const char*>(start), units * sizeof(wchar_t), "?",
                   sizeof(wchar_t));
}

std::wstring Utf8ToWide(const std::string& utf8) { return AnsiToWide(utf8); }

std::string WideToUtf8(const std::wstring& wide) { return WideToAnsi(wide); }

std::wstring LiteralToWide(const std::string& literal) { return AnsiToWide(literal); }

const char* PathSeparator() { return "/"; }
