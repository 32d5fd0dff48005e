// A candidate's program that takes the agent's single-instance names first, as
// New-Object Threading.Mutex($false,'TavrelAgentMK') does: default security, the session's namespace.
// name_holder <ready file> <lifetime ms> <name>...; writes "ready" once it holds them all.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 4) return 2;
    std::vector<HANDLE> held;
    for (int i = 3; i < count; ++i) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, args[i]);
        if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 3;
        held.push_back(mutex);
    }
    FILE* ready = _wfopen(args[1], L"wb");
    if (!ready) return 4;
    std::fputs("ready\n", ready);
    std::fclose(ready);
    Sleep(static_cast<DWORD>(_wtoi(args[2])));
    return 0;
}
