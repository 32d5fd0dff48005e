#include "channel/channel_transport.h"

#include <chrono>
#include <ctime>
#include <iostream>

#include "channel/sio_reconnect.h"

namespace sio {

namespace {

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

const std::uint16_t kStatusNormal = 1000;
const std::uint16_t kStatusAbnormal = 1006;
const std::uint16_t kStatusPolicy = 1008;
const std::uint16_t kStatusTooBig = 1009;
// socket.io's own limit for what a client may send; a larger frame from the server is refused unread rather
// than built into a value tree many times its size.
const std::size_t kMaxMessageBytes = 1024 * 1024;
// Handshake defaults of an Engine.IO server that leaves them out.
const unsigned kDefaultPingInterval = 25000;
const unsigned kDefaultPingTimeout = 60000;

}  // namespace

template <class C>
void channel_transport::Configure(C& c) {
    c.clear_access_channels(websocketpp::log::alevel::all);
    c.clear_error_channels(websocketpp::log::elevel::all);
    // Only our own trace lines; websocketpp's frame and connection chatter stays off.
    c.set_access_channels(websocketpp::log::alevel::app);
    c.get_alog().set_ostream(&std::cerr);
    c.get_elog().set_ostream(&std::cerr);
    c.init_asio(&m_io);
    c.set_max_message_size(kMaxMessageBytes);
    c.set_open_handshake_timeout(10000);
    c.set_close_handshake_timeout(3000);
    c.set_open_handler([this](hdl h) { OnOpen(h); });
    c.set_fail_handler([this](hdl h) { OnFail(h); });
    c.set_close_handler([this](hdl h) { OnClose(h); });
    c.set_message_handler([this](hdl h, ws_client::message_ptr msg) { OnMessage(h, msg); });
}

channel_transport::channel_transport() : m_pingWatch(m_io), m_reconnectTimer(m_io) {
    Configure(m_client);
    Configure(m_tlsClient);
    // Commands, acknowledgements and pongs are small frames that must not wait behind Nagle's algorithm.
    m_client.set_socket_init_handler([](hdl, boost::asio::ip::tcp::socket& s) {
        boost::system::error_code ignored;
        s.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    });
    m_tlsClient.set_socket_init_handler([](hdl, boost::asio::ssl::stream<boost::asio::ip::tcp::socket>& s) {
        boost::system::error_code ignored;
        s.lowest_layer().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    });
    m_tlsClient.set_tls_init_handler([this](hdl) { return MakeTlsContext(); });
    // Agents of one room must not draw the same spread of delays.
    std::uint64_t seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         reinterpret_cast<std::uintptr_t>(this);
    try {
        seed ^= static_cast<std::uint64_t>(std::random_device()()) << 16;
    } catch (...) {
    }
    m_random.seed(static_cast<std::minstd_rand::result_type>(seed ^ (seed >> 32)));
    Trace("client constructor");
}

void channel_transport::shutdown() {
    if (OnNetworkThread()) {
        // The last owner let go inside a handler: end the connection and let the thread wind down by
        // itself; it holds this object until its loop has returned.
        m_userClosing = true;
        DoClose(true);
        m_thread.detach();
        return;
    }
    std::lock_guard<std::mutex> lk(m_apiLock);
    if (m_thread.joinable()) CloseAndJoin(true);
}

channel_transport::~channel_transport() {
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id()) m_thread.detach();
        else m_thread.join();
    }
    for (auto& s : Sockets()) s->Detach();
    std::lock_guard<std::mutex> lk(m_socketLock);
    m_sockets.clear();
}

void channel_transport::Trace(const std::string& text) {
    m_client.get_alog().write(websocketpp::log::alevel::app, text);
}

void channel_transport::Notice(const std::string& text) {
    Trace(text);
    CallListener("notice", [&text](client_listeners& l) { if (l.notice) l.notice(text); });
}

unsigned channel_transport::SpreadDelay(unsigned scheduledMs) {
    std::lock_guard<std::mutex> lk(m_randomLock);
    double draw = std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
    return SpreadDelayMs(scheduledMs, m_spread, draw);
}

void channel_transport::set_listeners(const std::function<void(client_listeners&)>& change) {
    std::lock_guard<std::mutex> lk(m_listenerLock);
    change(m_listeners);
}

client_listeners channel_transport::Listeners() {
    std::lock_guard<std::mutex> lk(m_listenerLock);
    return m_listeners;
}

// A listener that throws must not end the network thread: the channel has to outlive a faulty handler.
void channel_transport::CallListener(const char* which, const std::function<void(client_listeners&)>& call) {
    client_listeners l = Listeners();
    try {
        call(l);
    } catch (const std::exception& e) {
        Trace(std::string("Listener ") + which + " threw: " + e.what());
    } catch (...) {
        Trace(std::string("Listener ") + which + " threw");
    }
}

std::string channel_transport::sid() const {
    std::lock_guard<std::mutex> lk(m_sidLock);
    return m_sid;
}

// ---- thread and public calls ----

void channel_transport::StartThread() {
    std::shared_ptr<channel_transport> self = shared_from_this();
    m_running = true;
    m_thread = std::thread([self] { self->Run(); });
}

void channel_transport::Run() {
    m_netThreadId = std::this_thread::get_id();
    for (;;) {
        try {
            m_io.run();
            break;
        } catch (const std::exception& e) {
            Trace(std::string("Network thread error: ") + e.what());
        } catch (...) {
            Trace("Network thread error");
        }
    }
    Trace("run loop end");
    m_running = false;
    m_netThreadId = std::thread::id();
}

void channel_transport::connect(const std::string& url, const std::map<std::string, std::string>& query) {
    if (OnNetworkThread()) {
        // From a listener or handler: the thread is ours and running. A close the agent asked for wins.
        if (!m_userClosing) DoConnect(url, query);
        return;
    }
    std::lock_guard<std::mutex> lk(m_apiLock);
    m_userClosing = false;
    m_io.post([this, url, query] { DoConnect(url, query); });
    if (!m_thread.joinable()) {
        m_io.restart();
        StartThread();
    } else if (m_io.stopped()) {
        // The thread ran out of work before it could take the request: it keeps waiting in the queue.
        m_thread.join();
        m_io.restart();
        StartThread();
    }
}

void channel_transport::close() {
    if (OnNetworkThread()) {
        m_userClosing = true;
        DoClose(false);
        return;
    }
    std::lock_guard<std::mutex> lk(m_apiLock);
    // No network thread: never connected, or closed already. Nothing to close, and no fault either.
    if (!m_thread.joinable()) return;
    CloseAndJoin(false);
    m_io.restart();
}

// The thread may have run out of work just before the close was posted; then the close runs here, once,
// and the request left in the queue does nothing when a later connect starts the thread again.
void channel_transport::CloseAndJoin(bool quiet) {
    m_userClosing = true;
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_io.post([this, done, quiet] {
        if (!done->exchange(true)) DoClose(quiet);
    });
    m_thread.join();
    if (!done->exchange(true)) DoClose(quiet);
}

std::shared_ptr<sio::socket> channel_transport::socket(std::string nsp) {
    if (nsp.empty() || nsp[0] != '/') nsp.insert(nsp.begin(), '/');
    std::shared_ptr<sio::socket> s;
    {
        std::lock_guard<std::mutex> lk(m_socketLock);
        auto it = m_sockets.find(nsp);
        if (it != m_sockets.end()) return it->second;
        s.reset(new sio::socket(this, nsp));
        m_sockets[nsp] = s;
        if (!m_transportReady) return s;
    }
    std::weak_ptr<sio::socket> weak = s;
    m_io.post([weak] {
        if (auto live = weak.lock()) live->OnTransportOpen();
    });
    return s;
}

std::vector<std::shared_ptr<sio::socket>> channel_transport::Sockets() {
    std::lock_guard<std::mutex> lk(m_socketLock);
    std::vector<std::shared_ptr<sio::socket>> all;
    for (auto& entry : m_sockets) all.push_back(entry.second);
    return all;
}

void channel_transport::RemoveSocket(sio::socket* s) {
    std::shared_ptr<sio::socket> keep;  // released after the lock
    std::lock_guard<std::mutex> lk(m_socketLock);
    auto it = m_sockets.find(s->get_namespace());
    if (it != m_sockets.end() && it->second.get() == s) {
        keep = std::move(it->second);
        m_sockets.erase(it);
    }
}

// ---- sending ----

void channel_transport::Send(packet::encoded e, std::uint64_t generation) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lk(m_outLock);
        m_out.emplace_back(generation, std::move(e));
        if (!m_drainPosted) post = m_drainPosted = true;
    }
    // A reply made on the network thread (an "ack", a pong) goes on the wire now, before the handler goes on
    // to anything slower.
    if (OnNetworkThread()) Drain();
    else if (post) m_io.post([this] { Drain(); });
}

void channel_transport::Drain() {
    std::deque<std::pair<std::uint64_t, packet::encoded>> batch;
    {
        std::lock_guard<std::mutex> lk(m_outLock);
        batch.swap(m_out);
        m_drainPosted = false;
    }
    for (auto& item : batch) {
        // Packets meant for an earlier connection are dropped with it.
        if (!m_live || item.first != Generation()) continue;
        websocketpp::lib::error_code ec;
        WithClient([&](auto& c) {
            c.send(m_hdl, item.second.text, websocketpp::frame::opcode::text, ec);
            for (const auto& b : item.second.binaries) {
                if (ec) break;
                c.send(m_hdl, b->data(), b->size(), websocketpp::frame::opcode::binary, ec);
            }
        });
        if (ec) std::cerr << "Send failed,reason:" << ec.message() << std::endl;
    }
}

// ---- connection life (network thread) ----

// That CA alone, the URL's host in the certificate, nothing older than TLS 1.2. A CA file that cannot be
// loaded leaves the context trusting nobody: the handshake fails, it never goes on unchecked.
std::shared_ptr<boost::asio::ssl::context> channel_transport::MakeTlsContext() {
    namespace ssl = boost::asio::ssl;
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_client);
    boost::system::error_code ec;
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                     ec);
    std::string caFile;
    {
        std::lock_guard<std::mutex> lk(m_tlsLock);
        caFile = m_tlsCaFile;
    }
    if (!caFile.empty()) ctx->load_verify_file(caFile, ec);
    if (caFile.empty() || ec) Trace("TLS CA file not loaded: " + caFile);
    ctx->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert, ec);
    ctx->set_verify_callback(ssl::host_name_verification(m_tlsHost), ec);
    return ctx;
}

void channel_transport::DoConnect(const std::string& url, const std::map<std::string, std::string>& query) {
    if (m_baseUrl != url) m_baseUrl = url;
    if (m_reconnectPending) {
        m_reconnectPending = false;
        m_reconnectTimer.cancel();
    }
    connection_state st = m_state;
    if (st == connection_state::opening || st == connection_state::opened) return;
    m_state = connection_state::opening;
    m_reconnectionsMade = 0;
    m_queryText.clear();
    for (const auto& entry : query) m_queryText += "&" + entry.first + "=" + entry.second;
    Attempt();
}

void channel_transport::Attempt() {
    {
        std::lock_guard<std::mutex> lk(m_sidLock);
        m_sid.clear();
    }
    m_decoder.reset();
    m_secure = m_baseUrl.size() >= 8 && (m_baseUrl.compare(0, 8, "https://") == 0 || m_baseUrl.compare(0, 8, "HTTPS://") == 0);
    std::string authority = HostAndPort(m_baseUrl, m_secure ? ":443" : ":80");
    m_tlsHost = authority.substr(0, authority.rfind(':'));
    if (m_tlsHost.size() > 1 && m_tlsHost.front() == '[') m_tlsHost = m_tlsHost.substr(1, m_tlsHost.size() - 2);
    std::string url = (m_secure ? "wss://" : "ws://") + authority + "/socket.io/?EIO=4&transport=websocket&t=" +
                      std::to_string(static_cast<long long>(std::time(nullptr))) + m_queryText;
    bool made = false;
    WithClient([&](auto& c) {
        websocketpp::lib::error_code ec;
        auto con = c.get_connection(url, ec);
        if (ec || !con) {
            Trace("Get Connection Error: " + ec.message());
            return;
        }
        made = true;
        ++m_generation;
        m_localStatus = -1;
        m_hdl = con->get_handle();
        m_live = true;
        c.connect(con);
    });
    if (!made) {
        m_state = connection_state::closed;
        CallListener("fail", [](client_listeners& l) { if (l.fail) l.fail(); });
    }
}

void channel_transport::OnOpen(hdl h) {
    if (!m_live || m_hdl.lock() != h.lock()) return;
    m_state = connection_state::opened;
    m_reconnectionsMade = 0;
    // A server that opens the WebSocket and then says nothing must not hold the channel for ever.
    ArmPingWatch(kDefaultPingInterval + kDefaultPingTimeout);
    socket("/");
    CallListener("open", [](client_listeners& l) { if (l.open) l.open(); });
}

void channel_transport::OnFail(hdl h) {
    if (m_hdl.lock() != h.lock()) return;
    m_live = false;
    m_hdl.reset();
    m_state = connection_state::closed;
    TransportDown();
    if (m_userClosing) return;
    if (!ScheduleReconnect()) CallListener("fail", [](client_listeners& l) { if (l.fail) l.fail(); });
}

void channel_transport::OnClose(hdl h) {
    if (m_hdl.lock() != h.lock()) return;
    int status = m_localStatus;
    bool tooBig = false;
    WithClient([&](auto& c) {
        websocketpp::lib::error_code ec;
        auto con = c.get_con_from_hdl(h, ec);
        // The peer's status decides: 1005 for an empty close frame, 1006 when no frame came at all.
        if (status < 0) status = con ? con->get_remote_close_code() : kStatusNormal;
        tooBig = con && con->get_local_close_code() == kStatusTooBig;
    });
    if (tooBig)
        Notice("Socket.IO frame over " + std::to_string(kMaxMessageBytes) + " bytes refused; connection closed");
    m_live = false;
    m_hdl.reset();
    m_state = connection_state::closed;
    m_pingWatch.cancel();
    TransportDown();
    close_reason reason = close_reason::normal;
    if (status != kStatusNormal && !m_userClosing) {
        reason = close_reason::drop;
        ScheduleReconnect();
    }
    CallListener("close", [reason](client_listeners& l) { if (l.close) l.close(reason); });
}

void channel_transport::TransportDown() {
    m_transportReady = false;
    m_decoder.reset();
    for (auto& s : Sockets()) s->OnTransportDown();
}

bool channel_transport::ScheduleReconnect() {
    if (m_reconnectionsMade >= m_reconnectAttempts) return false;
    unsigned delay = SpreadDelay(ReconnectDelayMs(m_reconnectDelay, m_reconnectDelayMax, m_reconnectionsMade));
    unsigned made = m_reconnectionsMade;
    CallListener("reconnect", [made, delay](client_listeners& l) { if (l.reconnect) l.reconnect(made, delay); });
    m_reconnectPending = true;
    m_reconnectTimer.expires_from_now(std::chrono::milliseconds(delay));
    m_reconnectTimer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) OnReconnectTimer();
    });
    return true;
}

void channel_transport::OnReconnectTimer() {
    if (!m_reconnectPending) return;
    m_reconnectPending = false;
    if (m_state != connection_state::closed || m_userClosing) return;
    ++m_reconnectionsMade;
    m_state = connection_state::opening;
    CallListener("reconnecting", [](client_listeners& l) { if (l.reconnecting) l.reconnecting(); });
    Attempt();
}

unsigned channel_transport::rejoin_later(std::string nsp) {
    if (nsp.empty() || nsp[0] != '/') nsp.insert(nsp.begin(), '/');
    unsigned delay = SpreadDelay(ReconnectDelayMs(m_reconnectDelay, m_reconnectDelayMax, m_rejoinsMade++));
    if (OnNetworkThread()) ArmRejoin(nsp, delay);
    else m_io.post([this, nsp, delay] { ArmRejoin(nsp, delay); });
    return delay;
}

// A server that ends a namespace on every join would otherwise be asked again at once, thousands of times a
// second; the rejoin waits as a reconnection would.
void channel_transport::ArmRejoin(const std::string& nsp, unsigned delayMs) {
    if (m_userClosing) return;
    std::unique_ptr<boost::asio::steady_timer>& timer = m_rejoinTimers[nsp];
    if (!timer) timer = std::make_unique<boost::asio::steady_timer>(m_io);
    timer->expires_from_now(std::chrono::milliseconds(delayMs));
    timer->async_wait([this, nsp](const boost::system::error_code& ec) {
        if (ec || m_userClosing) return;
        socket(nsp);
    });
}

void channel_transport::CancelRejoins() {
    for (auto& entry : m_rejoinTimers) entry.second->cancel();
}

void channel_transport::DoClose(bool quiet) {
    if (m_reconnectPending) {
        m_reconnectPending = false;
        m_reconnectTimer.cancel();
    }
    CancelRejoins();
    bool live = m_live;
    m_state = live ? connection_state::closing : connection_state::closed;
    for (auto& s : Sockets()) s->Close();
    if (!live) {
        if (!quiet) std::cerr << "Error: No active session" << std::endl;
        return;
    }
    Drain();  // the namespaces' DISCONNECT packets go out before the close frame
    CloseConnection(kStatusNormal, "End by user", kStatusNormal);
}

void channel_transport::CloseConnection(std::uint16_t wireStatus, const std::string& reason, std::uint16_t status) {
    WithClient([&](auto& c) {
        websocketpp::lib::error_code ec;
        auto con = c.get_con_from_hdl(m_hdl, ec);
        if (!con) return;
        m_localStatus = status;
        con->close(wireStatus, reason, ec);
        // Still connecting, or already closing: end the TCP connection instead of waiting for it.
        if (ec && con->get_state() == websocketpp::session::state::connecting) con->terminate(ec);
    });
}

// ---- frames (network thread) ----

void channel_transport::OnMessage(hdl h, ws_client::message_ptr msg) {
    if (!m_live || m_hdl.lock() != h.lock()) return;
    packet p;
    packet_decoder::outcome result = msg->get_opcode() == websocketpp::frame::opcode::text
                                         ? m_decoder.put_text(msg->get_payload(), p)
                                         : m_decoder.put_binary(msg->get_payload(), p);
    if (result != packet_decoder::outcome::complete) return;
    switch (p.get_frame()) {
    case packet::frame_type::open:
        OnHandshake(p);
        break;
    case packet::frame_type::close:
        // The server ended the session: a drop, so the channel comes back by itself.
        CloseConnection(kStatusNormal, "End by server", kStatusAbnormal);
        break;
    case packet::frame_type::ping:
        OnServerPing();
        break;
    case packet::frame_type::message: {
        std::shared_ptr<sio::socket> target;
        {
            std::lock_guard<std::mutex> lk(m_socketLock);
            auto it = m_sockets.find(p.get_nsp());
            if (it != m_sockets.end()) target = it->second;
        }
        if (target) target->OnPacket(p);
        break;
    }
    default:
        break;
    }
}

void channel_transport::OnHandshake(const packet& p) {
    const message::ptr& m = p.get_message();
    message::ptr sidValue = MemberOf(m, "sid");
    if (!m || m->get_flag() != message::flag::object || !sidValue || sidValue->get_flag() != message::flag::text) {
        CloseConnection(kStatusPolicy, "Handshake error", kStatusPolicy);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(m_sidLock);
        m_sid = sidValue->get_string();
    }
    message::ptr interval = MemberOf(m, "pingInterval");
    message::ptr timeout = MemberOf(m, "pingTimeout");
    auto asMs = [](const message::ptr& v, unsigned fallback) {
        if (!v || v->get_flag() != message::flag::integer || v->get_int() < 0 || v->get_int() > 0x7FFFFFFF)
            return fallback;
        return static_cast<unsigned>(v->get_int());
    };
    m_pingInterval = asMs(interval, kDefaultPingInterval);
    m_pingTimeout = asMs(timeout, kDefaultPingTimeout);
    ArmPingWatch(m_pingInterval + m_pingTimeout);
    m_rejoinsMade = 0;
    m_transportReady = true;
    for (auto& s : Sockets()) s->OnTransportOpen();
}

// The server drives the heartbeat: it pings, we answer at once. A server silent for a whole interval plus
// its grace time is gone, even if its TCP connection still looks open.
void channel_transport::OnServerPing() {
    packet::encoded pong;
    pong.text = "3";
    Send(std::move(pong), Generation());
    ArmPingWatch(m_pingInterval + m_pingTimeout);
}

void channel_transport::ArmPingWatch(unsigned ms) {
    std::uint64_t generation = Generation();
    m_pingWatch.expires_from_now(std::chrono::milliseconds(ms));
    m_pingWatch.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || !m_live || generation != Generation()) return;
        CloseConnection(kStatusPolicy, "Pong timeout", kStatusPolicy);
    });
}

}  // namespace sio
