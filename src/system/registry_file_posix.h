#pragma once
// Linux stand-in for the few registry values the agent writes: one file in the registry editor's export
// format, <ExeDir>registry.reg, holding keys, value names, types and bytes exactly as Windows would hold
// them, e.g.
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Keyboard Layout]
//   "Scancode Map"=hex:00,00,00,00,00,00,00,00,03,00,00,00,00,00,5b,e0,00,00,5c,e0,00,00,00,00
//
// Text is UTF-8. Key paths match without regard to ASCII case and without trailing backslashes, as in the
// registry. The agent rewrites the whole file on every change; lines it cannot read are dropped then.
#include <mutex>
#include <string>
#include <vector>

constexpr unsigned long kRegSz = 1;
constexpr unsigned long kRegBinary = 3;
constexpr unsigned long kRegDword = 4;

struct RegistryValue {
    unsigned long type = kRegBinary;
    std::string bytes;  // the data as Windows stores it: a REG_DWORD is four little-endian bytes
};

// <agent folder>registry.reg (SetRegistryFolder of desktop.h; the executable's own folder until it is told)
std::string RegistryFilePath();

// The file loaded into memory, under one process-wide lock for as long as the object lives, so two
// threads' changes never overwrite each other. A missing or unreadable file is an empty registry.
class RegistryFile {
public:
    explicit RegistryFile(const std::string& path);

    // Keys are written in full, "HKEY_CURRENT_USER\Software\...".
    void CreateKey(const std::string& key);
    void SetValue(const std::string& key, const std::string& name, const RegistryValue& value);  // creates the key
    bool DeleteValue(const std::string& key, const std::string& name);  // false when there was none
    bool KeyExists(const std::string& key) const;
    bool QueryValue(const std::string& key, const std::string& name, RegistryValue* value) const;

    // Replaces the file as a whole (written beside it, flushed to disk, then renamed), so a power-off right
    // after a change finds either the old file or the new one.
    bool Save() const;

    // The export text of the current contents.
    std::string Text() const;

private:
    struct Named {
        std::string name;
        RegistryValue value;
    };
    struct Key {
        std::string path;
        std::vector<Named> values;
    };
    void Parse(const std::string& text);
    Key* FindKey(const std::string& key);
    const Key* FindKey(const std::string& key) const;

    std::unique_lock<std::mutex> m_hold;
    std::string m_path;
    std::vector<Key> m_keys;
};
