#pragma once
// One Socket.IO namespace on the client's connection: its event handlers, the acknowledgements it waits
// for, and the packets it holds back until the server has confirmed the namespace.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sio/message.h"
#include "sio/packet.h"

namespace sio {

class channel_transport;
// A timer of the network thread, complete only in socket.cpp, so that no includer of this header sees
// Boost.Asio.
struct socket_timer;

class socket : public std::enable_shared_from_this<socket> {
public:
    using ptr = std::shared_ptr<socket>;
    // Handler form: event name, first argument (empty when none), whether the server waits for an
    // acknowledgement, and the acknowledgement list the handler may fill.
    using event_listener =
        std::function<void(const std::string& name, const message::ptr& data, bool needAck, message::list& ackMessage)>;
    using ack_callback = std::function<void(const message::list&)>;
    using error_listener = std::function<void(const message::ptr&)>;

    ~socket();
    socket(const socket&) = delete;
    socket& operator=(const socket&) = delete;

    // Replaces an earlier handler of the same name.
    void on(const std::string& eventName, event_listener handler);
    void off(const std::string& eventName);
    void set_error_listener(error_listener listener);

    // Goes out at once while the namespace is confirmed, else waits in order for the confirmation.
    void emit(const std::string& eventName, const message::list& args = message::list(), ack_callback ack = nullptr);

    const std::string& get_namespace() const { return m_nsp; }
    bool connected() const;

private:
    friend class channel_transport;
    socket(channel_transport* owner, std::string nsp);

    // Network thread only.
    void OnTransportOpen();
    void OnTransportDown();
    void OnPacket(const packet& p);
    void Close();
    void CloseNow();
    void Detach();

    void OnConnectPacket();
    void OnEventPacket(const packet& p);
    void HearUnheardError();
    void OnAckPacket(const packet& p);
    void SendLocked(const packet& p);
    void StartTimer(std::unique_ptr<socket_timer>& timer, unsigned ms);
    void CancelTimers();

    const std::string m_nsp;

    mutable std::mutex m_lock;  // everything below up to the timers
    channel_transport* m_owner;
    bool m_connected = false;
    std::uint64_t m_generation = 0;
    std::vector<packet::encoded> m_queue;
    std::map<std::string, event_listener> m_handlers;
    std::map<int, ack_callback> m_acks;
    error_listener m_errorListener;
    // A refusal that came before anyone listened, kept for the listener set next.
    bool m_errorUnheard = false;
    message::ptr m_unheardError;

    // Network thread only.
    bool m_connectSent = false;
    bool m_closing = false;
    std::unique_ptr<socket_timer> m_connectTimer;
    std::unique_ptr<socket_timer> m_closeTimer;
};

}  // namespace sio
