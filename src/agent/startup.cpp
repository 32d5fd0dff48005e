#include "agent/startup.h"

#include <ctime>
#include <memory>
#include <thread>

#include "agent/exit_password.h"
#include "base/shared_values.h"
#include "base/config.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "agent/service_workflow.h"
#include "agent/window_messages.h"
#include "commands/command_channel.h"
#include "server/http_provider.h"
#include "system/clock.h"
#include "system/desktop.h"
#include "system/file.h"
#include "system/identity.h"
#include "system/text.h"

void OnInitialize() {
    std::string modulePath = CurrentModulePath();
    std::string exeDir = ParentFolder(modulePath) + PathSeparator();
    std::string exeFileName = modulePath.substr(modulePath.find_last_of(std::string("/") + PathSeparator()) + 1);
    UpdateShared([&](SharedValues& v) {
        v.ExeDir = exeDir;
        v.ExeFileName = exeFileName;
        v.IniPath = IniFilePath(exeDir);
    });
    SetRegistryFolder(exeDir);
    WriteShared(&SharedValues::LocalVersion, GetFileVersionText(exeDir + exeFileName));
    MachineIdentity identity;
    // The adapter that routes to the configured server names this PC; the rest of the file is read below.
    GatherMachineIdentity(&identity, kEveryPass, ReadIniString(exeDir + "shell.ini", "Server", "Server"));
    UpdateShared([&](SharedValues& v) {
        v.LocalIp = identity.ip;
        v.LocalMac = identity.mac;
        v.LocalComputerName = identity.computerName;
    });

    ReadConfiguration(IniFilePath(exeDir));
    // Before any thread can start a transfer (libcurl's global set-up is not safe to race), and once the
    // scheme is known: TLS is set up only for https.
    InitHttpTransport();

    OpenLog(LogFilePath(exeDir, LocalTimeOf(std::time(nullptr))), std::string());
    WriteStartBanner();
    const std::string exitPasswordHash = ReadShared(&SharedValues::ExitPasswordHash);
    if (!exitPasswordHash.empty() && !IsReadableExitPasswordHash(exitPasswordHash))
        LogInfo("OnInitialize") << "配置错误：ExitPasswordHash 无法识别，退出口令不能结束程序";
    InstallChannelListeners(PostChannelStateToTray);
}

namespace {
std::shared_ptr<std::thread> ServiceThread;
}

void StartServiceThread() { ServiceThread = std::make_shared<std::thread>(DoUserServiceHandle); }

void OnUninitialize() {
    LogInfo("OnUninitialize") << "=======应用程序开始退出=======";
    StopServiceThread();
    LogInfo("OnUninitialize") << "Socket连接关闭!";
    // Between passes the thread ends at once; inside a pass (a server call, a running exam
    // client) shutdown waits for the pass to end.
    if (ServiceThread && ServiceThread->joinable()) ServiceThread->join();
    ServiceThread.reset();
    DestroyCommandChannel();
    WriteEndBanner();
}
