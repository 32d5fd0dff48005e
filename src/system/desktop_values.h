#pragma once
// What the lock-down values are: the nine user policies cleared after an exam and the scan-code map that
// turns the two Windows logo keys off. Shared by the registry on Windows and its stand-in on Linux.

namespace desktop_values {

// Both under HKEY_CURRENT_USER; the key paths keep the trailing backslash the agent has always used.
constexpr const wchar_t* kSystemPolicies = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\";
constexpr const wchar_t* kExplorerPolicies =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\Explorer\\";

struct PolicyValue {
    bool explorer;  // under the Explorer key, else under the System key
    const wchar_t* name;
};

// Written as REG_DWORD 0 in this order (set to 0, never deleted).
constexpr PolicyValue kPolicyValues[] = {
    {false, L"DisableTaskmgr"},   {false, L"DisableLockWorkstation"}, {false, L"DisableChangePassword"},
    {false, L"DisableSwitchUserOption"}, {true, L"NoChangeStartMenu"}, {true, L"NoClose"},
    {true, L"NoLogOff"},          {true, L"NoRun"},                   {true, L"NoSetFolders"},
};

// Under HKEY_LOCAL_MACHINE; Windows reads it when the machine starts.
constexpr const wchar_t* kKeyboardLayout = L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layout\\";
constexpr const wchar_t* kScancodeMap = L"Scancode Map";

// Version 0, flags 0, three entries counting the terminator; E05B (left) and E05C (right Windows key)
// both mapped to scan code 0, which makes them produce nothing.
constexpr unsigned char kWindowsKeysOff[24] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x5B, 0xE0, 0x00, 0x00, 0x5C, 0xE0, 0x00, 0x00, 0x00, 0x00,
};

}  // namespace desktop_values
