#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "exam_client_stub.h"

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring OwnPath() {
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length);
}

// The parameters as the program received them: the command line without the program's own word.
std::wstring Parameters(const wchar_t* commandLine) {
    const wchar_t* p = commandLine;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// One appending write, so two clients started close together never mix their blocks.
void Append(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// The copy holds the read end of a pipe as its standard input and lives until the first one closes the
// other end, by letting go or by dying.
int RunCopy() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte;
    DWORD got = 0;
    while (input && input != INVALID_HANDLE_VALUE && ReadFile(input, &byte, 1, &got, nullptr) && got > 0) {
    }
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (GetEnvironmentVariableW(L"TAVREL_EXAM_CLIENT_COPY", nullptr, 0) > 0) return RunCopy();

    const std::wstring self = OwnPath();
    const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1);
    wchar_t here[MAX_PATH + 1] = {0};
    GetCurrentDirectoryW(MAX_PATH, here);

    std::vector<std::string> words;
    int count = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i) words.push_back(Utf8(argv[i]));
        LocalFree(argv);
    }
    wchar_t account[256] = {0};
    DWORD accountLength = 256;
    if (!GetUserNameW(account, &accountLength)) account[0] = 0;
    const std::string record =
        exam_client_stub::CallRecord(static_cast<long>(GetCurrentProcessId()), Utf8(self.substr(folder.size())),
                                     Utf8(here), Utf8(Parameters(GetCommandLineW())), words, Utf8(account));
    Append(folder + L"exam_client_calls.log", record);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    PROCESS_INFORMATION copy{};
    if (CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = readEnd;
        std::wstring commandLine = L"\"" + self + L"\"";
        SetEnvironmentVariableW(L"TAVREL_EXAM_CLIENT_COPY", L"1");
        if (!CreateProcessW(self.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &copy))
            copy.hProcess = nullptr;
        SetEnvironmentVariableW(L"TAVREL_EXAM_CLIENT_COPY", nullptr);
        CloseHandle(readEnd);
    }

    exam_client_stub::Stay(Utf8(folder));

    if (writeEnd) CloseHandle(writeEnd);
    if (copy.hProcess) {
        WaitForSingleObject(copy.hProcess, 30000);
        CloseHandle(copy.hProcess);
        CloseHandle(copy.hThread);
    }
    Append(folder + L"exam_client_calls.log", "ended " + std::to_string(GetCurrentProcessId()) + "\n");
    return 0;
}
