#pragma once
// "shell.ini" beside the agent: the exam server's address and two ports, the exam client's window title, and
// the opt-in trust values (TLS with one pinned CA, the installer's publisher).
#include <string>

struct SharedValues;

// Reads the values into the shared values; missing ones stay empty and the agent runs on with them.
void ReadConfiguration(const std::string& iniPath);
// Stores a new server address in "shell.ini" (the only value the agent ever writes there).
bool WriteServerAddress(const std::string& iniPath, const std::string& serverIp);

// What the configuration asks of every connection to the server. A non-empty problem is a configuration
// error: nothing may be sent, neither over TLS nor, in its place, in plain text.
struct TransportTrust {
    bool secure = false;
    std::string caPath;   // the CA file as opened: CaFile, or ExeDir + CaFile when it is relative
    std::string problem;
};
TransportTrust TransportTrustOf(const SharedValues& v);
