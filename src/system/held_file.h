#pragma once
// A downloaded program held from the end of its download until it has started: while held nobody may write,
// replace, rename or delete what will run, so the bytes checked through it are the bytes that start.
#include <string>

#include "system/process.h"

#ifdef _WIN32
struct HeldFile {
    void* handle = nullptr;  // the file HANDLE, opened for reading and shared for reading only
    std::string path;        // the file the handle names, as the system resolved it
    explicit operator bool() const { return handle != nullptr; }
};
#else
// Linux cannot deny other writers of a file, so its stand-in holds a sealed copy in memory (a memfd that no
// one may change, root included) and starts the program from that copy.
struct HeldFile {
    int fd = -1;
    std::string path;  // /proc/<agent>/fd/<fd>: reads and starts go to the held copy
    explicit operator bool() const { return fd >= 0; }
};
#endif

// Nothing held (false) when the file cannot be opened so.
HeldFile HoldFile(const std::string& path);
void ReleaseHeldFile(HeldFile& file);
// RunProgram of the held file; the caller releases it once this has returned.
ProcessHandle RunHeldProgram(const HeldFile& file, const std::wstring& parameters, const std::wstring& directory);
