#include "base/shared_values.h"

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

bool SecureSchemeOf(const SharedValues& v) {
    const std::string& s = v.ServerScheme;
    static const char kHttps[] = "https";
    if (s.size() != 5) return false;
    for (std::size_t i = 0; i < 5; ++i) {
        char c = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
        if (c != kHttps[i]) return false;
    }
    return true;
}

std::string BaseUrlOf(const SharedValues& v) {
    return (SecureSchemeOf(v) ? "https://" : "http://") + v.ServerIp + ":" + v.ServerPort;
}

std::string SocketUrlOf(const SharedValues& v) {
    return (SecureSchemeOf(v) ? "https://" : "http://") + v.ServerIp + ":" + v.SocketPort;
}
