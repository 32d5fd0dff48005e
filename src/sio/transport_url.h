#pragma once
// Where the transport connects: the WebSocket URL of a Socket.IO base URL, and the name its TLS certificate
// must carry.
#include <string>

namespace sio {

struct transport_target {
    bool secure = false;  // "https://" base URLs go over wss
    std::string host;     // without brackets or port: the name the server's certificate must carry
    std::string url;      // "ws[s]://host:port/socket.io/?EIO=4&transport=websocket&t=<now>" + query
};

// "http://host:port/path" → "host:port"; the path never matters, the port defaults as the scheme's does.
std::string HostAndPort(const std::string& url, const char* defaultPort);
// queryText is "&key=value..." as it goes on the wire; now is the "t" parameter.
transport_target TransportTarget(const std::string& baseUrl, const std::string& queryText, long long now);

}  // namespace sio
