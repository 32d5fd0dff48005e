#include "system/held_file.h"

#include <windows.h>

#include "system/text.h"

HeldFile HoldFile(const std::string& path) {
    HeldFile held;
    // Shared for reading only: no writer, and no delete or rename (they need FILE_SHARE_DELETE), while held.
    HANDLE handle = CreateFileW(AnsiToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return held;
    wchar_t resolved[32768];
    DWORD length = GetFinalPathNameByHandleW(handle, resolved, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 32768) {
        CloseHandle(handle);
        return held;
    }
    std::wstring name(resolved, length);
    // "\\?\C:\..." and "\\?\UNC\host\..." become the forms the shell starts.
    if (name.compare(0, 8, L"\\\\?\\UNC\\") == 0) name = L"\\\\" + name.substr(8);
    else if (name.compare(0, 4, L"\\\\?\\") == 0) name = name.substr(4);
    held.handle = handle;
    held.path = WideToAnsi(name);
    return held;
}

void ReleaseHeldFile(HeldFile& file) {
    if (file.handle) CloseHandle(file.handle);
    file = HeldFile{};
}

// The process is made from the path the handle names; the handle, held meanwhile, keeps that path's bytes.
ProcessHandle RunHeldProgram(const HeldFile& file, const std::wstring& parameters, const std::wstring& directory) {
    if (!file) return ProcessHandle{};
    return RunProgram(AnsiToWide(file.path), parameters, directory);
}
