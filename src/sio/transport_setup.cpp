#include "sio/transport.h"

#include <chrono>
#include <iostream>

#include "sio/reconnect.h"

// Construction and the pieces every other part uses: websocketpp and TLS set-up, the trace, the listeners
// and the spread of the reconnect delays.

namespace sio {

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
    // Commands, acknowledgements and pongs are small frames that must not wait behind Nagle's algorithm.
    m_client.set_socket_init_handler([](hdl, boost::asio::ip::tcp::socket& s) {
        boost::system::error_code ignored;
        s.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    });
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

channel_transport::wss_client& channel_transport::TlsClient() {
    if (m_tlsClient) return *m_tlsClient;
    m_tlsClient = std::make_unique<wss_client>();
    Configure(*m_tlsClient);
    m_tlsClient->set_socket_init_handler([](hdl, boost::asio::ssl::stream<boost::asio::ip::tcp::socket>& s) {
        boost::system::error_code ignored;
        s.lowest_layer().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    });
    m_tlsClient->set_tls_init_handler([this](hdl) { return MakeTlsContext(); });
    return *m_tlsClient;
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

// ---- TLS ----

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

}  // namespace sio
