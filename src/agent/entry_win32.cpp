#include <windows.h>

#include "agent/agent.h"
#include "agent/logger.h"
#include "agent/main_window.h"
#include "agent/startup.h"
#include "agent/window_messages.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    OnInitialize();
    if (!MyRegisterClass(instance)) LogError("WinMain") << "MyRegisterClass failed";
    if (!InitInstance(instance, showCommand)) {
        LogError("WinMain") << "初始化应用程序实例失败！";
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    OnUninitialize();
    return static_cast<int>(message.wParam);
}
