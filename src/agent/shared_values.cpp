#include "agent/agent.h"

std::atomic<bool> StopFlag{false};

std::mutex& SharedLock() {
    static std::mutex lock;
    return lock;
}

SharedValues& SharedStorage() {
    static SharedValues values;
    return values;
}

SharedValues SnapshotShared() {
    std::lock_guard<std::mutex> lock(SharedLock());
    return SharedStorage();
}

void ResetShared() {
    std::lock_guard<std::mutex> lock(SharedLock());
    SharedStorage() = SharedValues{};
}

std::string BaseUrl() {
    std::lock_guard<std::mutex> lock(SharedLock());
    const SharedValues& v = SharedStorage();
    return "http://" + v.ServerIp + ":" + v.ServerPort;
}

std::string SocketUrl() {
    std::lock_guard<std::mutex> lock(SharedLock());
    const SharedValues& v = SharedStorage();
    return "http://" + v.ServerIp + ":" + v.SocketPort;
}
