#include "sio/socket.h"

#include <atomic>
#include <chrono>

#include "sio/transport.h"

namespace sio {

struct socket_timer : boost::asio::steady_timer {
    using boost::asio::steady_timer::steady_timer;
};

namespace {
// Packet ids of the acknowledgements we ask for, unique across the process.
std::atomic<int> g_nextEventId{1};
}  // namespace

socket::socket(channel_transport* owner, std::string nsp) : m_nsp(std::move(nsp)), m_owner(owner) {}

socket::~socket() = default;

void socket::on(const std::string& eventName, event_listener handler) {
    std::lock_guard<std::mutex> lk(m_lock);
    m_handlers[eventName] = std::move(handler);
}

void socket::off(const std::string& eventName) {
    std::lock_guard<std::mutex> lk(m_lock);
    m_handlers.erase(eventName);
}

void socket::set_error_listener(error_listener listener) {
    std::lock_guard<std::mutex> lk(m_lock);
    m_errorListener = std::move(listener);
    // A socket sends its CONNECT as it is made, so the server's refusal may be in before this call.
    if (!m_errorListener || !m_errorUnheard || !m_owner) return;
    std::weak_ptr<socket> weak = shared_from_this();
    m_owner->m_io.post([weak] {
        if (auto self = weak.lock()) self->HearUnheardError();
    });
}

bool socket::connected() const {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_connected;
}

void socket::emit(const std::string& eventName, const message::list& args, ack_callback ack) {
    message::list items;
    items.reserve(args.size() + 1);
    items.push_back(string_message::create(eventName));
    items.insert(items.end(), args.begin(), args.end());
    int id = ack ? g_nextEventId.fetch_add(1) : -1;
    packet p(packet::type::event, m_nsp, array_message::create(std::move(items)), id);
    packet::encoded e = p.encode();  // on the caller's thread, outside every lock

    std::lock_guard<std::mutex> lk(m_lock);
    if (!m_owner) return;
    if (ack) m_acks[id] = std::move(ack);
    if (m_connected) m_owner->Send(std::move(e), m_generation);
    else m_queue.push_back(std::move(e));
}

void socket::SendLocked(const packet& p) {
    if (m_owner) m_owner->Send(p.encode(), m_owner->Generation());
}

// ---- network thread ----

void socket::StartTimer(std::unique_ptr<socket_timer>& timer, unsigned ms) {
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        owner = m_owner;
    }
    if (!owner) return;
    if (!timer) timer = std::make_unique<socket_timer>(owner->m_io);
    timer->expires_from_now(std::chrono::milliseconds(ms));
    std::weak_ptr<socket> weak = shared_from_this();
    timer->async_wait([weak](const boost::system::error_code& ec) {
        if (ec) return;
        // The server never confirmed the namespace, or never confirmed leaving it.
        if (auto self = weak.lock()) self->CloseNow();
    });
}

void socket::CancelTimers() {
    if (m_connectTimer) m_connectTimer->cancel();
    if (m_closeTimer) m_closeTimer->cancel();
}

void socket::OnTransportOpen() {
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        owner = m_owner;
    }
    if (!owner || !owner->m_transportReady || m_connectSent || m_closing) return;
    m_connectSent = true;
    // Every namespace, "/" included, is joined by our CONNECT; a server that confirms first is welcome too.
    {
        std::lock_guard<std::mutex> lk(m_lock);
        SendLocked(packet(packet::type::connect, m_nsp));
    }
    StartTimer(m_connectTimer, owner->m_nspConnectTimeout);
}

void socket::OnTransportDown() {
    CancelTimers();
    m_connectSent = false;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        m_connected = false;
        m_queue.clear();
        // The server forgets the ids of a lost connection; their answers can never come.
        m_acks.clear();
    }
    if (m_closing) CloseNow();
}

void socket::OnPacket(const packet& p) {
    switch (p.get_type()) {
    case packet::type::connect:
        OnConnectPacket();
        break;
    case packet::type::disconnect:
        CloseNow();
        break;
    case packet::type::event:
    case packet::type::binary_event:
        OnEventPacket(p);
        break;
    case packet::type::ack:
    case packet::type::binary_ack:
        OnAckPacket(p);
        break;
    case packet::type::error: {
        {
            std::lock_guard<std::mutex> lk(m_lock);
            m_errorUnheard = true;
            m_unheardError = p.get_message();
        }
        HearUnheardError();
        break;
    }
    }
}

void socket::HearUnheardError() {
    error_listener listener;
    message::ptr error;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        if (!m_errorUnheard || !m_errorListener) return;
        listener = m_errorListener;
        error = std::move(m_unheardError);
        m_errorUnheard = false;
    }
    try {
        listener(error);
    } catch (...) {
    }
}

void socket::OnConnectPacket() {
    if (m_connectTimer) m_connectTimer->cancel();
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        if (m_connected || !m_owner || m_closing) return;
        owner = m_owner;
        m_connected = true;
        m_errorUnheard = false;
        m_unheardError.reset();
        m_generation = owner->Generation();
        for (auto& e : m_queue) owner->Send(std::move(e), m_generation);
        m_queue.clear();
    }
    std::string nsp = m_nsp;
    owner->CallListener("socket open", [nsp](client_listeners& l) { if (l.socketOpen) l.socketOpen(nsp); });
}

void socket::OnEventPacket(const packet& p) {
    const message::ptr& payload = p.get_message();
    if (!payload || payload->get_flag() != message::flag::array) return;
    const message::list& items = static_cast<const message&>(*payload).get_vector();
    if (items.empty() || !items[0] || items[0]->get_flag() != message::flag::text) return;
    const std::string& name = items[0]->get_string();
    message::list args;
    for (std::size_t i = 1; i < items.size(); ++i)
        if (items[i]) args.push_back(items[i]);

    event_listener handler;
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        owner = m_owner;
        auto it = m_handlers.find(name);
        if (it != m_handlers.end()) handler = it->second;
    }
    if (!owner) return;
    bool needAck = p.get_id() >= 0;
    message::list ackList;
    if (handler) {
        try {
            handler(name, args.empty() ? message::ptr() : args[0], needAck, ackList);
        } catch (const std::exception& e) {
            owner->Trace("Handler of " + name + " threw: " + e.what());
        } catch (...) {
            owner->Trace("Handler of " + name + " threw");
        }
    }
    // The server's callback waits for this whatever the handler did, even when there is no handler.
    if (needAck) {
        std::lock_guard<std::mutex> lk(m_lock);
        SendLocked(packet(packet::type::ack, m_nsp, array_message::create(std::move(ackList)), p.get_id()));
    }
}

void socket::OnAckPacket(const packet& p) {
    ack_callback callback;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        auto it = m_acks.find(p.get_id());
        if (it == m_acks.end()) return;
        callback = std::move(it->second);
        m_acks.erase(it);
    }
    const message::ptr& payload = p.get_message();
    message::list args;
    if (payload && payload->get_flag() == message::flag::array)
        args = static_cast<const message&>(*payload).get_vector();
    else
        args.push_back(payload);
    try {
        callback(args);
    } catch (...) {
    }
}

void socket::Close() {
    bool connected;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        connected = m_connected && m_owner;
        if (connected) SendLocked(packet(packet::type::disconnect, m_nsp));
    }
    m_closing = true;
    if (!connected) {
        CloseNow();
        return;
    }
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        owner = m_owner;
    }
    StartTimer(m_closeTimer, owner->m_nspCloseTimeout);
}

void socket::CloseNow() {
    // A closed socket may outlive the client in a caller's hands; its timers must not.
    CancelTimers();
    m_connectTimer.reset();
    m_closeTimer.reset();
    channel_transport* owner;
    {
        std::lock_guard<std::mutex> lk(m_lock);
        owner = m_owner;
        m_connected = false;
        m_queue.clear();
        m_acks.clear();
        // Handlers often hold the socket they were registered on; letting go of them breaks that cycle.
        m_handlers.clear();
        m_errorListener = nullptr;
    }
    if (!owner) return;
    // Keeps this socket alive until the close listener has run, though the client lets go of it now.
    std::shared_ptr<socket> self = shared_from_this();
    owner->RemoveSocket(this);
    std::string nsp = m_nsp;
    owner->CallListener("socket close", [nsp](client_listeners& l) { if (l.socketClose) l.socketClose(nsp); });
    std::lock_guard<std::mutex> lk(m_lock);
    m_owner = nullptr;
}

// The client goes away (its network thread has ended): timers belong to its io_service and go first.
void socket::Detach() {
    m_connectTimer.reset();
    m_closeTimer.reset();
    std::lock_guard<std::mutex> lk(m_lock);
    m_owner = nullptr;
    m_connected = false;
    m_queue.clear();
    m_acks.clear();
    m_handlers.clear();
    m_errorListener = nullptr;
}

}  // namespace sio
