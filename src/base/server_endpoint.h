#pragma once
// Where the server calls and the command channel go, and over what. The caller builds it: from the shared
// values as they stand (ServerEndpointOf), or, in the settings dialog, for an address the server has not yet
// accepted, which must never reach the shared values before it has.
#include <string>

#include "base/config.h"

struct SharedValues;

struct ServerEndpoint {
    std::string host;        // ServerIp
    std::string httpPort;    // ServerPort
    std::string socketPort;  // SocketPort
    TransportTrust trust;    // TLS with its CA file, or plain; a problem means nothing may be sent
};

ServerEndpoint ServerEndpointOf(const SharedValues& v);
// "http://" (or "https://") + host + ":" + the port; the channel turns the socket one into "ws://" or "wss://".
std::string BaseUrlOf(const ServerEndpoint& server);
std::string SocketUrlOf(const ServerEndpoint& server);

// False when nothing may be sent to this endpoint; the log hears of a problem once, and of its end.
bool TransportReady(const ServerEndpoint& server);
