#pragma once
// The invigilator's two dialogs (Windows): created on first use, then only hidden and shown again.
#ifdef _WIN32
#include <windows.h>

void OpenSettingsDialog(HINSTANCE instance);
void OpenExitPasswordDialog(HINSTANCE instance);
// The settings dialog's confirm handler.
void OnSettingMessage(HWND dialog);
// Tab, Enter and Esc for the modeless dialogs: true when a dialog took the message (the loop then neither
// translates nor dispatches it).
bool RouteDialogKeys(MSG* message);
#endif
