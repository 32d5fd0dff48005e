#pragma once
// The connection behind sio::client. All WebSocket work, timers, listeners and handlers run on one network
// thread; the public calls post their work to it and never touch the connection themselves.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <random>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>

#include "sio/packet.h"
#include "sio/socket.h"
#include "sio/states.h"

namespace sio {

struct client_listeners {
    std::function<void()> open;
    std::function<void()> fail;
    std::function<void()> reconnecting;
    std::function<void(unsigned attemptsMade, unsigned delayMs)> reconnect;
    std::function<void(close_reason)> close;
    std::function<void(const std::string& nsp)> socketOpen;
    std::function<void(const std::string& nsp)> socketClose;
    // What the client refused or repaired on its own (an oversized frame), in words for the owner's log.
    std::function<void(const std::string& text)> notice;
};

class channel_transport : public std::enable_shared_from_this<channel_transport> {
public:
    using ws_client = websocketpp::client<websocketpp::config::asio_client>;
    using wss_client = websocketpp::client<websocketpp::config::asio_tls_client>;

    channel_transport();
    ~channel_transport();
    channel_transport(const channel_transport&) = delete;
    channel_transport& operator=(const channel_transport&) = delete;

    void connect(const std::string& url, const std::map<std::string, std::string>& query);
    void close();
    // Ends everything before the owner lets go; safe from the owner's thread and from a handler.
    void shutdown();
    std::shared_ptr<sio::socket> socket(std::string nsp);

    void set_listeners(const std::function<void(client_listeners&)>& change);
    connection_state state() const { return m_state.load(); }
    bool active() const { return m_running.load(); }
    std::string sid() const;

    void set_reconnect_delay(unsigned ms) { m_reconnectDelay = ms; }
    void set_reconnect_delay_max(unsigned ms) { m_reconnectDelayMax = ms; }
    void set_reconnect_spread(double spread) { m_spread = spread; }
    // Joins nsp again after the next delay of the reconnect schedule (the schedule counts the rejoins of
    // this connection); returns that delay. Any thread.
    unsigned rejoin_later(std::string nsp);
    // On the network thread: runs job ms from now (0: behind the writes its handler has started); dropped by
    // the agent's close. Elsewhere: runs it now.
    void later(unsigned ms, std::function<void()> job);
    void set_namespace_timeouts(unsigned connectMs, unsigned closeMs) {
        m_nspConnectTimeout = connectMs;
        m_nspCloseTimeout = closeMs;
    }
    void set_tls_ca_file(const std::string& path) {
        std::lock_guard<std::mutex> lk(m_tlsLock);
        m_tlsCaFile = path;
    }

private:
    friend class sio::socket;
    using hdl = websocketpp::connection_hdl;

    static constexpr std::uint16_t kStatusNormal = 1000;
    static constexpr std::uint16_t kStatusAbnormal = 1006;
    static constexpr std::uint16_t kStatusPolicy = 1008;
    static constexpr std::uint16_t kStatusTooBig = 1009;
    // socket.io's own limit for what a client may send; a larger frame from the server is refused unread rather
    // than built into a value tree many times its size.
    static constexpr std::size_t kMaxMessageBytes = 1024 * 1024;
    // Handshake defaults of an Engine.IO server that leaves them out.
    static constexpr unsigned kDefaultPingInterval = 25000;
    static constexpr unsigned kDefaultPingTimeout = 60000;

    // Any thread.
    void Send(packet::encoded e, std::uint64_t generation);
    void Trace(const std::string& text);
    void Notice(const std::string& text);
    unsigned SpreadDelay(unsigned scheduledMs);
    bool OnNetworkThread() const { return std::this_thread::get_id() == m_netThreadId.load(); }
    void StartThread();
    void CloseAndJoin(bool quiet);

    // Network thread.
    void Run();
    void Drain();
    void DoConnect(const std::string& url, const std::map<std::string, std::string>& query);
    void DoClose(bool quiet);
    void Attempt();
    void OnOpen(hdl h);
    void OnFail(hdl h);
    void OnClose(hdl h);
    void OnMessage(hdl h, ws_client::message_ptr msg);
    template <class C>
    void Configure(C& c);
    // The client of the current connection: plain for "http://" base URLs, TLS for "https://" (made at the
    // first such connection, so a plain channel never sets TLS up).
    template <class F>
    void WithClient(F&& f) {
        if (m_secure) f(TlsClient()); else f(m_client);
    }
    wss_client& TlsClient();
    std::shared_ptr<boost::asio::ssl::context> MakeTlsContext();
    void OnHandshake(const packet& p);
    void OnServerPing();
    void ArmPingWatch(unsigned ms);
    void CloseConnection(std::uint16_t wireStatus, const std::string& reason, std::uint16_t status);
    void TransportDown();
    bool ScheduleReconnect();
    void OnReconnectTimer();
    void ArmRejoin(const std::string& nsp, unsigned delayMs);
    void CancelRejoins();
    void CancelLater();
    std::uint64_t Generation() const { return m_generation.load(); }
    std::vector<std::shared_ptr<sio::socket>> Sockets();
    void RemoveSocket(sio::socket* s);
    void CallListener(const char* which, const std::function<void(client_listeners&)>& call);
    client_listeners Listeners();

    boost::asio::io_service m_io;
    ws_client m_client;
    std::unique_ptr<wss_client> m_tlsClient;  // network thread only

    std::mutex m_tlsLock;
    std::string m_tlsCaFile;

    std::mutex m_apiLock;  // connect, close and the destructor, one at a time
    std::thread m_thread;
    std::atomic<std::thread::id> m_netThreadId{};
    std::atomic<bool> m_userClosing{false};
    std::atomic<bool> m_running{false};  // the network thread has work: a connection, or a timer to wait for
    std::atomic<connection_state> m_state{connection_state::closed};
    std::atomic<std::uint64_t> m_generation{0};
    std::atomic<bool> m_transportReady{false};

    std::atomic<unsigned> m_reconnectDelay{5000};
    std::atomic<unsigned> m_reconnectDelayMax{25000};
    static constexpr unsigned kReconnectAttempts = 0xFFFFFFFFu;  // no practical limit
    std::atomic<double> m_spread{0.5};
    std::atomic<unsigned> m_rejoinsMade{0};
    std::atomic<unsigned> m_nspConnectTimeout{20000};
    std::atomic<unsigned> m_nspCloseTimeout{3000};

    std::mutex m_listenerLock;
    client_listeners m_listeners;

    std::mutex m_socketLock;
    std::map<std::string, std::shared_ptr<sio::socket>> m_sockets;

    std::mutex m_outLock;
    std::deque<std::pair<std::uint64_t, packet::encoded>> m_out;
    bool m_drainPosted = false;

    std::mutex m_randomLock;
    std::minstd_rand m_random;

    mutable std::mutex m_sidLock;
    std::string m_sid;

    // Network thread only.
    std::string m_baseUrl;
    std::string m_queryText;
    bool m_secure = false;
    std::string m_tlsHost;  // the name the server's certificate must carry
    hdl m_hdl;
    bool m_live = false;
    int m_localStatus = -1;  // the status we closed with, decides over what the peer answered
    unsigned m_pingInterval = 0;
    unsigned m_pingTimeout = 0;
    unsigned m_reconnectionsMade = 0;
    packet_decoder m_decoder;
    boost::asio::steady_timer m_pingWatch;
    boost::asio::steady_timer m_reconnectTimer;
    bool m_reconnectPending = false;
    std::map<std::string, std::unique_ptr<boost::asio::steady_timer>> m_rejoinTimers;
    std::list<std::unique_ptr<boost::asio::steady_timer>> m_laterTimers;
};

}  // namespace sio
