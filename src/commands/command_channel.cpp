#include "commands/command_channel.h"

#include <atomic>
#include <map>
#include <mutex>

#include "base/shared_values.h"
#include "base/logger.h"
#include "commands/command_worker.h"

namespace {

std::mutex g_clientLock;
std::shared_ptr<sio::client> g_client;
bool g_destroyed = false;
std::atomic<ChannelStateListener> g_stateListener{nullptr};

void ReportChannelState(ChannelState state) {
    if (auto listener = g_stateListener.load()) listener(state);
}

// Subscribing again replaces the earlier handler, so this is safe on every occasion.
void SubscribeCommandHandlers(const std::shared_ptr<sio::client>& client) {
    auto root = client->socket("");
    root->on("broadcast", OnSocketBroadcastEvent);
    root->on("ping", OnSocketPingEvent);
}

}  // namespace

std::shared_ptr<sio::client> CommandChannelClient() {
    std::lock_guard<std::mutex> lock(g_clientLock);
    if (!g_client && !g_destroyed) g_client = std::make_shared<sio::client>();
    return g_client;
}

void DestroyCommandChannel() {
    std::shared_ptr<sio::client> client;
    {
        std::lock_guard<std::mutex> lock(g_clientLock);
        client.swap(g_client);
        g_destroyed = true;
    }
    if (client) client->close();
    // No command can come any more; an upload in flight ends with its current transfer.
    StopCommandWorker();
}

void InstallChannelListeners(ChannelStateListener onState) {
    g_stateListener = onState;
    auto client = CommandChannelClient();
    if (!client) return;
    client->set_open_listener(OnSocketConnectedEvent);
    client->set_close_listener(OnSocketCloseEvent);
    client->set_fail_listener(OnSocketFailEvent);
    client->set_reconnect_listener(OnSocketReconnectEvent);
    // A DISCONNECT from the server removes the socket of "/" with its handlers; whenever "/" is joined again
    // the handlers must be back, or every later command would be dropped without a trace.
    client->set_socket_open_listener([](const std::string& nsp) {
        if (nsp != "/") return;
        if (auto c = CommandChannelClient()) SubscribeCommandHandlers(c);
        StartCommandLane(CommandLane::Reports);
    });
    // A server that ends "/" but keeps the connection would leave the channel open and deaf: the workflow
    // sees it open and never connects again. So "/" is joined again, after a reconnection's delay: a
    // server that ends it on every join must not get a join storm.
    client->set_socket_close_listener([](const std::string& nsp) {
        if (nsp != "/") return;
        auto c = CommandChannelClient();
        if (!c || !c->opened()) return;
        unsigned delay = c->rejoin_later(nsp);
        LogInfo("OnSocketCloseEvent") << "Socket.IO namespace / ended by the server; joining again in " << delay
                                      << " ms";
    });
    client->set_notice_listener([](const std::string& text) { LogInfo("SocketIO") << text; });
}

void ConnectCommandChannel(const ServerEndpoint& server) {
    auto client = CommandChannelClient();
    if (!client) return;
    // Commands power off rooms: they are heard over the transport the configuration trusts, or not at all.
    if (!TransportReady(server)) return;
    // With Scheme=https the channel goes over wss, checked against the same CA as the HTTP calls.
    client->set_tls_ca_file(server.trust.caPath);
    SharedValues v = SnapshotShared();
    std::map<std::string, std::string> query;
    query["room"] = v.CurrentRoomCode;
    query["ecpKey"] = v.LocalMac;
    query["type"] = "agent";
    client->connect(SocketUrlOf(server), query);
    SubscribeCommandHandlers(client);
}

bool IsCommandChannelOpen() {
    auto client = CommandChannelClient();
    return client && client->opened();
}

bool IsCommandChannelActive() {
    auto client = CommandChannelClient();
    return client && client->active();
}

void CloseCommandChannelIfOpen() {
    auto client = CommandChannelClient();
    if (client && client->opened()) client->close();
}

void LeaveCommandChannel() {
    auto client = CommandChannelClient();
    if (client && client->active()) client->close();
}

void OnSocketConnectedEvent() {
    LogInfo("OnSocketConnectedEvent") << "Socket.IO连接成功";
    // The open listener runs on every connection, after the socket of "/" exists again.
    if (auto client = CommandChannelClient()) SubscribeCommandHandlers(client);
    ReportChannelState(ChannelState::Connected);
}

void OnSocketCloseEvent(sio::close_reason) {
    LogInfo("OnSocketCloseEvent") << "Socket.IO连接关闭";
    ReportChannelState(ChannelState::Closed);
}

void OnSocketFailEvent() {
    LogInfo("OnSocketFailEvent") << "Socket.IO连接异常";
    ReportChannelState(ChannelState::Failed);
}

void OnSocketReconnectEvent(unsigned, unsigned) { ReportChannelState(ChannelState::Retrying); }
