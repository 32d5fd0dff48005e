#include <windows.h>

#include <vector>

#include "support/registry_probe.h"
#include "system/text.h"

namespace tavrel::test {

namespace {

HKEY Root(RegistryRoot root) { return root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

}  // namespace

RegistryEntry ReadRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name) {
    RegistryEntry entry;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(Root(root), AnsiToWide(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return entry;
    DWORD type = 0, size = 0;
    std::wstring valueName = AnsiToWide(name);
    if (RegQueryValueExW(handle, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + 1);
        if (RegQueryValueExW(handle, valueName.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            entry.found = true;
            entry.type = type;
            entry.bytes.assign(reinterpret_cast<const char*>(data.data()), size);
        }
    }
    RegCloseKey(handle);
    return entry;
}

bool WriteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name, unsigned long type,
                        const std::string& bytes) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(Root(root), AnsiToWide(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(handle, AnsiToWide(name).c_str(), 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

bool DeleteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(Root(root), AnsiToWide(key).c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS)
        return false;
    LONG rc = RegDeleteValueW(handle, AnsiToWide(name).c_str());
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

}  // namespace tavrel::test
