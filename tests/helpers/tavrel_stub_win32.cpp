#include <windows.h>
#include <shellapi.h>

#include "stub_common.h"

namespace {

std::string Utf8(const wchar_t* wide) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string text(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], bytes, nullptr, nullptr);
    text.resize(static_cast<size_t>(bytes) - 1);
    return text;
}

}  // namespace

// The words exactly as Windows splits this program's command line, in UTF-8.
int main() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; words && i < count; ++i) args.push_back(Utf8(words[i]));
    if (words) LocalFree(words);
    wchar_t folder[MAX_PATH + 1] = {0};
    GetCurrentDirectoryW(MAX_PATH, folder);
    return StubMain(args, Utf8(folder));
}
