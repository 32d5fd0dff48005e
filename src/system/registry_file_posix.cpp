#include "system/registry_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "system/desktop.h"
#include "system/file.h"
#include "system/text.h"

namespace {

std::mutex g_registryLock;
std::mutex g_folderLock;
std::string g_registryFolder;

const char kHeader[] = "Windows Registry Editor Version 5.00";

std::string KeyPath(std::string key) {
    while (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
}

bool SameName(const std::string& a, const std::string& b) { return ToLowerAscii(a) == ToLowerAscii(b); }

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Reads a quoted text starting at text[at] == '"'; *end is the index after the closing quote.
bool Unquote(const std::string& text, size_t at, std::string* out, size_t* end) {
    if (at >= text.size() || text[at] != '"') return false;
    out->clear();
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            *out += text[++i];
        } else if (text[i] == '"') {
            *end = i + 1;
            return true;
        } else {
            *out += text[i];
        }
    }
    return false;
}

std::string HexList(const std::string& bytes) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, i ? ",%02x" : "%02x", static_cast<unsigned char>(bytes[i]));
        out += pair;
    }
    return out;
}

bool ParseHexList(const std::string& text, std::string* bytes) {
    bytes->clear();
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        item = TrimSpaces(item);
        if (item.empty() && in.eof()) break;
        char* end = nullptr;
        unsigned long value = std::strtoul(item.c_str(), &end, 16);
        if (item.empty() || item.size() > 2 || *end != '\0' || value > 0xFF) return false;
        *bytes += static_cast<char>(value);
    }
    return true;
}

bool ParseData(const std::string& data, RegistryValue* value) {
    if (!data.empty() && data[0] == '"') {
        size_t end = 0;
        if (!Unquote(data, 0, &value->bytes, &end)) return false;
        value->type = kRegSz;
        return true;
    }
    if (data.compare(0, 6, "dword:") == 0) {
        std::string digits = data.substr(6);
        char* end = nullptr;
        unsigned long number = std::strtoul(digits.c_str(), &end, 16);
        if (digits.empty() || digits.size() > 8 || *end != '\0') return false;
        value->type = kRegDword;
        value->bytes.clear();
        for (int i = 0; i < 4; ++i) value->bytes += static_cast<char>((number >> (8 * i)) & 0xFF);
        return true;
    }
    if (data.compare(0, 4, "hex:") == 0) {
        value->type = kRegBinary;
        return ParseHexList(data.substr(4), &value->bytes);
    }
    if (data.compare(0, 4, "hex(") == 0) {
        size_t close = data.find("):", 4);
        if (close == std::string::npos) return false;
        const std::string digits = data.substr(4, close - 4);
        char* end = nullptr;
        value->type = std::strtoul(digits.c_str(), &end, 16);
        if (digits.empty() || *end != '\0') return false;
        return ParseHexList(data.substr(close + 2), &value->bytes);
    }
    return false;
}

std::string DataText(const RegistryValue& value) {
    if (value.type == kRegDword && value.bytes.size() == 4) {
        unsigned long number = 0;
        for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.bytes[i]);
        char text[32];
        std::snprintf(text, sizeof text, "dword:%08lx", number);
        return text;
    }
    if (value.type == kRegSz) return Quoted(value.bytes);
    if (value.type == kRegBinary) return "hex:" + HexList(value.bytes);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "hex(%lx):", value.type);
    return prefix + HexList(value.bytes);
}

}  // namespace

void SetRegistryFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_folderLock);
    g_registryFolder = folder;
}

std::string RegistryFilePath() {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(g_folderLock);
        folder = g_registryFolder;
    }
    if (folder.empty()) folder = ParentFolder(CurrentModulePath()) + PathSeparator();
    return folder + "registry.reg";
}

RegistryFile::RegistryFile(const std::string& path) : m_hold(g_registryLock), m_path(path) {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return;
    std::ostringstream text;
    text << in.rdbuf();
    Parse(text.str());
}

void RegistryFile::Parse(const std::string& text) {
    std::istringstream in(text);
    std::string line, pending;
    Key* current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Long hex lists go on over several lines, each but the last ending in a backslash.
        std::string trimmed = TrimSpaces(line);
        bool valueLine = !pending.empty() || (!trimmed.empty() && (trimmed[0] == '"' || trimmed[0] == '@'));
        if (valueLine && !trimmed.empty() && trimmed.back() == '\\') {
            pending += trimmed.substr(0, trimmed.size() - 1);
            continue;
        }
        line = pending.empty() ? trimmed : pending + trimmed;
        pending.clear();
        if (line.empty() || line[0] == ';' || line == kHeader) continue;
        if (line[0] == '[') {
            current = nullptr;
            if (line.size() < 3 || line.back() != ']' || line[1] == '-') continue;
            CreateKey(line.substr(1, line.size() - 2));
            current = FindKey(line.substr(1, line.size() - 2));
            continue;
        }
        if (!current) continue;
        std::string name;
        size_t afterName = 0;
        if (line[0] == '@') {
            afterName = 1;
        } else if (!Unquote(line, 0, &name, &afterName)) {
            continue;
        }
        if (afterName >= line.size() || line[afterName] != '=') continue;
        RegistryValue value;
        if (ParseData(TrimSpaces(line.substr(afterName + 1)), &value)) SetValue(current->path, name, value);
    }
}

RegistryFile::Key* RegistryFile::FindKey(const std::string& key) {
    std::string path = KeyPath(key);
    for (Key& k : m_keys)
        if (SameName(k.path, path)) return &k;
    return nullptr;
}

const RegistryFile::Key* RegistryFile::FindKey(const std::string& key) const {
    return const_cast<RegistryFile*>(this)->FindKey(key);
}

void RegistryFile::CreateKey(const std::string& key) {
    if (!FindKey(key)) m_keys.push_back(Key{KeyPath(key), {}});
}

void RegistryFile::SetValue(const std::string& key, const std::string& name, const RegistryValue& value) {
    CreateKey(key);
    Key* k = FindKey(key);
    for (Named& named : k->values) {
        if (SameName(named.name, name)) {
            named.value = value;
            return;
        }
    }
    k->values.push_back(Named{name, value});
}

bool RegistryFile::DeleteValue(const std::string& key, const std::string& name) {
    Key* k = FindKey(key);
    if (!k) return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (SameName(it->name, name)) {
            k->values.erase(it);
            return true;
        }
    }
    return false;
}

bool RegistryFile::KeyExists(const std::string& key) const { return FindKey(key) != nullptr; }

bool RegistryFile::QueryValue(const std::string& key, const std::string& name, RegistryValue* value) const {
    const Key* k = FindKey(key);
    if (!k) return false;
    for (const Named& named : k->values) {
        if (SameName(named.name, name)) {
            if (value) *value = named.value;
            return true;
        }
    }
    return false;
}

std::string RegistryFile::Text() const {
    std::string text = std::string(kHeader) + "\n";
    for (const Key& key : m_keys) {
        text += "\n[" + key.path + "]\n";
        for (const Named& named : key.values)
            text += (named.name.empty() ? std::string("@") : Quoted(named.name)) + "=" + DataText(named.value) + "\n";
    }
    return text;
}

bool RegistryFile::Save() const {
    const std::string text = Text();
    const std::string temporary = m_path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), m_path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
