#include <windows.h>

#include <string>

#include "base/shared_values.h"
#include "agent/dialogs.h"
#include "agent/exit_password.h"
#include "base/logger.h"
#include "agent/main_window.h"
#include "agent/startup.h"
#include "base/main_thread_post.h"
#include "system/agent_exit.h"
#include "system/single_instance.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    // Only the installer starts the agent with an option: it stores the room's exit password and leaves.
    if (commandLine && std::string(commandLine) == kStoreExitPasswordOption) return StoreExitPasswordFromInstaller();
    // A second agent leaves at once: no message, no log line, no window.
    if (!ClaimSingleInstance()) return kAgentExitAnotherAgent;
    OnInitialize();
    MyRegisterClass(instance);
    if (!InitInstance(instance, showCommand)) {
        LogError("InitInstance") << "初始化应用程序实例失败！";
        return kAgentExitCouldNotStart;
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
    return message.wParam != 0 ? static_cast<int>(message.wParam) : AgentExitChosen().load();
}
