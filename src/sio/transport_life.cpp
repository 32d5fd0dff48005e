#include "sio/transport.h"

#include <ctime>
#include <iostream>

#include "sio/reconnect.h"
#include "sio/transport_url.h"

// Connection life on the network thread: attempts, open, fail and close, the reconnect schedule and the
// rejoins of namespaces the server ended.

namespace sio {

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
    transport_target target = TransportTarget(m_baseUrl, m_queryText, static_cast<long long>(std::time(nullptr)));
    m_secure = target.secure;
    m_tlsHost = target.host;
    const std::string& url = target.url;
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
    // The schedule starts over only once the connection has held (its first ping from the server): a server
    // that opens and drops every connection is retried on the growing delays, not every few seconds.
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
    if (m_reconnectionsMade >= kReconnectAttempts) return false;
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
    CancelLater();
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

}  // namespace sio
