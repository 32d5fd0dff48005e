// Feeds the frame and packet decoder whatever the fuzzer makes up: a run of frames, each marked text or
// binary by its first byte, so that binary packets, their attachments and abandoned halves are all reached.
// Every complete packet is encoded again and decoded once more, which must succeed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sio/packet.h"

namespace {

void CheckRoundTrip(const sio::packet& p) {
    if (p.get_frame() != sio::packet::frame_type::message) return;
    sio::packet::encoded e = p.encode();
    sio::packet_decoder again;
    sio::packet back;
    auto outcome = again.put_text(e.text, back);
    for (const auto& b : e.binaries) outcome = again.put_binary(*b, back);
    if (outcome != sio::packet_decoder::outcome::complete) abort();
    if (back.get_nsp() != p.get_nsp() || back.get_id() != p.get_id()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sio::packet_decoder decoder;
    size_t pos = 0;
    // Frames are separated by 0x1e (the Engine.IO record separator); a frame starting with 0x01 is binary.
    while (pos <= size) {
        size_t end = pos;
        while (end < size && data[end] != 0x1e) ++end;
        std::string frame(reinterpret_cast<const char*>(data) + pos, end - pos);
        sio::packet p;
        sio::packet_decoder::outcome o;
        if (!frame.empty() && frame[0] == '\x01') o = decoder.put_binary(frame.substr(1), p);
        else o = decoder.put_text(frame, p);
        if (o == sio::packet_decoder::outcome::complete) CheckRoundTrip(p);
        pos = end + 1;
    }
    return 0;
}
