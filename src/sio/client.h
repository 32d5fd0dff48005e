#pragma once
// The agent's Socket.IO client: Engine.IO 4 over a plain WebSocket, with namespaces, events,
// acknowledgements, binary attachments and reconnection without practical limit. Listeners and handlers run
// on the client's network thread; every call here may come from any thread.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "sio/message.h"
#include "sio/socket.h"
#include "sio/states.h"

namespace sio {

class channel_transport;

class client {
public:
    using con_listener = std::function<void()>;
    using close_listener = std::function<void(close_reason)>;
    using reconnect_listener = std::function<void(unsigned attemptsMade, unsigned delayMs)>;
    using socket_listener = std::function<void(const std::string& nsp)>;
    using notice_listener = std::function<void(const std::string& text)>;

    client();
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void set_open_listener(con_listener l);
    void set_fail_listener(con_listener l);
    void set_reconnecting_listener(con_listener l);
    void set_reconnect_listener(reconnect_listener l);
    void set_close_listener(close_listener l);
    void set_socket_open_listener(socket_listener l);
    void set_socket_close_listener(socket_listener l);
    // Hears what the client refused or repaired on its own, as a line for the owner's log.
    void set_notice_listener(notice_listener l);

    // Only host and port of url count. The query goes out in key order, unescaped. While the connection is
    // opening or open this changes nothing.
    void connect(const std::string& url, const std::map<std::string, std::string>& query);
    // Ends the connection at the agent's request (no reconnection) and waits for the network thread.
    void close();
    // "" stands for "/"; a name without the leading "/" gets one.
    std::shared_ptr<sio::socket> socket(const std::string& nsp = std::string());

    bool opened() const;
    // True while there is anything to end: a connection in any state, or a reconnection or rejoin that
    // waits for its timer.
    bool active() const;
    connection_state state() const;
    std::string get_sessionid() const;

    // Reconnections made since the connection last held (heard the server's first ping) grow the delay.
    void set_reconnect_delay(unsigned ms);
    void set_reconnect_delay_max(unsigned ms);
    // Each reconnect delay is moved at random by up to this share of itself (0.5: ±50 %, the default).
    void set_reconnect_spread(double spread);
    // Joins nsp again once the next delay of the reconnect schedule has passed (spread as reconnections
    // are); the schedule starts over with every new connection. Returns the delay in ms.
    unsigned rejoin_later(const std::string& nsp);
    // From a handler: runs job on the network thread ms from now; with 0, as soon as the frames the handler
    // sent are on the wire (a send only queues its write there). A close of ours drops what still waits.
    // From any other thread: runs job at once.
    void later(unsigned ms, std::function<void()> job);
    // How long a namespace waits for the server's confirmation of joining, and of leaving.
    void set_namespace_timeouts(unsigned connectMs, unsigned closeMs);
    // The one CA a "https://" URL's server must chain to; such a URL is reached over "wss://", its certificate
    // checked for the URL's host and TLS 1.2 or later. Counts from the next connection attempt.
    void set_tls_ca_file(const std::string& path);

private:
    std::shared_ptr<channel_transport> m_impl;
};

}  // namespace sio
