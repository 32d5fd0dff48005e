#include <windows.h>
#include <shlobj.h>

#include "system/desktop.h"
#include "system/desktop_values.h"
#include "system/session.h"

namespace dv = desktop_values;

namespace {

HKEY OpenOrCreate(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

}  // namespace

void SetRegistryFolder(const std::string&) {}

bool RestoreDesktop() {
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    HWND startButton = FindWindowW(L"Button", nullptr);
    // The candidate's own policies, also when the agent runs as LocalSystem under the service.
    HKEY user = OpenSessionUserKey();
    HKEY systemKey = OpenOrCreate(user, dv::kSystemPolicies);
    HKEY explorerKey = OpenOrCreate(user, dv::kExplorerPolicies);
    if (taskbar) ShowWindow(taskbar, SW_SHOW);
    if (startButton) ShowWindow(startButton, SW_SHOW);

    const DWORD zero = 0;
    for (const dv::PolicyValue& value : dv::kPolicyValues) {
        HKEY key = value.explorer ? explorerKey : systemKey;
        if (key)
            RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    }
    // Everything else here unlocks, so the screen saver is reported as not running; "running" would block
    // the system key combinations again.
    UINT scratch = 0;
    SystemParametersInfoW(SPI_SETSCREENSAVERRUNNING, FALSE, &scratch, 0);

    if (systemKey) RegCloseKey(systemKey);
    if (explorerKey) RegCloseKey(explorerKey);
    CloseSessionUserKey(user);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_FLUSH, nullptr, nullptr);
    SetShiftLatchHotKey(true);
    return explorerKey != nullptr;
}

bool SetShiftLatchHotKey(bool on) {
    STICKYKEYS keys{};
    keys.cbSize = sizeof keys;
    if (!SystemParametersInfoW(SPI_GETSTICKYKEYS, sizeof keys, &keys, 0)) return false;
    bool isOn = (keys.dwFlags & SKF_HOTKEYACTIVE) != 0;
    if (isOn == on) return true;
    if (on)
        keys.dwFlags |= SKF_HOTKEYACTIVE;
    else
        keys.dwFlags &= ~static_cast<DWORD>(SKF_HOTKEYACTIVE);
    // Neither saved to the user's profile nor broadcast: it lasts for this session.
    return SystemParametersInfoW(SPI_SETSTICKYKEYS, sizeof keys, &keys, 0) == 1;
}

bool DisableWindowsKeys() {
    HKEY key = OpenOrCreate(HKEY_LOCAL_MACHINE, dv::kKeyboardLayout);
    if (key) {
        RegSetValueExW(key, dv::kScancodeMap, 0, REG_BINARY, dv::kWindowsKeysOff, sizeof dv::kWindowsKeysOff);
        RegCloseKey(key);
    }
    return true;
}

bool EnableWindowsKeys() {
    HKEY key = OpenOrCreate(HKEY_LOCAL_MACHINE, dv::kKeyboardLayout);
    if (key) {
        RegDeleteValueW(key, dv::kScancodeMap);
        RegCloseKey(key);
    }
    return true;
}
