// Decode-and-dispatch throughput on one core: "broadcast" event frames as the server sends them, decoded
// and handed to a handler looked up by event name, as the network thread does for each frame.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "sio/packet.h"
#include "sio/socket.h"

int main(int argc, char** argv) {
    long frames = argc > 1 ? std::atol(argv[1]) : 2000000;
    const std::string wire[] = {
        "42[\"broadcast\",{\"code\":1002,\"data\":\"17\"}]",
        "421[\"broadcast\",{\"code\":2002,\"data\":{\"examineeId\":\"E1\",\"taskId\":\"T1\",\"batchNum\":\"B1\"}}]",
        "42[\"ping\"]",
    };
    std::map<std::string, sio::socket::event_listener> handlers;
    long long codes = 0;
    handlers["broadcast"] = [&](const std::string&, const sio::message::ptr& data, bool, sio::message::list&) {
        codes += sio::IntOf(sio::MemberOf(data, "code"));
    };
    handlers["ping"] = [&](const std::string&, const sio::message::ptr&, bool, sio::message::list&) { ++codes; };

    sio::packet_decoder decoder;
    auto started = std::chrono::steady_clock::now();
    std::clock_t cpuStarted = std::clock();
    long dispatched = 0;
    for (long i = 0; i < frames; ++i) {
        sio::packet p;
        if (decoder.put_text(wire[i % 3], p) != sio::packet_decoder::outcome::complete) continue;
        const auto& items = static_cast<const sio::message&>(*p.get_message()).get_vector();
        auto h = handlers.find(items[0]->get_string());
        if (h == handlers.end()) continue;
        sio::message::list ack;
        h->second(items[0]->get_string(), items.size() > 1 ? items[1] : nullptr, p.get_id() >= 0, ack);
        if (p.get_id() >= 0) sio::packet(sio::packet::type::ack, p.get_nsp(), sio::array_message::create(ack), p.get_id()).encode();
        ++dispatched;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // CPU time is the figure that holds on a busy machine; wall time is printed beside it.
    double cpu = static_cast<double>(std::clock() - cpuStarted) / CLOCKS_PER_SEC;
    std::printf("sio_decode: %ld event packets, %.3f s CPU (%.3f s wall): %.0f packets/s per core (checksum %lld)\n",
                dispatched, cpu, seconds, dispatched / cpu, codes);
    return 0;
}
