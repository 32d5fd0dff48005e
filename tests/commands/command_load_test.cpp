// The channel in a full room and against a busy or hostile server: a slow answer upload, a server that ends
// "/" on every join, a frame far over the limit, a machine withdrawn while its channel waits to reconnect,
// and a shutdown that meets a stuck upload.
#include "command_fixture.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>

#include "agent/no_user_gate.h"
#include "agent/service_workflow.h"
#include "commands/command_worker.h"

namespace command_test {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Json::Value AnswerOf(const char* examineeId) {
    Json::Value data(Json::objectValue);
    data["examineeId"] = examineeId;
    data["taskId"] = "T1";
    data["batchNum"] = "B1";
    return data;
}

// Jobs run in order of arrival; a key already waiting (or, for an upload, running) is not queued again; a full
// queue refuses; a report goes by on its own lane while the uploads are held up.
TEST(CommandWorker, KeepsOrderBoundsItsQueueAndQueuesAKindOnce) {
    std::mutex lock;
    std::condition_variable changed;
    bool started = false, release = false;
    std::vector<std::string> ran;
    auto record = [&](const std::string& name) {
        return [&, name](const std::atomic<bool>&) {
            std::lock_guard<std::mutex> hold(lock);
            ran.push_back(name);
        };
    };
    ASSERT_TRUE(PostCommandWork([&](const std::atomic<bool>&) {
        std::unique_lock<std::mutex> hold(lock);
        started = true;
        changed.notify_all();
        changed.wait(hold, [&] { return release; });
        ran.push_back("first");
    }, "answer of E0"));
    {
        std::unique_lock<std::mutex> hold(lock);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return started; }));
    }
    EXPECT_TRUE(PostCommandWork(record("E0 again"), "answer of E0"));  // the same file, under way: once more
    EXPECT_TRUE(PostCommandWork(record("E0 thrice"), "answer of E0"));  // covered by the one waiting
    ASSERT_TRUE(PostCommandWork([&](const std::atomic<bool>&) {
        std::lock_guard<std::mutex> hold(lock);
        ran.push_back("lane report");
        changed.notify_all();
    }, "state report", CommandLane::Reports));
    {
        std::unique_lock<std::mutex> hold(lock);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return ran.size() == 1; }))
            << "the report waited behind the upload";
        EXPECT_EQ(ran[0], "lane report");
        ran.clear();
    }
    EXPECT_TRUE(PostCommandWork(record("report"), "report"));
    EXPECT_TRUE(PostCommandWork(record("report again"), "report"));  // covered by the one waiting
    for (size_t i = 2; i < kMaxWaitingCommandJobs; ++i) EXPECT_TRUE(PostCommandWork(record(std::to_string(i))));
    EXPECT_FALSE(PostCommandWork(record("one too many")));
    EXPECT_FALSE(PostCommandWork(record("another report"), "other"));
    {
        std::lock_guard<std::mutex> hold(lock);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(WaitCommandWorkIdle(10000));
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(ran.size(), kMaxWaitingCommandJobs + 1);
    EXPECT_EQ(ran[0], "first");
    EXPECT_EQ(ran[1], "E0 again");
    EXPECT_EQ(ran[2], "report");
    for (size_t i = 2; i < kMaxWaitingCommandJobs; ++i) EXPECT_EQ(ran[i + 1], std::to_string(i));
}

TEST(CommandWorker, DelayedJobWaitsItsTimeAndAStopEndsTheWait) {
    std::atomic<bool> ran{false};
    const auto posted = std::chrono::steady_clock::now();
    std::atomic<long long> ranAfterMs{0};
    ASSERT_TRUE(PostCommandWork([&](const std::atomic<bool>&) {
        ranAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - posted).count();
        ran = true;
    }, "soon", CommandLane::Reports, 300));
    ASSERT_TRUE(WaitCommandWorkIdle(10000));
    EXPECT_TRUE(ran);
    EXPECT_GE(ranAfterMs.load(), 300);
    // A job due in a minute neither runs nor holds the stop up.
    ran = false;
    ASSERT_TRUE(PostCommandWork([&](const std::atomic<bool>&) { ran = true; }, "late", CommandLane::Reports, 60000));
    const auto stopping = std::chrono::steady_clock::now();
    StopCommandWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
    EXPECT_FALSE(ran);
}

// The server drops a client that misses its ping for 1 s; the upload's answer takes 5 s.
TEST_F(CommandChannelTest, SlowAnswerUploadNeitherDropsThePcNorHoldsOtherCommands) {
    ScancodeMapKeeper keep;
    tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    ExamClientStandIns clients(install / "agent");  // the exam client is the one in the agent's folder
    WriteShared(&SharedValues::TavrelExe, clients.Name());
    ASSERT_TRUE(clients.Start());
    ASSERT_TRUE(clients.Start());
    ASSERT_TRUE(clients.WaitRunning(true));
    WriteShared(&SharedValues::CurrentEcpId, std::string("5"));
    room.SetPingTimers(1000, 1000);
    Join();
    const std::string sid = CommandChannelClient()->get_sessionid();
    Json::Value delay(Json::objectValue);
    delay["ms"] = 5000;
    room.SetFault("uploadRecoverAnswer", "delay", delay);

    Broadcast(Command(2002, AnswerOf("E1")));
    Json::Value uploads = room.Requests("/monitor/uploadRecoverAnswer", 1, 10000);
    ASSERT_EQ(uploads.size(), 1u);
    const auto sent = Clock::now();
    Broadcast(Command(1005));
    room.Emit(Target::Key(mac), "ping");
    room.Emit(Target::Key(mac), "ping");
    ASSERT_TRUE(WaitFor([&] { return log.Count("code：[1005]") == 1; }, 4000)) << "1005 waited for the upload";
    const long long loggedMs = MsSince(sent);
    ASSERT_TRUE(WaitFor([] { return ScancodeMapKeeper::Read().found; }, 2000));
    ASSERT_EQ(room.Events("ack", "event", "in", 2, 2000).size(), 2u);
    const long long ackedMs = MsSince(sent);
    // Saved while the upload made before the file existed runs: once more behind it, then merged with that one.
    ASSERT_TRUE(CreateFolders(ExamDataPath("nrvq\\T1\\B1\\E1\\answer")));
    ASSERT_TRUE(tavrel::test::WriteFileBytes(exeDir + NativePath("..\\ExamData\\nrvq\\T1\\B1\\E1\\answer\\E1.oef"), "saved last"));
    Broadcast(Command(2002, AnswerOf("E1")));
    Broadcast(Command(2002, AnswerOf("E1")));
    std::printf("1005 logged %lld ms and the ping's ack back %lld ms after they were sent, during a 5 s upload\n",
                loggedMs, ackedMs);
    EXPECT_LT(loggedMs, 2000);
    EXPECT_TRUE(room.Requests("/monitor/uploadRecoverAnswer")[0]["response"].isNull()) << "the upload had ended";

    // The state report has a lane of its own: it is in long before the upload's answer.
    Json::Value states = room.Requests("/client/sendEcpState", 1, 15000);
    ASSERT_GE(states.size(), 1u);
    const double reportMs = states[0]["time"].asDouble() - uploads[0]["time"].asDouble();
    std::printf("state report in %.0f ms after the upload began, during its 5 s\n", reportMs);
    EXPECT_LT(reportMs, 4500.0);  // its 0.5-2.5 s wait, never the 5 s upload
    ASSERT_TRUE(WaitCommandWorkIdle(15000));
    EXPECT_LE(room.Requests("/client/sendEcpState").size(), 2u);
    Json::Value answers = room.Requests("/monitor/uploadRecoverAnswer");
    ASSERT_EQ(answers.size(), 2u) << "the answer saved last never went, or went twice";
    EXPECT_EQ(RoomServer::PartBytes(*RoomServer::PartOf(answers[0], "checksum")), "-1");
    ASSERT_NE(RoomServer::PartOf(answers[1], "file"), nullptr);
    EXPECT_EQ(RoomServer::PartBytes(*RoomServer::PartOf(answers[1], "file")), "saved last");
    EXPECT_EQ(log.Count("queued once more behind the running upload"), 1u);
    EXPECT_EQ(log.Count("merged with the waiting upload"), 1u);
    // The same connection and the same socket all along: the server never lost the PC.
    EXPECT_EQ(CommandChannelClient()->get_sessionid(), sid);
    EXPECT_EQ(room.Events("", "socket_disconnect").size(), 0u);
    EXPECT_EQ(PostedStatuses::Text(), "0");
}

TEST_F(CommandChannelTest, ServerEndingTheRoomOnEveryJoinSeesOneJoinPerDelay) {
    auto client = CommandChannelClient();
    client->set_reconnect_delay(500);
    client->set_reconnect_delay_max(2000);
    room.Post("/socket/kick-on-join");
    const std::string earlier = client->get_sessionid();  // of an earlier test's connection, if any
    ConnectCommandChannel(ServerEndpointOf(SnapshotShared()));
    ASSERT_TRUE(WaitFor([&] { return !client->get_sessionid().empty() && client->get_sessionid() != earlier; }, 10000));
    const std::string sid = client->get_sessionid();
    auto joins = [&] {
        std::vector<double> at;
        for (const Json::Value& e : room.Events("", "connect", "in"))
            if (e["conn"].asString() == sid) at.push_back(e["time"].asDouble());
        return at;
    };
    ASSERT_TRUE(WaitFor([&] { return joins().size() >= 5; }, 30000)) << joins().size() << " joins";

    // Once the server lets it stay, the PC is back in its room and hears its commands.
    ScancodeMapKeeper keep;
    tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    room.Post("/socket/kick-on-join", [] {
        Json::Value off(Json::objectValue);
        off["on"] = false;
        return off;
    }());
    ASSERT_TRUE(WaitSocketCount(1, 10000));
    Broadcast(Command(1005));
    Barrier();
    EXPECT_TRUE(ScancodeMapKeeper::Read().found);
    EXPECT_EQ(client->get_sessionid(), sid);

    // One join per ending, each after the delay the agent drew and logged for it: 500, 750, 1125, 1687,
    // then 2000 ms, each spread by ±50 %. Times are the server's.
    const std::vector<double> at = joins();
    std::vector<unsigned> delays;
    for (const tavrel::test::CapturedLine& line : log.Lines()) {
        const size_t where = line.text.find("joining again in ");
        if (where != std::string::npos) delays.push_back(std::stoul(line.text.substr(where + 17)));
    }
    std::printf("%zu joins, delays drawn from 500 ms on\n", at.size());
    ASSERT_EQ(delays.size() + 1, at.size());
    const unsigned schedule[] = {500, 750, 1125, 1687, 2000};
    for (size_t i = 0; i < delays.size(); ++i) {
        const unsigned scheduled = schedule[std::min<size_t>(i, 4)];
        EXPECT_GE(delays[i], scheduled / 2) << i;
        EXPECT_LE(delays[i], scheduled * 3 / 2) << i;
        EXPECT_GE(at[i + 1] - at[i], delays[i] - 2.0) << "join " << i + 2 << " came before its delay";
    }
}

TEST_F(CommandChannelTest, FrameOverTheLimitEndsTheConnectionAndThePcComesBack) {
    Join();
    const std::string sid = CommandChannelClient()->get_sessionid();
    Json::Value frame(Json::objectValue);
    frame["ecpKey"] = mac;
    frame["size"] = 2 * 1024 * 1024;
    ASSERT_EQ(room.Post("/socket/large-frame", frame)["sent"].asInt(), 1);
    ASSERT_TRUE(WaitFor([&] { return log.Count("bytes refused") == 1; }, 10000));
    ASSERT_TRUE(WaitFor([] { return IsCommandChannelOpen() && CommandChannelClient()->get_sessionid() != ""; }, 10000));
    ASSERT_TRUE(WaitSocketCount(1, 10000));
    EXPECT_NE(CommandChannelClient()->get_sessionid(), sid);
    // A frame just under the limit is still a command.
    frame["size"] = 1000 * 1000;
    size_t before = log.Count("接收到考试服务指令");
    ASSERT_EQ(room.Post("/socket/large-frame", frame)["sent"].asInt(), 1);
    Barrier();
    EXPECT_EQ(log.Count("接收到考试服务指令"), before + 2);  // the large one, then the barrier
    EXPECT_EQ(log.Count("bytes refused"), 1u);
}

// The number is withdrawn while the server is away: the channel that waits to reconnect must not take the
// machine back to its old room when the server returns.
TEST_F(CommandChannelTest, WithdrawnMachineNeverRejoinsItsOldRoom) {
    Json::Value startup(Json::objectValue);
    startup["ecpId"] = 7;
    startup["ecpRoomCode"] = "R7";
    startup["isStartup"] = false;
    room.SetMachine(mac, startup);
    ASSERT_EQ(RunServicePass(), PassOutcome::Continue);
    ASSERT_TRUE(WaitSocketCount(1, 10000)) << "the pass never joined the room";

    room.StopSocket();
    ASSERT_TRUE(WaitFor([] { return !IsCommandChannelOpen(); }, 5000));
    ASSERT_TRUE(CommandChannelClient()->active()) << "the channel gave up instead of waiting to reconnect";
    startup["ecpId"] = Json::Value();
    room.SetMachine(mac, startup);
    ASSERT_EQ(RunServicePass(), PassOutcome::Continue);
    EXPECT_FALSE(CommandChannelClient()->active());
    EXPECT_EQ(ReadShared(&SharedValues::CurrentRoomCode), "");

    const size_t before = room.Connections().size();
    room.StartSocket();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // many times the 100 ms reconnect delay
    EXPECT_EQ(room.Connections().size(), before);
    EXPECT_FALSE(WaitSocketCount(1, 0));
}

// At the logon screen (no user token) a pass that would start the exam client does nothing of it, and says so once.
TEST_F(CommandChannelTest, PassWithNobodySignedInStartsNoExamAndSaysSoOnce) {
    SetSessionFactsReader(+[] { return SessionFacts{true, false, false}; });
    Json::Value startup;
    Json::Reader().parse(R"({"ecpId": 7, "ecpRoomCode": "R7", "isStartup": true})", startup);
    room.SetMachine(mac, startup);
    for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(RunServicePass(), PassOutcome::Continue);
    SetSessionFactsReader(nullptr);
    EXPECT_EQ(room.Requests("/client/getStartupInfoAgent").size(), 3u);
    for (const char* path : {"/client/sendEcpState", "/client/uploadTavrelLogs", "/client/getModuleMD5"})
        EXPECT_TRUE(room.Requests(path).empty()) << path;
    EXPECT_EQ(log.Count("无用户登录，不启动考试客户端"), 1u);
}

// Shutdown meets an upload whose transfers each fail after 1.5 s: it waits for the one in flight and no more.
TEST_F(CommandChannelTest, StoppingTheWorkerWaitsForOneTransferAtMost) {
    Json::Value cut(Json::objectValue);
    cut["delayMs"] = 1500;
    room.SetFault("uploadRecoverAnswer", "cut", cut);
    Join();
    Broadcast(Command(2002, AnswerOf("E1")));
    Broadcast(Command(2002, AnswerOf("E2")));
    ASSERT_EQ(room.Requests("/monitor/uploadRecoverAnswer", 1, 10000).size(), 1u);
    const auto start = Clock::now();
    StopCommandWorker();
    const long long stopMs = MsSince(start);
    EXPECT_LT(stopMs, 1500 + 1000 + 500);
    // Three attempts each of both uploads without the flag; with it only the one under way.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    EXPECT_EQ(room.Requests("/monitor/uploadRecoverAnswer").size(), 1u);
    // A worker stopped at shutdown takes work again when asked.
    room.ClearFault("uploadRecoverAnswer");
    Broadcast(Command(2002, AnswerOf("E3")));
    Barrier();
    EXPECT_EQ(room.Requests("/monitor/uploadRecoverAnswer").size(), 2u);
}

}  // namespace
}  // namespace command_test
