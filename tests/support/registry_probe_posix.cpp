#include "support/registry_probe.h"
#include "system/registry_file_posix.h"

namespace tavrel::test {

namespace {

std::string FullKey(RegistryRoot root, const std::string& key) {
    return (root == RegistryRoot::CurrentUser ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") + key;
}

}  // namespace

RegistryEntry ReadRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name) {
    RegistryEntry entry;
    RegistryValue value;
    RegistryFile registry(RegistryFilePath());
    if (registry.QueryValue(FullKey(root, key), name, &value)) {
        entry.found = true;
        entry.type = value.type;
        entry.bytes = value.bytes;
    }
    return entry;
}

bool WriteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name, unsigned long type,
                        const std::string& bytes) {
    RegistryFile registry(RegistryFilePath());
    registry.SetValue(FullKey(root, key), name, RegistryValue{type, bytes});
    return registry.Save();
}

bool DeleteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name) {
    RegistryFile registry(RegistryFilePath());
    return registry.DeleteValue(FullKey(root, key), name) && registry.Save();
}

}  // namespace tavrel::test
