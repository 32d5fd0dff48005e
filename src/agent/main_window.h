#pragma once
// The hidden main window of the Windows agent: the target of every post from the other threads.
#ifdef _WIN32
#include <windows.h>

// The window class "Tavrel测试系统"; false when registration failed.
bool MyRegisterClass(HINSTANCE instance);
// Creates the hidden main window and remembers it as the post target; false when it could not be made.
bool InitInstance(HINSTANCE instance, int showCommand);
#endif
