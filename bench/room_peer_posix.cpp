// The reference PC of bench/room.sh: the least a PC of the room can be on the channel. It joins the exam room
// with our own Socket.IO client, answers every "ping" with "ack" and does nothing else: no service passes, no
// state report, no process list. Run beside each agent in the same PC namespace, it shows what the machine
// and the server cost a ping's round trip, so the agents' figure can be read against it.
//
//   room_peer <socket url> <key> <room>        ends on SIGTERM or SIGINT
//
// Like the agent, it connects again once a connection has ended (the agent's pass looks every 3 s).
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "sio/client.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: room_peer <socket url> <key> <room>\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the client's threads exist, so only sigtimedwait below takes them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    const std::string url = argv[1];
    const std::map<std::string, std::string> query{{"ecpKey", argv[2]}, {"room", argv[3]}, {"type", "agent"}};
    sio::client client;
    auto subscribe = [&client] {
        client.socket()->on("ping", [&client](const std::string&, const sio::message::ptr&, bool, sio::message::list&) {
            client.socket()->emit("ack");
        });
    };
    // A DISCONNECT of "/" takes its handlers with it; each new join subscribes again.
    client.set_socket_open_listener([&](const std::string& nsp) {
        if (nsp == "/") subscribe();
    });
    subscribe();
    client.connect(url, query);
    const timespec pass{3, 0};
    for (;;) {
        int got = sigtimedwait(&stop, nullptr, &pass);
        if (got == SIGTERM || got == SIGINT) break;
        if (!client.active()) client.connect(url, query);
    }
    client.close();
    return 0;
}
