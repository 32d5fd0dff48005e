#include "sio/transport.h"

// Engine.IO frames on the network thread: the handshake, the server's heartbeat and the packets for the
// namespaces.

namespace sio {

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
    m_reconnectionsMade = 0;
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