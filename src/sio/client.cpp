#include "sio/client.h"

#include "sio/transport.h"

namespace sio {

client::client() : m_impl(std::make_shared<channel_transport>()) {}
client::~client() { m_impl->shutdown(); }

void client::set_open_listener(con_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.open = std::move(l); });
}
void client::set_fail_listener(con_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.fail = std::move(l); });
}
void client::set_reconnecting_listener(con_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.reconnecting = std::move(l); });
}
void client::set_reconnect_listener(reconnect_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.reconnect = std::move(l); });
}
void client::set_close_listener(close_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.close = std::move(l); });
}
void client::set_socket_open_listener(socket_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.socketOpen = std::move(l); });
}
void client::set_socket_close_listener(socket_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.socketClose = std::move(l); });
}
void client::set_notice_listener(notice_listener l) {
    m_impl->set_listeners([&](client_listeners& ls) { ls.notice = std::move(l); });
}

void client::connect(const std::string& url, const std::map<std::string, std::string>& query) {
    m_impl->connect(url, query);
}
void client::close() { m_impl->close(); }
std::shared_ptr<sio::socket> client::socket(const std::string& nsp) { return m_impl->socket(nsp); }

bool client::active() const { return m_impl->active(); }
bool client::opened() const { return m_impl->state() == connection_state::opened; }
connection_state client::state() const { return m_impl->state(); }
std::string client::get_sessionid() const { return m_impl->sid(); }

void client::set_reconnect_delay(unsigned ms) { m_impl->set_reconnect_delay(ms); }
void client::set_reconnect_delay_max(unsigned ms) { m_impl->set_reconnect_delay_max(ms); }
void client::set_reconnect_spread(double spread) { m_impl->set_reconnect_spread(spread); }
unsigned client::rejoin_later(const std::string& nsp) { return m_impl->rejoin_later(nsp); }
void client::later(unsigned ms, std::function<void()> job) { m_impl->later(ms, std::move(job)); }
void client::set_namespace_timeouts(unsigned connectMs, unsigned closeMs) {
    m_impl->set_namespace_timeouts(connectMs, closeMs);
}

void client::set_tls_ca_file(const std::string& path) { m_impl->set_tls_ca_file(path); }

}  // namespace sio
