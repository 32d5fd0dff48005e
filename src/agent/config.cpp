#include "agent/config.h"

#include "agent/agent.h"
#include "system/file.h"
#include "system/text.h"

void ReadConfiguration(const std::string& iniPath) {
    std::string server = ReadIniString(iniPath, "Server", "Server");
    std::string serverPort = ReadIniString(iniPath, "Server", "ServerPort");
    std::string socketPort = ReadIniString(iniPath, "Server", "SocketPort");
    // The window title is kept in the file as UTF-8: read as it stands, not through the ANSI profile calls.
    std::string appTitle = Utf8ToAnsi(ReadIniBytes(iniPath, "Application", "AppTitle"));
    UpdateShared([&](SharedValues& v) {
        v.ServerIp = server;
        v.ServerPort = serverPort;
        v.SocketPort = socketPort;
        v.AppTitle = appTitle;
    });
}

bool WriteServerAddress(const std::string& iniPath, const std::string& serverIp) {
    return WriteIniString(iniPath, "Server", "Server", serverIp);
}
