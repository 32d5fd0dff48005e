#pragma once
// The hidden main window of the Windows agent: it owns the tray icon and is the target of every post from
// the other threads.
#ifdef _WIN32
#include <windows.h>

// The window class "Tavrel测试系统"; false (and a log line) when registration failed.
bool MyRegisterClass(HINSTANCE instance);
// Creates the hidden main window and remembers it as the post target; false when it could not be made.
bool InitInstance(HINSTANCE instance, int showCommand);
// The notification-area icon (picture 111 until the channel opens) with its menu.
void AddTrayIcon(HINSTANCE instance);
#endif
