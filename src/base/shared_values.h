#pragma once
// The agent's process-wide values. The main thread, the service thread and the Socket.IO network thread
// all read and write them, so every access goes through one lock and readers get a copy, never half a value.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct SharedValues {
    // Filled at start-up.
    std::string ExeDir;        // the agent's folder with one trailing separator; every path is built from it
    std::string ExeFileName;
    std::string IniPath;
    std::string LocalVersion;  // "%d.%d.%d.%d" of the agent's own executable
    // Machine identity.
    std::string LocalIp;
    std::string LocalMac;      // the machine key "ecpKey" of every server call
    std::string LocalComputerName;
    // Configuration ("shell.ini").
    std::string ServerIp;
    std::string ServerPort;
    std::string SocketPort;
    std::string AppTitle;      // the exam client's window title in UTF-8, as "shell.ini" holds it
    std::string ExitPasswordHash;  // [Application]: the room's exit password as a salted digest; "" the fixed one
    // Opt-in trust; all empty means plain HTTP and WebSocket and any installer runs, as servers expect today.
    std::string ServerScheme;  // "https" asks for TLS on every connection to the server
    std::string CaFile;        // PEM of the one CA the server's certificate must chain to, as written in the file
    std::string UpdatePublisher;  // subject name that must have signed a downloaded installer
    std::string UpdateThumbprint; // SHA-256 of the one signer certificate allowed, when set
    // The current assignment.
    std::string CurrentEcpId;  // empty while the server has given this machine no number
    std::string CurrentRoomCode;
    int CurrentPhase = 0;
    std::wstring TavrelExe = L"Tavrel.exe";
    std::string ExamPackage;
};

std::mutex& SharedLock();
SharedValues& SharedStorage();  // only under SharedLock()

// A copy of every value at one moment.
SharedValues SnapshotShared();

template <class T>
T ReadShared(T SharedValues::*field) {
    std::lock_guard<std::mutex> lock(SharedLock());
    return SharedStorage().*field;
}

template <class T, class U>
void WriteShared(T SharedValues::*field, U&& value) {
    std::lock_guard<std::mutex> lock(SharedLock());
    SharedStorage().*field = std::forward<U>(value);
}

// Several values changed together, under one hold of the lock.
template <class F>
void UpdateShared(F&& change) {
    std::lock_guard<std::mutex> lock(SharedLock());
    change(SharedStorage());
}

// Back to the values of a fresh process (tests start from here).
void ResetShared();

// "http://" (or "https://" with Scheme=https) + ServerIp + ":" + ServerPort, and the same with SocketPort, as
// the exam client's command line names them. The calls and the channel take a ServerEndpoint instead.
std::string BaseUrlOf(const SharedValues& v);
std::string SocketUrlOf(const SharedValues& v);
// True when the configuration asks for TLS (Scheme=https, in any letter case).
bool SecureSchemeOf(const SharedValues& v);

// Set once by OnUninitialize (or once the installer of an update runs); polled by the service thread.
extern std::atomic<bool> StopFlag;
