#include "base/config.h"

#include <cstdio>

#include "base/shared_values.h"
#include "base/logger.h"
#include "system/file.h"
#include "system/text.h"

void ReadConfiguration(const std::string& iniPath) {
    std::string server = ReadIniString(iniPath, "Server", "Server");
    std::string serverPort = ReadIniString(iniPath, "Server", "ServerPort");
    std::string socketPort = ReadIniString(iniPath, "Server", "SocketPort");
    // The window title is kept in the file as UTF-8: read as it stands, not through the ANSI profile calls,
    // and kept so until it becomes wide text; the ANSI code page of an English PC has no Chinese.
    std::string appTitle = ReadIniBytes(iniPath, "Application", "AppTitle");
    std::string exitPasswordHash = ReadIniString(iniPath, "Application", "ExitPasswordHash");
    std::string scheme = ReadIniString(iniPath, "Server", "Scheme");
    std::string caFile = ReadIniString(iniPath, "Server", "CaFile");
    std::string publisher = ReadIniString(iniPath, "Update", "Publisher");
    std::string thumbprint = ReadIniString(iniPath, "Update", "Thumbprint");
    UpdateShared([&](SharedValues& v) {
        v.ServerIp = server;
        v.ServerPort = serverPort;
        v.SocketPort = socketPort;
        v.AppTitle = appTitle;
        v.ExitPasswordHash = exitPasswordHash;
        v.ServerScheme = scheme;
        v.CaFile = caFile;
        v.UpdatePublisher = publisher;
        v.UpdateThumbprint = thumbprint;
    });
}

bool WriteServerAddress(const std::string& iniPath, const std::string& serverIp) {
    return WriteIniString(iniPath, "Server", "Server", serverIp);
}

TransportTrust TransportTrustOf(const SharedValues& v) {
    TransportTrust trust;
    if (v.ServerScheme.empty() || v.ServerScheme == "http") return trust;
    if (!SecureSchemeOf(v)) {
        // A misspelt scheme was meant to be secure; plain text would betray that wish.
        trust.problem = "[Server] Scheme=" + v.ServerScheme + " is neither http nor https";
        return trust;
    }
    trust.secure = true;
    if (v.CaFile.empty()) {
        trust.problem = "[Server] Scheme=https needs CaFile=, the PEM file of the server's CA";
        return trust;
    }
    trust.caPath = IsAbsolutePath(v.CaFile) ? v.CaFile : v.ExeDir + v.CaFile;
    FILE* file = std::fopen(trust.caPath.c_str(), "rb");
    if (!file) {
        trust.problem = "[Server] CaFile cannot be read: " + trust.caPath;
        return trust;
    }
    std::fclose(file);
    return trust;
}
