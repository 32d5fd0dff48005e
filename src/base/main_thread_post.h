#pragma once
// Posting to the agent's main window. Other threads never call into the main thread: they post a message
// (PostMessageW on Windows, the main loop's queue on Linux). The window's own messages belong to the agent.
#include <cstdint>

constexpr unsigned kMsgDestroy = 0x0002;        // WM_DESTROY: ends the agent

// Posts to the main window; false when there is none yet or the post failed.
bool PostMainWindowMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

struct PostedMessage {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

// The main window the posts go to (an HWND on Windows; on Linux the loop's queue needs no handle and this
// only marks that the loop exists).
void SetMainWindow(void* window);
void* GetMainWindow();

// Linux: the main thread takes the next posted message, waiting for one; the queue lives as long as the
// process. Windows drains its posts through the message loop: there this returns false at once.
bool TakeMainWindowMessage(PostedMessage* out);
