#pragma once
// File helpers: MD5 of a file, one-value ini access, the version of an executable, and the few file-system
// questions the agent asks. Paths are narrow texts in the ANSI code page (UTF-8 on Linux).
#include <cstdio>
#include <string>

// 32 upper-case hex digits of the file's MD5, read in 1024-byte chunks (never the whole file in memory);
// empty when the file cannot be opened.
std::string GetFileMd5(const std::string& path);
// The same digest of bytes already in memory.
std::string GetBytesMd5(const std::string& bytes);
// The whole of a file open for reading (from its position on) when it holds at most maxBytes; false when it
// cannot be read or is larger. The caller closes it.
bool ReadOpenFileUpTo(FILE* file, unsigned long long maxBytes, std::string* bytes);

// Size and last-write time (in the platform's own units) of a file: what tells whether it changed.
struct FileStamp {
    long long size = -1;
    long long written = 0;
    bool operator==(const FileStamp& o) const { return size == o.size && written == o.written; }
};
bool GetFileStamp(const std::string& path, FileStamp* stamp);

// The value, or "" for a missing file, section or key; at most 259 characters.
std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key);
// The value's bytes as they stand in the file, read with the profile functions' rules (section and key
// without regard to case, blanks and one pair of quotes dropped, at most 259 bytes). For the one UTF-8 value:
// the ANSI profile functions would take it for ANSI text and mangle it.
std::string ReadIniBytes(const std::string& path, const std::string& section, const std::string& key);
// Creates the file, section and key when missing; true when written.
bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

// "%d.%d.%d.%d" of the executable's file version, or "" when it has none.
std::string GetFileVersionText(const std::string& path);

bool FileExists(const std::string& path);   // anything at the path
bool IsDirectory(const std::string& path);
bool RemoveFile(const std::string& path);
// Creates the folder and any missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);
// The running executable's full path.
std::string CurrentModulePath();
// The folder part of a path, without its trailing separator ("" when there is none).
std::string ParentFolder(const std::string& path);
// Lets the owner run a downloaded program (nothing to do on Windows).
bool MakeExecutable(const std::string& path);
// True for a path that does not hang from the current folder ("/x"; on Windows "C:\x", "\x", "\\host\x").
bool IsAbsolutePath(const std::string& path);
// A file name that Windows opens as a device in any folder and with any extension: CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, CLOCK$, COM0-9 and LPT0-9 (also with the superscript digits), in any letter case, the
// stem ending at the first dot and its trailing dots and blanks ignored ("nul .exe", "COM1.oef", "con.tar.gz").
bool IsWindowsDeviceName(const std::wstring& name);

// Opens a file in a folder that users may write (the log folder, ExamData) so that a link planted there leads
// the elevated agent nowhere: a symbolic link, junction or other reparse point at the path, anything but a
// plain file, or a file with a second hard link, is refused (null). forAppend creates a missing file and
// appends to it in text mode; otherwise the file is read as bytes. Close with fclose.
FILE* OpenWithoutLinks(const std::string& path, bool forAppend);
// True when the open file lies inside folder, both as the system resolves them (every link on the way
// followed).
bool OpenFileIsInside(FILE* file, const std::string& folder);
