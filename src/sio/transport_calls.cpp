#include "sio/transport.h"

#include <iostream>

// The network thread and the public calls that post to it, the namespace sockets, and the send queue.

namespace sio {

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
    // A reply made on the network thread (an "ack", a pong) is handed to the connection now; its write runs
    // as soon as the handler returns (later(0, ...) queues work behind it).
    if (OnNetworkThread()) Drain();
    else if (post) m_io.post([this] { Drain(); });
}

void channel_transport::later(unsigned ms, std::function<void()> job) {
    if (!OnNetworkThread()) return job();
    // The writes were posted in the order of the sends; even an expired timer completes after them.
    m_laterTimers.push_back(std::make_unique<boost::asio::steady_timer>(m_io));
    boost::asio::steady_timer* timer = m_laterTimers.back().get();
    timer->expires_from_now(std::chrono::milliseconds(ms));
    timer->async_wait([this, timer, job = std::move(job)](const boost::system::error_code& ec) {
        m_laterTimers.remove_if([timer](const auto& t) { return t.get() == timer; });
        if (!ec && !m_userClosing) job();
    });
}

void channel_transport::CancelLater() {
    for (auto& timer : m_laterTimers) timer->cancel();
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

}  // namespace sio
