#pragma once
// One Engine.IO frame and, for message frames, the Socket.IO packet inside it, in the published text
// format: frame digit, packet-type digit, "<attachments>-" for binary kinds, the namespace unless "/", the
// packet id, then the JSON payload. Binary values travel as separate binary frames after the text frame.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sio/message.h"

namespace sio {

using buffer = std::shared_ptr<const std::string>;

class packet {
public:
    enum class frame_type { open = 0, close = 1, ping = 2, pong = 3, message = 4, upgrade = 5, noop = 6 };
    enum class type { connect = 0, disconnect = 1, event = 2, ack = 3, error = 4, binary_event = 5, binary_ack = 6 };

    // A frame without a Socket.IO packet (open, ping, pong, ...).
    explicit packet(frame_type frame = frame_type::noop) : m_frame(frame) {}
    // A message frame. Event and ack packets become their binary kinds on encoding when the payload holds
    // binary values.
    packet(type t, std::string nsp, message::ptr payload = nullptr, int id = -1);

    frame_type get_frame() const { return m_frame; }
    type get_type() const { return m_type; }
    const std::string& get_nsp() const { return m_nsp; }
    int get_id() const { return m_id; }
    const message::ptr& get_message() const { return m_message; }
    unsigned get_attachment_count() const { return m_attachments; }

    // The text frame first, then one binary frame per attachment, in placeholder order.
    struct encoded {
        std::string text;
        std::vector<buffer> binaries;
    };
    encoded encode() const;

private:
    friend class packet_decoder;
    frame_type m_frame;
    type m_type = type::event;
    std::string m_nsp = "/";
    int m_id = -1;
    message::ptr m_message;
    unsigned m_attachments = 0;
};

// Turns received frames back into packets. A binary packet is held until all its attachments have come;
// any text frame in between abandons it, as the sender can never resume it.
class packet_decoder {
public:
    enum class outcome { complete, waiting, ignored, invalid };

    // Limits that keep hostile input from costing more than a legitimate server ever sends.
    static constexpr unsigned kMaxAttachments = 1024;
    // Together with its text frame's own bound, a packet never holds more than one message's worth of bytes.
    static constexpr std::size_t kMaxAttachmentBytes = 1024u * 1024;
    static constexpr unsigned kMaxDepth = 64;

    outcome put_text(const std::string& frame, packet& out);
    outcome put_binary(const std::string& frame, packet& out);
    // Drops a half-received binary packet (a new connection starts clean).
    void reset();
    bool waiting() const { return m_pending != nullptr; }

private:
    outcome finish(packet& out);

    std::unique_ptr<packet> m_pending;
    std::string m_pendingJson;
    std::vector<buffer> m_buffers;
    std::size_t m_bufferBytes = 0;
};

}  // namespace sio
