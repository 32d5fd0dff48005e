#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cwctype>
#include <vector>

#include "system/file.h"
#include "system/text.h"

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

FILE* OpenWithoutLinks(const std::string& path, bool forAppend) {
    // The reparse point itself is opened, never what it points to, and then refused.
    DWORD access = forAppend ? FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE : GENERIC_READ;
    HANDLE handle = CreateFileW(AnsiToWide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                forAppend ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) || GetFileType(handle) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        CloseHandle(handle);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), forAppend ? _O_APPEND | _O_TEXT : _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, forAppend ? "a" : "rb");
    if (!file) _close(fd);
    return file;
}

namespace {
std::wstring FinalPathOf(HANDLE handle) {
    wchar_t path[32768];
    DWORD length = GetFinalPathNameByHandleW(handle, path, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= 32768) return std::wstring();
    std::wstring text(path, length);
    for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}
}  // namespace

bool OpenFileIsInside(FILE* file, const std::string& folder) {
    if (!file) return false;
    HANDLE opened = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    HANDLE root = CreateFileW(AnsiToWide(folder).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (root == INVALID_HANDLE_VALUE) return false;
    std::wstring inside = FinalPathOf(root);
    CloseHandle(root);
    std::wstring path = FinalPathOf(opened);
    if (inside.empty() || path.empty()) return false;
    if (inside.back() != L'\\') inside += L'\\';
    return path.compare(0, inside.size(), inside) == 0;
}
