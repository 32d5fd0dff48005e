#include "base/server_endpoint.h"

#include <mutex>

#include "base/logger.h"
#include "base/shared_values.h"

ServerEndpoint ServerEndpointOf(const SharedValues& v) {
    return ServerEndpoint{v.ServerIp, v.ServerPort, v.SocketPort, TransportTrustOf(v)};
}

std::string BaseUrlOf(const ServerEndpoint& server) {
    return (server.trust.secure ? "https://" : "http://") + server.host + ":" + server.httpPort;
}

std::string SocketUrlOf(const ServerEndpoint& server) {
    return (server.trust.secure ? "https://" : "http://") + server.host + ":" + server.socketPort;
}

bool TransportReady(const ServerEndpoint& server) {
    const TransportTrust& trust = server.trust;
    // Every pass asks again; the log hears of a problem once, and of its end.
    static std::mutex lock;
    static std::string reported;
    std::lock_guard<std::mutex> hold(lock);
    if (trust.problem != reported) {
        if (!trust.problem.empty()) {
            // Into the log file, where an invigilator's technician looks first.
            LogInfo("TransportReady") << "配置错误，不连接服务器：" << trust.problem;
        } else {
            LogInfo("TransportReady") << "配置已可用，CaFile:" << trust.caPath;
        }
        reported = trust.problem;
    }
    return trust.problem.empty();
}
