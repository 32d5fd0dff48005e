// Round trip of a server event with acknowledgement: the room-server emits "ping" to this client, waits
// for the acknowledgement, and times each round trip; 10 000 of them on loopback. Needs a running
// room-server: TAVREL_ROOM_SERVER=127.0.0.1:<control port> (tests/with-room-server.sh sets it).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "sio/client.h"
#include "support/room_server.h"

int main(int argc, char** argv) {
    tavrel::test::RoomServer control;
    if (!control.Available()) {
        std::fprintf(stderr, "sio_latency: set TAVREL_ROOM_SERVER to the room-server's control address\n");
        return 2;
    }
    int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    control.Post("/reset");

    std::mutex lock;
    std::condition_variable joined;
    bool open = false;
    sio::client client;
    client.set_socket_open_listener([&](const std::string&) {
        std::lock_guard<std::mutex> lk(lock);
        open = true;
        joined.notify_all();
    });
    // The handler does what the agent's "ping" handler does with the wire: nothing but the acknowledgement.
    client.socket()->on("ping", [](const std::string&, const sio::message::ptr&, bool, sio::message::list&) {});
    client.connect(control.SocketUrl(), {{"ecpKey", "BENCH"}, {"room", "R1"}, {"type", "agent"}});
    {
        std::unique_lock<std::mutex> lk(lock);
        if (!joined.wait_for(lk, std::chrono::seconds(10), [&] { return open; })) {
            std::fprintf(stderr, "sio_latency: the channel did not open\n");
            return 1;
        }
    }
    Json::Value body;
    body["ecpKey"] = "BENCH";
    body["event"] = "ping";
    body["ack"] = true;
    body["repeat"] = count;
    body["record"] = false;
    Json::Value result = control.Post("/emit", body);
    client.close();
    if (!result["ok"].asBool()) {
        std::fprintf(stderr, "sio_latency: %s\n", result.toStyledString().c_str());
        return 1;
    }
    const Json::Value& us = result["latencyUs"];
    std::printf("sio_latency: %d round trips, p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms, mean %.3f ms\n",
                result["count"].asInt(), us["p50"].asDouble() / 1000, us["p90"].asDouble() / 1000,
                us["p99"].asDouble() / 1000, us["max"].asDouble() / 1000, us["mean"].asDouble() / 1000);
    return 0;
}
