#include <windows.h>

#include "support/graphical_session.h"

namespace tavrel::test {

namespace {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool HasEnvironment(const wchar_t* name) {
    wchar_t value[8];
    return GetEnvironmentVariableW(name, value, 8) > 0;
}

// Wine on a machine without an X server creates no windows unless told to use its null display driver;
// programs started after this (the tests' window helpers) read the setting when they start.
void UseWineNullDisplayWhenHeadless() {
    if (!UnderWine() || HasEnvironment(L"DISPLAY") || HasEnvironment(L"WAYLAND_DISPLAY")) return;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    const wchar_t driver[] = L"null";
    DWORD size = 0;
    if (RegQueryValueExW(key, L"Graphics", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        RegSetValueExW(key, L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(driver), sizeof driver);
    RegCloseKey(key);
}

}  // namespace

GraphicalSession::GraphicalSession() : m_ready(true) { UseWineNullDisplayWhenHeadless(); }
GraphicalSession::~GraphicalSession() = default;

bool GraphicalSession::ReadShiftLatchHotKey(bool* on) const {
    STICKYKEYS keys{};
    keys.cbSize = sizeof keys;
    if (!SystemParametersInfoW(SPI_GETSTICKYKEYS, sizeof keys, &keys, 0)) return false;
    *on = (keys.dwFlags & SKF_HOTKEYACTIVE) != 0;
    return true;
}

bool GraphicalSession::WriteShiftLatchHotKey(bool on) {
    STICKYKEYS keys{};
    keys.cbSize = sizeof keys;
    if (!SystemParametersInfoW(SPI_GETSTICKYKEYS, sizeof keys, &keys, 0)) return false;
    keys.dwFlags = on ? (keys.dwFlags | SKF_HOTKEYACTIVE) : (keys.dwFlags & ~static_cast<DWORD>(SKF_HOTKEYACTIVE));
    return SystemParametersInfoW(SPI_SETSTICKYKEYS, sizeof keys, &keys, 0) != FALSE;
}

NoGraphicalSession::NoGraphicalSession() = default;
NoGraphicalSession::~NoGraphicalSession() = default;

}  // namespace tavrel::test
