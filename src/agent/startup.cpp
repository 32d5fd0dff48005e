#include "agent/startup.h"

#include <ctime>

#include "agent/agent.h"
#include "agent/config.h"
#include "agent/logger.h"
#include "server/http_provider.h"
#include "system/file.h"
#include "system/identity.h"
#include "system/text.h"

void OnInitialize() {
    // Before any thread can start a transfer: libcurl's global set-up is not safe to race.
    InitHttpTransport();
    std::string modulePath = CurrentModulePath();
    std::string exeDir = ParentFolder(modulePath) + PathSeparator();
    std::string exeFileName = modulePath.substr(modulePath.find_last_of(std::string("/") + PathSeparator()) + 1);
    UpdateShared([&](SharedValues& v) {
        v.ExeDir = exeDir;
        v.ExeFileName = exeFileName;
        v.IniPath = exeDir + "shell.ini";
    });
    WriteShared(&SharedValues::LocalVersion, GetFileVersionText(exeDir + exeFileName));
    GatherMachineIdentity();

    ReadConfiguration(exeDir + "shell.ini");

    std::time_t now = std::time(nullptr);
    std::tm localDate{};
#ifdef _WIN32
    localtime_s(&localDate, &now);
#else
    localtime_r(&now, &localDate);
#endif
    OpenLog(LogFilePath(exeDir, localDate), std::string());
    WriteStartBanner();
}

void OnUninitialize() {
    LogInfo("OnUninitialize") << "=======应用程序开始退出=======";
    StopFlag = true;
    LogInfo("OnUninitialize") << "Socket连接关闭!";
    WriteEndBanner();
}
