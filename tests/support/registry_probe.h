#pragma once
// Reads and writes the registry behind the agent's back, so the desktop tests see what the agent really
// left there: the registry itself on Windows, the agent's registry file (<ExeDir>registry.reg) on Linux.
#include <string>

namespace tavrel::test {

enum class RegistryRoot { CurrentUser, LocalMachine };

constexpr unsigned long kTypeBinary = 3;  // REG_BINARY
constexpr unsigned long kTypeDword = 4;   // REG_DWORD

struct RegistryEntry {
    bool found = false;
    unsigned long type = 0;
    std::string bytes;
};

// Key paths as the agent writes them, with backslashes ("Software\\Microsoft\\...").
RegistryEntry ReadRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name);
bool WriteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name, unsigned long type,
                        const std::string& bytes);
bool DeleteRegistryEntry(RegistryRoot root, const std::string& key, const std::string& name);

}  // namespace tavrel::test
