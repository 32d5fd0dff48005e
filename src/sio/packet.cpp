#include "sio/packet.h"

#include <climits>

#include "sio/json.h"

namespace sio {

packet::packet(type t, std::string nsp, message::ptr payload, int id)
    : m_frame(frame_type::message), m_type(t), m_nsp(std::move(nsp)), m_id(id), m_message(std::move(payload)) {
    if (m_nsp.empty()) m_nsp = "/";
}

packet::encoded packet::encode() const {
    encoded e;
    e.text.push_back(static_cast<char>('0' + static_cast<int>(m_frame)));
    if (m_frame != frame_type::message) return e;

    std::string json;
    if (m_message) MessageToJson(m_message, json, e.binaries);
    type t = m_type;
    if (!e.binaries.empty()) {
        if (t == type::event) t = type::binary_event;
        else if (t == type::ack) t = type::binary_ack;
    } else if (t == type::binary_event) {
        t = type::event;
    } else if (t == type::binary_ack) {
        t = type::ack;
    }
    e.text.push_back(static_cast<char>('0' + static_cast<int>(t)));
    if (t == type::binary_event || t == type::binary_ack) e.text += std::to_string(e.binaries.size()) + "-";
    bool more = m_id >= 0 || !json.empty();
    if (m_nsp != "/") {
        e.text += m_nsp;
        if (more) e.text.push_back(',');
    }
    if (m_id >= 0) e.text += std::to_string(m_id);
    e.text += json;
    return e;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads decimal digits at pos into value; false when there are none or they overflow an int.
bool ReadNumber(const std::string& s, std::size_t& pos, long long& value) {
    std::size_t start = pos;
    value = 0;
    while (pos < s.size() && IsDigit(s[pos])) {
        value = value * 10 + (s[pos] - '0');
        if (value > INT_MAX) return false;
        ++pos;
    }
    return pos > start;
}

}  // namespace

packet_decoder::outcome packet_decoder::put_text(const std::string& frame, packet& out) {
    // Whatever was being assembled can no longer complete: its sender has moved on.
    reset();
    if (frame.empty() || !IsDigit(frame[0]) || frame[0] > '6') return outcome::ignored;
    auto frameType = static_cast<packet::frame_type>(frame[0] - '0');
    if (frameType != packet::frame_type::message) {
        out = packet(frameType);
        if (frameType == packet::frame_type::open && frame.size() > 1) {
            message::ptr handshake;
            if (JsonToMessage(frame.substr(1), nullptr, kMaxDepth, handshake)) out.m_message = handshake;
        }
        return outcome::complete;
    }

    if (frame.size() < 2 || !IsDigit(frame[1]) || frame[1] > '6') return outcome::invalid;
    auto p = std::make_unique<packet>(static_cast<packet::type>(frame[1] - '0'), "/");
    std::size_t pos = 2;
    bool binary = p->m_type == packet::type::binary_event || p->m_type == packet::type::binary_ack;
    if (binary) {
        long long count = 0;
        if (!ReadNumber(frame, pos, count) || pos >= frame.size() || frame[pos] != '-') return outcome::invalid;
        if (count > static_cast<long long>(kMaxAttachments)) return outcome::invalid;
        p->m_attachments = static_cast<unsigned>(count);
        ++pos;
    }
    if (pos < frame.size() && frame[pos] == '/') {
        std::size_t comma = frame.find(',', pos);
        std::size_t end = comma == std::string::npos ? frame.size() : comma;
        p->m_nsp = frame.substr(pos, end - pos);
        pos = comma == std::string::npos ? end : comma + 1;
    }
    if (pos < frame.size() && IsDigit(frame[pos])) {
        long long id = 0;
        if (!ReadNumber(frame, pos, id)) return outcome::invalid;
        p->m_id = static_cast<int>(id);
    }
    std::string json = frame.substr(pos);
    // A payload is a text, an array or an object; anything else would run into the packet id.
    if (!json.empty() && json[0] != '"' && json[0] != '[' && json[0] != '{') return outcome::invalid;
    if (binary && p->m_attachments > 0) {
        // Parse now to refuse a broken packet at once, and again with the attachments once they are in.
        message::ptr probe;
        if (!json.empty() && !JsonToMessage(json, nullptr, kMaxDepth, probe)) return outcome::invalid;
        m_pending = std::move(p);
        m_pendingJson = std::move(json);
        return outcome::waiting;
    }
    if (!json.empty()) {
        std::vector<buffer> none;
        if (!JsonToMessage(json, binary ? &none : nullptr, kMaxDepth, p->m_message)) return outcome::invalid;
    }
    out = std::move(*p);
    return outcome::complete;
}

packet_decoder::outcome packet_decoder::put_binary(const std::string& frame, packet& out) {
    if (!m_pending) return outcome::ignored;
    m_bufferBytes += frame.size();
    if (m_bufferBytes > kMaxAttachmentBytes) {
        reset();
        return outcome::invalid;
    }
    m_buffers.push_back(std::make_shared<const std::string>(frame));
    if (m_buffers.size() < m_pending->m_attachments) return outcome::waiting;
    return finish(out);
}

packet_decoder::outcome packet_decoder::finish(packet& out) {
    std::unique_ptr<packet> p = std::move(m_pending);
    std::string json = std::move(m_pendingJson);
    std::vector<buffer> buffers = std::move(m_buffers);
    reset();
    if (!json.empty() && !JsonToMessage(json, &buffers, kMaxDepth, p->m_message)) return outcome::invalid;
    out = std::move(*p);
    return outcome::complete;
}

void packet_decoder::reset() {
    m_pending.reset();
    m_pendingJson.clear();
    m_buffers.clear();
    m_bufferBytes = 0;
}

}  // namespace sio
