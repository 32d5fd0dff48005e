#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sio/client.h"
// The agent and the commands include this header: Boost.Asio must stay behind it.
#ifdef BOOST_ASIO_DETAIL_CONFIG_HPP
#error "sio/client.h brings Boost.Asio to its includers"
#endif
#include "support/room_server.h"
#include "support/test_support.h"

namespace {

using tavrel::test::RoomServer;
using sio::message;

// Everything the client's listeners and handlers report, in order, as short texts; tests wait on it.
class Recorder {
public:
    void Add(const std::string& item) {
        std::lock_guard<std::mutex> lk(m_lock);
        m_items.push_back(item);
        m_changed.notify_all();
    }
    size_t Count(const std::string& prefix) const {
        std::lock_guard<std::mutex> lk(m_lock);
        return CountLocked(prefix);
    }
    bool WaitCount(const std::string& prefix, size_t n, int ms) {
        std::unique_lock<std::mutex> lk(m_lock);
        return m_changed.wait_for(lk, std::chrono::milliseconds(ms), [&] { return CountLocked(prefix) >= n; });
    }
    std::vector<std::string> Items() const {
        std::lock_guard<std::mutex> lk(m_lock);
        return m_items;
    }
    std::vector<std::string> Matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& i : Items())
            if (i.compare(0, prefix.size(), prefix) == 0) out.push_back(i);
        return out;
    }

private:
    size_t CountLocked(const std::string& prefix) const {
        return std::count_if(m_items.begin(), m_items.end(),
                             [&](const std::string& i) { return i.compare(0, prefix.size(), prefix) == 0; });
    }
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_items;
};

Json::Value Args(std::initializer_list<Json::Value> items) {
    Json::Value a(Json::arrayValue);
    for (const auto& i : items) a.append(i);
    return a;
}

std::string Base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        for (int s = 18; s >= 0; s -= 6) out += digits[(v >> s) & 63];
    }
    if (i < bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (i + 1 < bytes.size()) v |= (unsigned char)bytes[i + 1] << 8;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        if (!control.Available()) GTEST_SKIP() << "needs the room-server (TAVREL_ROOM_SERVER)";
        control.Post("/socket/start");
        ASSERT_TRUE(control.Post("/reset")["ok"].asBool());
        url = control.SocketUrl();
        key = std::string("KEY-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        query = {{"type", "agent"}, {"room", "R7"}, {"ecpKey", key}};
        client = std::make_unique<sio::client>();
        client->set_reconnect_delay(100);
        client->set_reconnect_delay_max(1000);
        // The schedule exactly; the spread around it has tests of its own.
        client->set_reconnect_spread(0);
        client->set_open_listener([this] { rec.Add("open"); });
        client->set_fail_listener([this] { rec.Add("fail"); });
        client->set_reconnecting_listener([this] { rec.Add("reconnecting"); });
        client->set_reconnect_listener([this](unsigned made, unsigned delay) {
            rec.Add("reconnect " + std::to_string(made) + " " + std::to_string(delay));
        });
        client->set_close_listener([this](sio::close_reason r) {
            rec.Add(r == sio::close_reason::normal ? "close normal" : "close drop");
        });
        client->set_socket_open_listener([this](const std::string& nsp) { rec.Add("socket open " + nsp); });
        client->set_socket_close_listener([this](const std::string& nsp) { rec.Add("socket close " + nsp); });
    }
    void TearDown() override {
        client.reset();
        if (control.Available()) control.Post("/socket/start");
    }

    void Open() {
        client->connect(url, query);
        ASSERT_TRUE(rec.WaitCount("socket open /", 1, 10000)) << Dump();
    }
    std::string Dump() const {
        std::string out;
        for (const auto& i : rec.Items()) out += i + "\n";
        return out;
    }
    Json::Value Emit(const std::string& event, const Json::Value& args, bool ack) {
        Json::Value body;
        body["ecpKey"] = key;
        body["event"] = event;
        body["args"] = args;
        if (ack) {
            body["ack"] = true;
            body["timeoutMs"] = 5000;
        }
        return control.Post("/emit", body);
    }
    Json::Value Frames(const std::string& filter) {
        return control.Get("/frames?conn=" + client->get_sessionid() + "&" + filter)["frames"];
    }

    RoomServer control;
    Recorder rec;
    std::string url;
    std::string key;
    std::map<std::string, std::string> query;
    std::unique_ptr<sio::client> client;
};

TEST_F(Channel, JoinsTheRoomWithTheQueryInKeyOrder) {
    Open();
    Json::Value conns = control.Get("/connections?ecpKey=" + key + "&wait=5000")["connections"];
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["path"].asString(), "/socket.io/");
    EXPECT_TRUE(std::regex_match(conns[0]["query"].asString(),
                                 std::regex("EIO=4&transport=websocket&t=[0-9]+&ecpKey=" + key + "&room=R7&type=agent")))
        << conns[0]["query"].asString();
    bool inRoom = false;
    for (const auto& s : conns[0]["sockets"])
        for (const auto& r : s["rooms"]) inRoom |= r.asString() == "R7";
    EXPECT_TRUE(inRoom);
    EXPECT_TRUE(client->opened());
    EXPECT_EQ(client->get_sessionid(), conns[0]["conn"].asString());
    // "/" was joined by our own CONNECT.
    Json::Value connects = Frames("dir=in&prefix=40&wait=2000");
    ASSERT_GE(connects.size(), 1u);
    EXPECT_EQ(connects[0]["text"].asString(), "40");
}

TEST_F(Channel, EventsCallHandlersAndAcknowledgeOnlyWhenAsked) {
    Recorder calls;
    Open();
    client->socket()->on("broadcast", [&](const std::string& name, const message::ptr& data, bool needAck,
                                          message::list& ack) {
        calls.Add(name + " " + std::to_string(sio::IntOf(sio::MemberOf(data, "code"))) + (needAck ? " ack" : " noack") +
                  " " + sio::TextOf(sio::MemberOf(data, "data")));
        // Work put off by a handler runs once the handler has returned, never inside it; what still waits
        // when the agent closes is dropped, and the close does not wait for it.
        auto returned = std::make_shared<std::atomic<bool>>(false);
        client->later(0, [&calls, returned] { calls.Add(*returned ? "after" : "inside"); });
        client->later(100, [&calls, returned] { calls.Add("delayed"); });
        client->later(600000, [&calls] { calls.Add("never"); });
        *returned = true;
    });
    client->later(600000, [&calls] { calls.Add("at once"); });
    EXPECT_EQ(calls.Count("at once"), 1u);
    Json::Value command;
    command["code"] = 1002;
    command["data"] = "17";
    ASSERT_TRUE(Emit("broadcast", Args({command}), false)["ok"].asBool());
    ASSERT_TRUE(calls.WaitCount("broadcast 1002 noack 17", 1, 5000));

    command["code"] = 1005;
    Json::Value answer = Emit("broadcast", Args({command}), true);
    ASSERT_TRUE(answer["ok"].asBool()) << answer.toStyledString();
    EXPECT_EQ(answer["ack"], Json::Value(Json::arrayValue));
    EXPECT_EQ(calls.Count("broadcast 1005 ack"), 1u);
    EXPECT_TRUE(calls.WaitCount("after", 2, 5000));
    EXPECT_TRUE(calls.WaitCount("delayed", 2, 5000));
    EXPECT_EQ(calls.Count("inside"), 0u);
    const auto closing = std::chrono::steady_clock::now();
    client->close();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(30)) << "the close waited for put-off work";
    EXPECT_EQ(calls.Count("never"), 0u);
    // Only the second event was acknowledged, with an empty list and the id the server gave it.
    Json::Value acks = Frames("dir=in&prefix=43");
    ASSERT_EQ(acks.size(), 1u);
    std::smatch ackId;
    std::string ackText = acks[0]["text"].asString();
    ASSERT_TRUE(std::regex_match(ackText, ackId, std::regex("43([0-9]+)\\[\\]"))) << ackText;
    Json::Value sent = Frames("dir=out&prefix=42");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["text"].asString().rfind("42[\"broadcast\"", 0), 0u) << sent[0]["text"];
    EXPECT_EQ(sent[1]["text"].asString().rfind("42" + ackId[1].str() + "[\"broadcast\"", 0), 0u) << sent[1]["text"];
}

TEST_F(Channel, HandlerListIsTheAcknowledgementAndAThrowingHandlerIsSurvived) {
    Open();
    auto s = client->socket("");
    s->on("ask", [](const std::string&, const message::ptr& data, bool, message::list& ack) {
        ack.push_back(sio::string_message::create("yes"));
        ack.push_back(sio::int_message::create(sio::IntOf(data) + 1));
    });
    s->on("bad", [](const std::string&, const message::ptr&, bool, message::list&) {
        throw std::runtime_error("handler fault");
    });
    Json::Value answer = Emit("ask", Args({41}), true);
    ASSERT_TRUE(answer["ok"].asBool()) << answer.toStyledString();
    EXPECT_EQ(answer["ack"], Args({"yes", 42}));
    // The throwing handler is still answered, and the channel keeps working afterwards.
    EXPECT_TRUE(Emit("bad", Args({}), true)["ok"].asBool());
    EXPECT_EQ(Emit("ask", Args({1}), true)["ack"], Args({"yes", 2}));
    // Without any handler the server's callback is still answered.
    EXPECT_EQ(Emit("nobody", Args({1}), true)["ack"], Json::Value(Json::arrayValue));
    EXPECT_EQ(rec.Count("close"), 0u);
}

TEST_F(Channel, ClientEmitsGetTheServersAnswer) {
    Recorder got;
    Json::Value reply;
    reply["event"] = "question";
    Json::Value answerObject;
    answerObject["a"] = 1;
    reply["args"] = Args({answerObject, "two"});
    ASSERT_TRUE(control.Post("/reply", reply)["ok"].asBool());
    Open();
    auto s = client->socket();
    s->emit("question", {sio::int_message::create(5)}, [&](const message::list& args) {
        got.Add("answer " + std::to_string(args.size()) + " " + std::to_string(sio::IntOf(sio::MemberOf(args[0], "a"))) +
                " " + sio::TextOf(args[1]));
    });
    // Without a reply set the server echoes the arguments.
    s->emit("echo", {sio::string_message::create("hi"), sio::double_message::create(2.5)},
            [&](const message::list& args) {
                got.Add("echo " + sio::TextOf(args.at(0)) + " " + std::to_string(args.at(1)->get_double()));
            });
    // No callback: no id on the wire.
    s->emit("ack", {});
    ASSERT_TRUE(got.WaitCount("answer 2 1 two", 1, 5000)) << got.Items().size();
    ASSERT_TRUE(got.WaitCount("echo hi 2.5", 1, 5000));
    Json::Value plain = Frames("dir=in&prefix=42&wait=2000&min=3");
    bool sawPlainAck = false;
    for (const auto& f : plain) sawPlainAck |= f["text"].asString() == "42[\"ack\"]";
    EXPECT_TRUE(sawPlainAck);
}

TEST_F(Channel, QueuedEmitsGoOutInOrderOnceTheNamespaceIsConfirmed) {
    auto s = client->socket();
    for (int i = 0; i < 5; ++i) s->emit("seq", {sio::int_message::create(i)});
    Open();
    Json::Value events = control.Get("/events?event=seq&dir=in&min=5&wait=5000&conn=" + client->get_sessionid())["events"];
    ASSERT_EQ(events.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(events[i]["args"][0].asInt(), i);
}

TEST_F(Channel, BinaryAttachmentsBothWays) {
    Recorder got;
    Open();
    const std::string bytes("\x00\x01\xfe\xff zero", 9);
    auto s = client->socket();
    s->on("file", [&](const std::string&, const message::ptr& data, bool, message::list& ack) {
        auto blob = sio::MemberOf(data, "blob");
        got.Add("file " + (blob ? Base64(*blob->get_binary()) : std::string("none")));
        ack.push_back(sio::binary_message::create(std::string("\x7f\x00", 2)));
    });
    Json::Value bin;
    bin["$bin"] = Base64(bytes);
    Json::Value obj;
    obj["blob"] = bin;
    Json::Value answer = Emit("file", Args({obj}), true);
    ASSERT_TRUE(answer["ok"].asBool()) << answer.toStyledString();
    ASSERT_TRUE(got.WaitCount("file " + Base64(bytes), 1, 5000)) << got.Items().size();
    EXPECT_EQ(answer["ack"][0]["$bin"].asString(), Base64(std::string("\x7f\x00", 2)));

    s->emit("upload", {sio::string_message::create("name"), sio::binary_message::create(bytes)},
            [&](const message::list& args) {
                got.Add("echo " + (args.size() == 2 ? Base64(*args[1]->get_binary()) : std::string("?")));
            });
    ASSERT_TRUE(got.WaitCount("echo " + Base64(bytes), 1, 5000));
    Json::Value events = control.Get("/events?event=upload&dir=in&wait=2000&conn=" + client->get_sessionid())["events"];
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0]["binary"].asBool());
    EXPECT_EQ(events[0]["args"][1]["$bin"].asString(), Base64(bytes));
}

TEST_F(Channel, NamespacesConnectOrReportTheirError) {
    Recorder errors;
    client->set_namespace_timeouts(3000, 3000);
    auto early = client->socket("/early");
    early->set_error_listener(
        [&](const message::ptr& m) { errors.Add("early " + sio::TextOf(sio::MemberOf(m, "message"))); });
    Open();
    ASSERT_TRUE(errors.WaitCount("early Invalid namespace", 1, 10000));
    client->socket("admin");
    ASSERT_TRUE(rec.WaitCount("socket open /admin", 1, 10000)) << Dump();
    // A socket sends its CONNECT as it is made, so the refusal may be read before anyone listens: here it
    // surely is (an acknowledged event sent after it has come back), and the listener set later hears it.
    auto nope = client->socket("/nope");
    ASSERT_EQ(control.Get("/events?kind=connect_error&nsp=/nope&min=1&wait=10000")["events"].size(), 1u);
    ASSERT_TRUE(Emit("after", Args({}), true)["ok"].asBool());
    nope->set_error_listener([&](const message::ptr& m) { errors.Add(sio::TextOf(sio::MemberOf(m, "message"))); });
    ASSERT_TRUE(errors.WaitCount("Invalid namespace", 1, 5000));
    // Never confirmed: the namespace gives up after its connection time.
    ASSERT_TRUE(rec.WaitCount("socket close /nope", 1, 10000)) << Dump();
    EXPECT_EQ(errors.Count("Invalid namespace"), 1u);
    EXPECT_NE(client->socket("/nope"), nope);
    EXPECT_EQ(rec.Count("socket close /admin"), 0u);
}

TEST_F(Channel, ServerDisconnectOfTheDefaultNamespaceRemovesItsSocket) {
    Recorder calls;
    Open();
    auto before = client->socket();
    before->on("broadcast", [&](const std::string&, const message::ptr&, bool, message::list&) { calls.Add("x"); });
    Json::Value body;
    body["ecpKey"] = key;
    body["nsp"] = "/";
    ASSERT_TRUE(control.Post("/disconnect", body)["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("socket close /", 1, 5000)) << Dump();
    auto after = client->socket();
    EXPECT_NE(after, before);
    EXPECT_EQ(rec.Count("close"), 0u);  // the connection itself stays
    EXPECT_TRUE(client->opened());
    // The fresh socket joins again and has no handlers of the old one.
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 5000));
    Json::Value command;
    command["code"] = 1;
    EXPECT_TRUE(Emit("broadcast", Args({command}), true)["ok"].asBool());
    EXPECT_EQ(calls.Count("x"), 0u);
}

TEST_F(Channel, ReconnectsOnTheScheduleWhenTheServerGoesAndComesBack) {
    Open();
    ASSERT_TRUE(control.Post("/socket/stop")["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("close drop", 1, 5000)) << Dump();
    ASSERT_TRUE(rec.WaitCount("reconnect ", 4, 10000)) << Dump();
    ASSERT_TRUE(control.Post("/socket/start")["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 10000)) << Dump();
    std::vector<std::string> delays = rec.Matching("reconnect ");
    const std::vector<std::string> expected = {"reconnect 0 100", "reconnect 1 150", "reconnect 2 225",
                                               "reconnect 3 337"};
    ASSERT_GE(delays.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(delays[i], expected[i]);
    // The reconnect listener hears of a drop before the close listener does.
    std::vector<std::string> items = rec.Items();
    auto firstReconnect = std::find(items.begin(), items.end(), "reconnect 0 100");
    auto firstClose = std::find(items.begin(), items.end(), "close drop");
    EXPECT_LT(firstReconnect - items.begin(), firstClose - items.begin());
    EXPECT_EQ(rec.Count("fail"), 0u);
    // A connection dropped before the server's first ping has not held: the schedule goes on growing. Once
    // one has heard a ping, it starts over.
    struct Row {
        bool heardAPing;
        const char* why;
    } rows[] = {{false, "dropped before any ping"}, {true, "dropped after a ping"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        const size_t made = rec.Matching("reconnect ").size();
        const size_t drops = rec.Count("close drop");
        if (row.heardAPing) {
            const std::string sid = client->get_sessionid();
            ASSERT_FALSE(control.Get("/frames?dir=out&prefix=2&min=1&wait=5000&conn=" + sid)["frames"].empty());
            ASSERT_TRUE(control.Get("/frames?dir=in&prefix=3&min=1&wait=5000&conn=" + sid)["frames"].size() > 0);
        }
        ASSERT_TRUE(control.Post("/socket/stop", [] { Json::Value b; b["drop"] = true; return b; }())["ok"].asBool());
        ASSERT_TRUE(rec.WaitCount("close drop", drops + 1, 5000)) << Dump();
        const std::string next = rec.Matching("reconnect ")[made];
        if (row.heardAPing) EXPECT_EQ(next, "reconnect 0 100") << Dump();
        else EXPECT_EQ(next.rfind("reconnect " + std::to_string(made) + " ", 0), 0u) << Dump();
        Json::Value timers;
        timers["pingInterval"] = 200;
        timers["pingTimeout"] = 5000;
        ASSERT_TRUE(control.Post("/socket/timers", timers)["ok"].asBool());
        const size_t opens = rec.Count("socket open /");
        ASSERT_TRUE(control.Post("/socket/start")["ok"].asBool());
        ASSERT_TRUE(rec.WaitCount("socket open /", opens + 1, 10000)) << Dump();
    }
}

// A room restarted server must not see every PC of the room at the same instant.
TEST_F(Channel, ReconnectDelaysAreSpreadAroundTheSchedule) {
    client->set_reconnect_spread(0.5);
    Open();
    ASSERT_TRUE(control.Post("/socket/stop")["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("reconnect ", 5, 10000)) << Dump();
    const unsigned scheduled[] = {100, 150, 225, 337, 506};
    std::vector<std::string> delays = rec.Matching("reconnect ");
    for (unsigned made = 0; made < 5; ++made) {
        unsigned listed = 0, delay = 0;
        ASSERT_EQ(std::sscanf(delays[made].c_str(), "reconnect %u %u", &listed, &delay), 2) << delays[made];
        EXPECT_EQ(listed, made);
        EXPECT_GE(delay, scheduled[made] / 2) << delays[made];
        EXPECT_LE(delay, scheduled[made] * 3 / 2) << delays[made];
    }
}

TEST_F(Channel, CloseIsNormalAndNeverReconnects) {
    Open();
    client->close();
    EXPECT_EQ(rec.Count("close normal"), 1u) << Dump();
    EXPECT_FALSE(client->opened());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(rec.Count("reconnect"), 0u) << Dump();
    EXPECT_EQ(rec.Count("open"), 1u);
    // A second close finds nothing to close; a connect afterwards opens again with fresh sockets.
    client->close();
    client->connect(url, query);
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 10000)) << Dump();
    EXPECT_EQ(rec.Count("socket close /"), 1u);
}

TEST_F(Channel, ConnectWhileOpenChangesNothing) {
    Open();
    std::string sid = client->get_sessionid();
    std::map<std::string, std::string> other = query;
    other["ecpKey"] = key + "-other";
    client->connect(url, other);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(client->get_sessionid(), sid);
    EXPECT_EQ(control.Get("/connections?ecpKey=" + key + "-other")["connections"].size(), 0u);
    EXPECT_EQ(rec.Count("open"), 1u);
    EXPECT_EQ(rec.Count("close"), 0u);
}

TEST_F(Channel, AnsweredPingsKeepTheChannelAndSilenceDropsIt) {
    // The server's deadline for a pong is generous (a loaded machine may answer late); the client's watch
    // (interval + timeout, 2.2 s) is what the silence below runs into.
    Json::Value timers;
    timers["pingInterval"] = 200;
    timers["pingTimeout"] = 2000;
    ASSERT_TRUE(control.Post("/socket/timers", timers)["ok"].asBool());
    Open();
    std::string sid = client->get_sessionid();
    // Several server pings come and go: each answered with "3", and the client never pings itself.
    Json::Value pongs = control.Get("/frames?dir=in&prefix=3&min=5&wait=5000&conn=" + sid)["frames"];
    EXPECT_GE(pongs.size(), 5u);
    EXPECT_EQ(control.Get("/frames?dir=in&prefix=2&conn=" + sid)["frames"].size(), 0u);
    EXPECT_EQ(rec.Count("close"), 0u) << Dump();

    ASSERT_TRUE(control.Post("/socket/pause-pings?ms=3500")["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("close drop", 1, 10000)) << Dump();
    Json::Value closed = control.Get("/frames?type=closed&wait=3000&conn=" + sid)["frames"];
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0]["code"].asInt(), 1008);
    EXPECT_EQ(closed[0]["reason"].asString(), "Pong timeout");
    // Once the server pings again the channel comes back and holds.
    ASSERT_TRUE(rec.WaitCount("reconnect 0 100", 1, 1000));
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 10000)) << Dump();
    const std::string again = client->get_sessionid();
    ASSERT_FALSE(control.Get("/frames?dir=in&prefix=3&min=1&wait=10000&conn=" + again)["frames"].empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(client->opened()) << Dump();
    EXPECT_EQ(client->get_sessionid(), again);
}

TEST_F(Channel, AServerClosingWithoutStatusIsADrop) {
    Open();
    std::string sid = client->get_sessionid();
    Json::Value body;
    body["ecpKey"] = key;
    body["close"] = true;
    ASSERT_TRUE(control.Post("/disconnect", body)["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("close drop", 1, 5000)) << Dump();
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 10000)) << Dump();
    EXPECT_NE(client->get_sessionid(), sid);
    // Our side answered the server's close frame.
    Json::Value closed = control.Get("/frames?type=closed&wait=3000&conn=" + sid)["frames"];
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_NE(closed[0]["code"].asInt(), 1006);
}

TEST_F(Channel, ABadHandshakeFailsCleanlyAndIsRetried) {
    // A second EIO value makes the server answer 101 and then raw "HTTP/1.1 400" bytes.
    query["EIO"] = "3";
    client->connect(url, query);
    ASSERT_TRUE(rec.WaitCount("reconnect ", 3, 10000)) << Dump();
    EXPECT_EQ(rec.Count("socket open"), 0u);
    EXPECT_EQ(rec.Count("fail"), 0u);
    client->close();
    size_t after = rec.Count("reconnect ");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(rec.Count("reconnect "), after);
}

TEST_F(Channel, AnUnusableUrlCallsTheFailListener) {
    client->connect("http://127.0.0.1:99999", query);
    ASSERT_TRUE(rec.WaitCount("fail", 1, 5000)) << Dump();
    EXPECT_EQ(rec.Count("reconnect"), 0u);
}

// close() from a handler, on the network thread, cannot wait for itself; it must still end the channel.
TEST_F(Channel, CloseFromAHandlerAndDestroyWhileBusy) {
    Open();
    sio::client* raw = client.get();
    client->socket()->on("stop", [raw](const std::string&, const message::ptr&, bool, message::list&) { raw->close(); });
    ASSERT_TRUE(Emit("stop", Args({}), false)["ok"].asBool());
    ASSERT_TRUE(rec.WaitCount("close normal", 1, 5000)) << Dump();
    EXPECT_EQ(rec.Count("reconnect"), 0u);
    // Connect again from this thread, then destroy the client while emits are under way from another.
    client->connect(url, query);
    ASSERT_TRUE(rec.WaitCount("socket open /", 2, 10000)) << Dump();
    auto s = client->socket();
    std::thread emitter([s] {
        for (int i = 0; i < 2000; ++i) s->emit("spam", {sio::int_message::create(i)}, [](const message::list&) {});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client.reset();
    emitter.join();
    // A socket held beyond its client is inert.
    s->emit("late", {});
    EXPECT_FALSE(s->connected());
}

// The agent's handlers reach the client through a shared pointer; the last one may go on the network thread.
TEST_F(Channel, TheLastOwnerMayLetGoInsideAHandler) {
    Recorder done;
    auto owner = std::make_shared<sio::client>();
    std::mutex lock;
    owner->set_socket_open_listener([&](const std::string&) { done.Add("open"); });
    owner->socket()->on("bye", [&](const std::string&, const message::ptr&, bool, message::list&) {
        std::shared_ptr<sio::client> last;
        {
            std::lock_guard<std::mutex> lk(lock);
            last.swap(owner);
        }
        last.reset();
        done.Add("released");
    });
    owner->connect(url, query);
    ASSERT_TRUE(done.WaitCount("open", 1, 10000));
    std::string sid = owner->get_sessionid();
    ASSERT_TRUE(Emit("bye", Args({}), false)["ok"].asBool());
    ASSERT_TRUE(done.WaitCount("released", 1, 5000));
    Json::Value conns = control.Get("/connections?open=0&wait=5000&ecpKey=" + key)["connections"];
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["conn"].asString(), sid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the detached thread finishes its loop
}

// Two minutes against a server that pings every 200 ms; run on request (CI runs it once).
TEST_F(Channel, EnduranceHoldsWithShortTimers) {
    if (tavrel::test::EnvText("TAVREL_CHANNEL_ENDURANCE").empty()) GTEST_SKIP() << "set TAVREL_CHANNEL_ENDURANCE=1";
    Json::Value timers;
    timers["pingInterval"] = 200;
    timers["pingTimeout"] = 1000;
    ASSERT_TRUE(control.Post("/socket/timers", timers)["ok"].asBool());
    Open();
    std::string sid = client->get_sessionid();
    int seconds = std::max(1, atoi(tavrel::test::EnvText("TAVREL_CHANNEL_ENDURANCE").c_str()));
    if (seconds == 1) seconds = 120;
    for (int i = 0; i < seconds; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_EQ(rec.Count("close"), 0u) << "after " << i << " s\n" << Dump();
    }
    Json::Value pongs = control.Get("/frames?dir=in&prefix=3&conn=" + sid)["frames"];
    EXPECT_GE(pongs.size(), static_cast<unsigned>(seconds * 5 * 8 / 10));
    EXPECT_EQ(rec.Count("reconnect"), 0u);
    EXPECT_EQ(client->get_sessionid(), sid);
    printf("endurance: %d s, %u pongs, no reconnect\n", seconds, static_cast<unsigned>(pongs.size()));
}

}  // namespace
