#include <windows.h>

#include <atomic>

#include "base/main_thread_post.h"

namespace {
std::atomic<void*> g_window{nullptr};
}  // namespace

void SetMainWindow(void* window) { g_window = window; }
void* GetMainWindow() { return g_window; }

bool PostMainWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    HWND window = static_cast<HWND>(g_window.load());
    if (!window) return false;
    return PostMessageW(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != FALSE;
}

// Windows drains the posts through the window procedure and its message loop.
bool TakeMainWindowMessage(PostedMessage*) { return false; }
