#include <cctype>
#include <fstream>

#include "system/file.h"
#include "system/ini_text.h"

namespace ini {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::string::size_type last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string> ReadLines(const std::string& path, bool* found) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    *found = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Notepad saves UTF-8 with a byte-order mark, which would hide the first section's name.
        if (lines.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        lines.push_back(line);
    }
    return lines;
}

bool IsSectionLine(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    std::string::size_type close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

bool IsKeyLine(const std::string& line, std::string* key, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return false;
    std::string::size_type eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

}  // namespace ini

std::string ReadIniBytes(const std::string& path, const std::string& section, const std::string& key) {
    bool found = false;
    std::vector<std::string> lines = ini::ReadLines(path, &found);
    bool inSection = false;
    for (const std::string& line : lines) {
        std::string name, k, v;
        if (ini::IsSectionLine(line, &name)) {
            inSection = ini::SameName(name, section);
        } else if (inSection && ini::IsKeyLine(line, &k, &v) && ini::SameName(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            if (v.size() > 259) {
                // The profile functions' 259 characters, never ending inside a UTF-8 sequence.
                std::string::size_type cut = 259;
                while (cut > 0 && (static_cast<unsigned char>(v[cut]) & 0xC0) == 0x80) --cut;
                v.resize(cut);
            }
            return v;
        }
    }
    return std::string();
}
