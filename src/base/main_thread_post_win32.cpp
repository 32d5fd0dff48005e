#include <windows.h>

#include <atomic>

#include "base/main_thread_post.h"

namespace {
std::atomic<void*> g_window{nullptr};
std::atomic<void (*)(const PostedMessage&)> g_observer{nullptr};
}  // namespace

void SetMainWindow(void* window) { g_window = window; }
void* GetMainWindow() { return g_window; }

void SetPostObserver(void (*observer)(const PostedMessage&)) { g_observer = observer; }

bool PostMainWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (auto observer = g_observer.load()) observer(PostedMessage{message, wParam, lParam});
    HWND window = static_cast<HWND>(g_window.load());
    if (!window) return false;
    return PostMessageW(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != FALSE;
}

// Windows drains the posts through the window procedure and its message loop.
bool TakeMainWindowMessage(PostedMessage*) { return false; }
