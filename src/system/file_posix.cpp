#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "system/file.h"
#include "system/ini_text.h"

// The ini file is written the way WritePrivateProfileStringA does; reading is shared with Windows
// (ini_common.cpp).

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key) {
    return ReadIniBytes(path, section, key);
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    bool found = false;
    std::vector<std::string> lines = ini::ReadLines(path, &found);
    bool inSection = false;
    bool sectionSeen = false;
    size_t insertAt = lines.size();
    bool written = false;
    for (size_t i = 0; i < lines.size() && !written; ++i) {
        std::string name, k, v;
        if (ini::IsSectionLine(lines[i], &name)) {
            if (inSection) break;  // end of our section: insert before the next one
            inSection = ini::SameName(name, section);
            if (inSection) {
                sectionSeen = true;
                insertAt = i + 1;
            }
        } else if (inSection) {
            if (ini::IsKeyLine(lines[i], &k, &v) && ini::SameName(k, key)) {
                lines[i] = key + "=" + value;
                written = true;
            } else if (!ini::Trim(lines[i]).empty()) {
                insertAt = i + 1;
            }
        }
    }
    if (!written) {
        if (sectionSeen) {
            lines.insert(lines.begin() + static_cast<long>(insertAt), key + "=" + value);
        } else {
            lines.push_back("[" + section + "]");
            lines.push_back(key + "=" + value);
        }
    }
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        for (const std::string& line : lines) out << line << "\r\n";
        out.flush();
        if (!out) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

std::string GetFileVersionText(const std::string& path) {
    // Built from two pieces so the scanner's own bytes never hold the whole marker.
    const std::string marker = std::string("\001TAVREL-FILE-") + "VERSION:";
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    const size_t chunkSize = 1 << 16;
    const size_t keep = marker.size() + 64;
    std::string window;
    std::vector<char> chunk(chunkSize);
    for (;;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        window.append(chunk.data(), static_cast<size_t>(got));
        std::string::size_type at = 0;
        while ((at = window.find(marker, at)) != std::string::npos) {
            std::string::size_type end = window.find('\001', at + marker.size());
            if (end == std::string::npos) break;  // the stamp runs on into the next chunk
            unsigned a, b, c, d;
            char tail;
            std::string stamp = window.substr(at + marker.size(), end - at - marker.size());
            if (std::sscanf(stamp.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a < 65536 &&
                b < 65536 && c < 65536 && d < 65536) {
                char text[64];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", a, b, c, d);
                return text;
            }
            at += marker.size();
        }
        if (window.size() > keep) window.erase(0, window.size() - keep);
    }
    return std::string();
}

bool GetFileStamp(const std::string& path, FileStamp* stamp) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp->size = static_cast<long long>(st.st_size);
    stamp->written = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool CreateFolders(const std::string& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    std::string parent = ParentFolder(path);
    if (!parent.empty() && parent != path) CreateFolders(parent);
    ::mkdir(path.c_str(), 0755);
    return IsDirectory(path);
}

std::string CurrentModulePath() {
    std::vector<char> buffer(4096, '\0');
    ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (got <= 0) return std::string();
    return std::string(buffer.data(), static_cast<size_t>(got));
}

bool MakeExecutable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    return ::chmod(path.c_str(), st.st_mode | S_IXUSR) == 0;
}

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

FILE* OpenWithoutLinks(const std::string& path, bool forAppend) {
    // Non-blocking: a FIFO planted under the name must not hold the thread; it is refused below.
    int flags = forAppend ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY | O_NONBLOCK;
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1 ||
        (!forAppend && ::fcntl(fd, F_SETFL, 0) != 0)) {
        ::close(fd);
        return nullptr;
    }
    FILE* file = ::fdopen(fd, forAppend ? "a" : "rb");
    if (!file) ::close(fd);
    return file;
}

bool OpenFileIsInside(FILE* file, const std::string& folder) {
    if (!file) return false;
    char opened[4096] = {0};
    std::string link = "/proc/self/fd/" + std::to_string(::fileno(file));
    ssize_t got = ::readlink(link.c_str(), opened, sizeof opened - 1);
    char* root = ::realpath(folder.c_str(), nullptr);
    if (got <= 0 || !root) {
        std::free(root);
        return false;
    }
    std::string inside = std::string(root) + "/";
    std::free(root);
    return std::string(opened, static_cast<size_t>(got)).compare(0, inside.size(), inside) == 0;
}
