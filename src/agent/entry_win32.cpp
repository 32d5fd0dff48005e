#include <windows.h>

#include "base/shared_values.h"
#include "agent/dialogs.h"
#include "base/logger.h"
#include "agent/main_window.h"
#include "agent/startup.h"
#include "base/main_thread_post.h"
#include "system/single_instance.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // A second agent leaves at once: no message, no log line, no window.
    if (!ClaimSingleInstance()) return 0;
    OnInitialize();
    MyRegisterClass(instance);
    if (!InitInstance(instance, showCommand)) {
        LogError("InitInstance") << "初始化应用程序实例失败！";
        return 0;
    }
    AddTrayIcon(instance);
    StartServiceThread();

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (RouteDialogKeys(&message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    ReleaseSingleInstance();
    OnUninitialize();
    return static_cast<int>(message.wParam);
}
