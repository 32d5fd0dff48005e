// A library OpenSSL would load as an engine or a provider if it ever read a planted configuration: loading it
// writes the file TAVREL_OPENSSL_MARKER names. The tests plant it and look for that file.
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
void LeaveMarker() {
#ifdef _WIN32
    // The process's own environment: the C runtime's copy was taken before a test set the name.
    char buffer[1024] = {0};
    const char* path = GetEnvironmentVariableA("TAVREL_OPENSSL_MARKER", buffer, sizeof buffer) ? buffer : nullptr;
#else
    const char* path = std::getenv("TAVREL_OPENSSL_MARKER");
#endif
    if (!path || !*path) return;
    if (FILE* file = std::fopen(path, "ab")) {
        std::fputs("loaded\n", file);
        std::fclose(file);
    }
}
}  // namespace

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) LeaveMarker();
    return TRUE;
}
#else
__attribute__((constructor)) static void Loaded() { LeaveMarker(); }
#endif
