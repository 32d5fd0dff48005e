#include <windows.h>

#include <vector>

#include "system/file.h"

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key) {
    char value[260] = {0};
    GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value, sizeof value, path.c_str());
    return std::string(value);
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) != FALSE;
}

std::string GetFileVersionText(const std::string& path) {
    std::string text;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
    if (size == 0) return text;
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (GetFileVersionInfoA(path.c_str(), 0, size, block.data()) &&
        VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &infoLength) && info) {
        char buffer[64];
        wsprintfA(buffer, "%d.%d.%d.%d", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                  HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
        text = buffer;
    }
    return text;
}

bool GetFileStamp(const std::string& path, FileStamp* stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    stamp->size = static_cast<long long>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    stamp->written = static_cast<long long>(
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool CreateFolders(const std::string& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    std::string parent = ParentFolder(path);
    if (!parent.empty() && parent != path && !(parent.size() == 2 && parent[1] == ':')) CreateFolders(parent);
    CreateDirectoryA(path.c_str(), nullptr);
    return IsDirectory(path);
}

std::string CurrentModulePath() {
    char buffer[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer);
}

bool MakeExecutable(const std::string&) { return true; }

bool IsAbsolutePath(const std::string& path) {
    if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return true;
    return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}
