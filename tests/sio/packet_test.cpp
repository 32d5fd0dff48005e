#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sio/json.h"
#include "sio/packet.h"

namespace {

using sio::array_message;
using sio::binary_message;
using sio::int_message;
using sio::message;
using sio::object_message;
using sio::packet;
using sio::packet_decoder;
using sio::string_message;
using Outcome = packet_decoder::outcome;

// The JSON of a decoded value, for comparing whole payloads in one line.
std::string Json(const message::ptr& m) {
    std::string out;
    std::vector<sio::buffer> binaries;
    sio::MessageToJson(m, out, binaries);
    return out;
}

struct TextCase {
    const char* wire;
    Outcome outcome;
    packet::frame_type frame;
    packet::type type;
    const char* nsp;
    int id;
    const char* payload;  // JSON of the decoded payload; "null" for none
};

class DecodeText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DecodeText, Fields) {
    const TextCase& c = GetParam();
    packet_decoder d;
    packet p;
    ASSERT_EQ(d.put_text(c.wire, p), c.outcome) << c.wire;
    if (c.outcome != Outcome::complete) return;
    EXPECT_EQ(p.get_frame(), c.frame) << c.wire;
    if (c.frame != packet::frame_type::message) return;
    EXPECT_EQ(p.get_type(), c.type) << c.wire;
    EXPECT_EQ(p.get_nsp(), c.nsp) << c.wire;
    EXPECT_EQ(p.get_id(), c.id) << c.wire;
    EXPECT_EQ(Json(p.get_message()), c.payload) << c.wire;
}

using F = packet::frame_type;
using T = packet::type;

INSTANTIATE_TEST_SUITE_P(
    Wire, DecodeText,
    ::testing::Values(
        // Engine.IO frames
        TextCase{"0{\"sid\":\"abc\",\"pingInterval\":25000}", Outcome::complete, F::open, T::event, "/", -1, "null"},
        TextCase{"1", Outcome::complete, F::close, T::event, "/", -1, "null"},
        TextCase{"2", Outcome::complete, F::ping, T::event, "/", -1, "null"},
        TextCase{"2probe", Outcome::complete, F::ping, T::event, "/", -1, "null"},
        TextCase{"3", Outcome::complete, F::pong, T::event, "/", -1, "null"},
        TextCase{"6", Outcome::complete, F::noop, T::event, "/", -1, "null"},
        TextCase{"", Outcome::ignored, F::noop, T::event, "/", -1, "null"},
        TextCase{"7", Outcome::ignored, F::noop, T::event, "/", -1, "null"},
        TextCase{"x42[]", Outcome::ignored, F::noop, T::event, "/", -1, "null"},
        // Socket.IO packets of the default namespace
        TextCase{"40", Outcome::complete, F::message, T::connect, "/", -1, "null"},
        TextCase{"40{\"sid\":\"s1\"}", Outcome::complete, F::message, T::connect, "/", -1, "{\"sid\":\"s1\"}"},
        TextCase{"41", Outcome::complete, F::message, T::disconnect, "/", -1, "null"},
        TextCase{"42[\"broadcast\",{\"code\":1002,\"data\":\"x\"}]", Outcome::complete, F::message, T::event, "/",
                 -1, "[\"broadcast\",{\"code\":1002,\"data\":\"x\"}]"},
        TextCase{"421[\"broadcast\",{\"code\":1005}]", Outcome::complete, F::message, T::event, "/", 1,
                 "[\"broadcast\",{\"code\":1005}]"},
        TextCase{"431[]", Outcome::complete, F::message, T::ack, "/", 1, "[]"},
        TextCase{"4312[\"a\",1.5]", Outcome::complete, F::message, T::ack, "/", 12, "[\"a\",1.5]"},
        TextCase{"44{\"message\":\"Invalid namespace\"}", Outcome::complete, F::message, T::error, "/", -1,
                 "{\"message\":\"Invalid namespace\"}"},
        // Other namespaces, with and without ids and payloads
        TextCase{"40/admin,", Outcome::complete, F::message, T::connect, "/admin", -1, "null"},
        TextCase{"40/admin", Outcome::complete, F::message, T::connect, "/admin", -1, "null"},
        TextCase{"40/admin,{\"sid\":\"q\"}", Outcome::complete, F::message, T::connect, "/admin", -1,
                 "{\"sid\":\"q\"}"},
        TextCase{"42/admin,[\"hello\"]", Outcome::complete, F::message, T::event, "/admin", -1, "[\"hello\"]"},
        TextCase{"42/admin,7[\"hello\",1]", Outcome::complete, F::message, T::event, "/admin", 7, "[\"hello\",1]"},
        TextCase{"43/admin,7[]", Outcome::complete, F::message, T::ack, "/admin", 7, "[]"},
        TextCase{"41/admin,", Outcome::complete, F::message, T::disconnect, "/admin", -1, "null"},
        // JSON true, false and null have no value of their own
        TextCase{"42[\"e\",true,null,false,\"t\"]", Outcome::complete, F::message, T::event, "/", -1,
                 "[\"e\",null,null,null,\"t\"]"},
        // Invalid packets
        TextCase{"4", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"47[]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"49[]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"4a[]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"42[\"unterminated", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"42[\"e\"]trailing", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"42 7", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"42/a,-7", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"42\"text\"", Outcome::complete, F::message, T::event, "/", -1, "\"text\""},
        TextCase{"4299999999999[\"e\"]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"45[\"e\"]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"45x-[\"e\"]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"451", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"451025-[\"e\"]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        TextCase{"450-[\"e\",{\"_placeholder\":true,\"num\":0}]", Outcome::invalid, F::message, T::event, "/", -1,
                 "null"},
        TextCase{"451-[\"e\",]", Outcome::invalid, F::message, T::event, "/", -1, "null"},
        // A binary kind without attachments is complete at once
        TextCase{"450-[\"e\",1]", Outcome::complete, F::message, T::binary_event, "/", -1, "[\"e\",1]"},
        // Attachments still to come
        TextCase{"451-[\"e\",{\"_placeholder\":true,\"num\":0}]", Outcome::waiting, F::message, T::binary_event,
                 "/", -1, "null"}));

TEST(DecodeBinary, PlaceholdersTakeTheirAttachments) {
    packet_decoder d;
    packet p;
    ASSERT_EQ(d.put_text("452-/admin,3[\"file\",{\"b\":{\"_placeholder\":true,\"num\":1}},"
                         "{\"_placeholder\":true,\"num\":0}]",
                         p),
              Outcome::waiting);
    EXPECT_TRUE(d.waiting());
    ASSERT_EQ(d.put_binary(std::string("\x00\x01\x02", 3), p), Outcome::waiting);
    ASSERT_EQ(d.put_binary("second", p), Outcome::complete);
    EXPECT_FALSE(d.waiting());
    EXPECT_EQ(p.get_type(), T::binary_event);
    EXPECT_EQ(p.get_nsp(), "/admin");
    EXPECT_EQ(p.get_id(), 3);
    const auto& items = static_cast<const message&>(*p.get_message()).get_vector();
    ASSERT_EQ(items.size(), 3u);
    ASSERT_TRUE(items[1]);
    auto b = sio::MemberOf(items[1], "b");
    ASSERT_TRUE(b);
    ASSERT_EQ(b->get_flag(), message::flag::binary);
    EXPECT_EQ(*b->get_binary(), "second");
    ASSERT_EQ(items[2]->get_flag(), message::flag::binary);
    EXPECT_EQ(*items[2]->get_binary(), std::string("\x00\x01\x02", 3));
}

TEST(DecodeBinary, HostileAttachmentsAreRefusedOrIgnored) {
    packet_decoder d;
    packet p;
    // No packet waits: a stray binary frame is nothing.
    EXPECT_EQ(d.put_binary("orphan", p), Outcome::ignored);
    // A placeholder number beyond the attachments fails the packet once they are all in.
    ASSERT_EQ(d.put_text("451-[\"e\",{\"_placeholder\":true,\"num\":1}]", p), Outcome::waiting);
    EXPECT_EQ(d.put_binary("x", p), Outcome::invalid);
    ASSERT_EQ(d.put_text("451-[\"e\",{\"_placeholder\":true,\"num\":-1}]", p), Outcome::waiting);
    EXPECT_EQ(d.put_binary("x", p), Outcome::invalid);
    ASSERT_EQ(d.put_text("451-[\"e\",{\"_placeholder\":true,\"num\":\"0\"}]", p), Outcome::waiting);
    EXPECT_EQ(d.put_binary("x", p), Outcome::invalid);
    // A text frame abandons a packet still waiting, and is itself decoded.
    ASSERT_EQ(d.put_text("452-[\"e\",{\"_placeholder\":true,\"num\":0}]", p), Outcome::waiting);
    ASSERT_EQ(d.put_binary("x", p), Outcome::waiting);
    ASSERT_EQ(d.put_text("42[\"next\"]", p), Outcome::complete);
    EXPECT_EQ(Json(p.get_message()), "[\"next\"]");
    EXPECT_EQ(d.put_binary("late", p), Outcome::ignored);
    // A reset (new connection) drops the half packet.
    ASSERT_EQ(d.put_text("451-[\"e\",{\"_placeholder\":true,\"num\":0}]", p), Outcome::waiting);
    d.reset();
    EXPECT_EQ(d.put_binary("x", p), Outcome::ignored);
}

TEST(DecodeText, DeepNestingIsRefusedWithoutRecursion) {
    packet_decoder d;
    packet p;
    std::string deep = "42[\"e\"," + std::string(100000, '[') + std::string(100000, ']') + "]";
    EXPECT_EQ(d.put_text(deep, p), Outcome::invalid);
    std::string fine = "42[\"e\"," + std::string(60, '[') + std::string(60, ']') + "]";
    EXPECT_EQ(d.put_text(fine, p), Outcome::complete);
    // Brackets inside texts are not nesting.
    std::string inText = "42[\"e\",\"" + std::string(1000, '[') + "\"]";
    EXPECT_EQ(d.put_text(inText, p), Outcome::complete);
}

struct EncodeCase {
    const char* name;
    packet::type type;
    const char* nsp;
    int id;
    message::ptr payload;
    const char* text;
    size_t binaries;
};

message::ptr Array(message::list items) { return array_message::create(std::move(items)); }
message::ptr Text(const char* t) { return string_message::create(t); }

message::ptr Broadcast() {
    auto o = object_message::create();
    static_cast<object_message&>(*o).insert("code", int_message::create(1002));
    static_cast<object_message&>(*o).insert("data", Text("17"));
    return o;
}

TEST(Encode, GoldenTexts) {
    const std::vector<EncodeCase> cases = {
        {"connect /", T::connect, "/", -1, nullptr, "40", 0},
        {"connect /admin", T::connect, "/admin", -1, nullptr, "40/admin", 0},
        {"disconnect /admin", T::disconnect, "/admin", -1, nullptr, "41/admin", 0},
        {"event", T::event, "/", -1, Array({Text("broadcast"), Broadcast()}),
         "42[\"broadcast\",{\"code\":1002,\"data\":\"17\"}]", 0},
        {"ack reply", T::event, "/", -1, Array({Text("ack")}), "42[\"ack\"]", 0},
        {"event with id", T::event, "/", 12, Array({Text("hello")}), "4212[\"hello\"]", 0},
        {"event in namespace", T::event, "/admin", 3, Array({Text("hello")}), "42/admin,3[\"hello\"]", 0},
        {"empty ack", T::ack, "/", 1, Array({}), "431[]", 0},
        {"ack in namespace", T::ack, "/admin", 1, Array({Text("x")}), "43/admin,1[\"x\"]", 0},
        {"binary event", T::event, "/", -1, Array({Text("file"), binary_message::create(std::string("abc"))}),
         "451-[\"file\",{\"_placeholder\":true,\"num\":0}]", 1},
        {"binary ack", T::ack, "/admin", 4,
         Array({binary_message::create(std::string("a")), binary_message::create(std::string("b"))}),
         "462-/admin,4[{\"_placeholder\":true,\"num\":0},{\"_placeholder\":true,\"num\":1}]", 2},
        {"null argument", T::event, "/", -1, Array({Text("e"), nullptr}), "42[\"e\",null]", 0},
    };
    for (const auto& c : cases) {
        packet::encoded e = packet(c.type, c.nsp, c.payload, c.id).encode();
        EXPECT_EQ(e.text, c.text) << c.name;
        EXPECT_EQ(e.binaries.size(), c.binaries) << c.name;
    }
    EXPECT_EQ(packet(F::pong).encode().text, "3");
    EXPECT_EQ(packet(F::ping).encode().text, "2");
}

// Whatever we encode comes back the same through the decoder, binary frames included.
TEST(Encode, RoundTrips) {
    auto nested = object_message::create();
    static_cast<object_message&>(*nested).insert("list", Array({int_message::create(-5), sio::double_message::create(2.25),
                                                               binary_message::create(std::string("\0\xff", 2))}));
    static_cast<object_message&>(*nested).insert("text", Text("中文 \"quoted\" \\ /"));
    const std::vector<packet> packets = {
        packet(T::event, "/", Array({Text("broadcast"), Broadcast()}), -1),
        packet(T::event, "/admin", Array({Text("x"), int_message::create(INT64_MIN)}), 0),
        packet(T::ack, "/", Array({}), 2147483647),
        packet(T::event, "/a/b", Array({Text("deep"), nested}), 5),
        packet(T::ack, "/", Array({binary_message::create(std::string()), nested}), 9),
        packet(T::connect, "/admin", nullptr, -1),
    };
    for (const auto& original : packets) {
        packet::encoded e = original.encode();
        packet_decoder d;
        packet back;
        Outcome o = d.put_text(e.text, back);
        for (const auto& b : e.binaries) {
            ASSERT_EQ(o, Outcome::waiting) << e.text;
            o = d.put_binary(*b, back);
        }
        ASSERT_EQ(o, Outcome::complete) << e.text;
        EXPECT_EQ(back.get_nsp(), original.get_nsp());
        EXPECT_EQ(back.get_id(), original.get_id());
        EXPECT_EQ(back.get_attachment_count(), e.binaries.size());
        packet::encoded again = back.encode();
        EXPECT_EQ(again.text, e.text);
        ASSERT_EQ(again.binaries.size(), e.binaries.size());
        for (size_t i = 0; i < e.binaries.size(); ++i) EXPECT_EQ(*again.binaries[i], *e.binaries[i]);
    }
}

TEST(Message, WrongKindReadsAreNeutral) {
    message::ptr text = Text("1003");
    EXPECT_EQ(text->get_int(), 0);
    EXPECT_EQ(text->get_double(), 0.0);
    EXPECT_TRUE(text->get_binary()->empty());
    EXPECT_TRUE(static_cast<const message&>(*text).get_vector().empty());
    EXPECT_TRUE(static_cast<const message&>(*text).get_map().empty());
    // A writable read of the wrong kind never leaks a write into the next reader.
    text->get_vector().push_back(Text("junk"));
    EXPECT_TRUE(text->get_vector().empty());
    text->get_map()["k"] = Text("junk");
    EXPECT_TRUE(text->get_map().empty());
    EXPECT_EQ(sio::double_message::create(3.0)->get_int(), 0);
    EXPECT_EQ(int_message::create(3)->get_string(), "");
    EXPECT_EQ(sio::IntOf(nullptr), 0);
    EXPECT_EQ(sio::TextOf(nullptr), "");
    EXPECT_FALSE(sio::MemberOf(Text("x"), "code"));
    EXPECT_EQ(sio::IntOf(sio::MemberOf(Broadcast(), "code")), 1002);
}

}  // namespace
