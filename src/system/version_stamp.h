#pragma once
// Linux executables carry their file version as a stamp in their own bytes, so GetFileVersionText reads a
// replaced binary's own version, as the version resource does on Windows. One stamp per executable.
#define TAVREL_STAMP_FILE_VERSION(text) \
    extern "C" __attribute__((used)) const char tavrel_file_version_stamp[] = "\001TAVREL-FILE-VERSION:" text "\001"
