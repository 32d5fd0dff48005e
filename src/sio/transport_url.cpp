#include "sio/transport_url.h"

namespace sio {

// "http://host:port/path" → "host:port"; the path never matters, the port defaults as the scheme's does.
std::string HostAndPort(const std::string& url, const char* defaultPort) {
    std::size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    std::size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    bool bracketed = !authority.empty() && authority[0] == '[';
    std::size_t colon = authority.rfind(':');
    bool hasPort = colon != std::string::npos && (!bracketed || colon > authority.find(']'));
    return hasPort ? authority : authority + defaultPort;
}

transport_target TransportTarget(const std::string& baseUrl, const std::string& queryText, long long now) {
    transport_target t;
    t.secure = baseUrl.size() >= 8 && (baseUrl.compare(0, 8, "https://") == 0 || baseUrl.compare(0, 8, "HTTPS://") == 0);
    std::string authority = HostAndPort(baseUrl, t.secure ? ":443" : ":80");
    t.host = authority.substr(0, authority.rfind(':'));
    if (t.host.size() > 1 && t.host.front() == '[') t.host = t.host.substr(1, t.host.size() - 2);
    t.url = (t.secure ? "wss://" : "ws://") + authority + "/socket.io/?EIO=4&transport=websocket&t=" +
            std::to_string(now) + queryText;
    return t;
}

}  // namespace sio
