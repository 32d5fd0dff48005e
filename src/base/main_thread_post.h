#pragma once
// The messages that reach the agent's main window. Other threads never call into the main thread: they post
// one of these (PostMessageW on Windows, the main loop's queue on Linux).
#include <cstdint>

constexpr unsigned kMsgDestroy = 0x0002;        // WM_DESTROY: ends the agent
constexpr unsigned kMsgTrayNotify = 0x0464;     // WM_TRAYNOTIFY: the tray icon's callback
constexpr unsigned kMsgShowBlankDialog = 0x0465;// WM_SHOWBLANKDIALOG
constexpr unsigned kMsgSetTrayIcon = 0x0466;    // WM_SETTRAYICON: lParam 0 connected, 1 closed, 2 retrying

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

// Linux: the main thread takes the next posted message, waiting for one (false once the queue is closed).
bool TakeMainWindowMessage(PostedMessage* out);
// Every post as it is made, for tests and the live view; the observer must not post or log.
void SetPostObserver(void (*observer)(const PostedMessage&));
