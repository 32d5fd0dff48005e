#include <windows.h>

#include "system/single_instance.h"

namespace {
HANDLE g_mutex = nullptr;
}

bool ClaimSingleInstance() {
    g_mutex = CreateMutexA(nullptr, FALSE, "TavrelAgentMK");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (g_mutex) CloseHandle(g_mutex);
        g_mutex = nullptr;
        return false;
    }
    return true;
}

void ReleaseSingleInstance() {
    if (g_mutex) CloseHandle(g_mutex);
    g_mutex = nullptr;
}
