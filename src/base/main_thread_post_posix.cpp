#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/main_thread_post.h"

// Linux has no window to post to; the main loop drains this queue instead, with the same message numbers.

namespace {
std::mutex g_queueLock;
std::condition_variable g_queueReady;
std::deque<PostedMessage> g_queue;
std::atomic<void*> g_window{nullptr};
}  // namespace

void SetMainWindow(void* window) { g_window = window; }
void* GetMainWindow() { return g_window; }

bool PostMainWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    PostedMessage posted{message, wParam, lParam};
    if (!g_window) return false;
    // Notified under the lock: the stop-signal thread is detached, and once the main thread has taken
    // WM_DESTROY the process may end and destroy the condition variable at any moment after the unlock.
    std::lock_guard<std::mutex> lock(g_queueLock);
    g_queue.push_back(posted);
    g_queueReady.notify_one();
    return true;
}

bool TakeMainWindowMessage(PostedMessage* out) {
    std::unique_lock<std::mutex> lock(g_queueLock);
    g_queueReady.wait(lock, [] { return !g_queue.empty(); });
    *out = g_queue.front();
    g_queue.pop_front();
    return true;
}
