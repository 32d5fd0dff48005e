// The server's "broadcast" commands and "ping" carried out by the agent's real handlers, over the
// process's own channel, against the room-server.
#include "command_fixture.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "support/graphical_session.h"

namespace command_test {
namespace {

const std::string kScancodeMap("\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x00\x5b\xe0\x00\x00\x5c\xe0"
                               "\x00\x00\x00\x00",
                               24);

Json::Value Answer(const std::string& examineeId, const std::string& taskId, const std::string& batchNum) {
    Json::Value data(Json::objectValue);
    data["examineeId"] = examineeId;
    data["taskId"] = taskId;
    data["batchNum"] = batchNum;
    return data;
}

std::string PartText(const Json::Value& request, const std::string& name) {
    const Json::Value* part = RoomServer::PartOf(request, name);
    return part ? RoomServer::PartBytes(*part) : std::string("<none>");
}


TEST_F(CommandChannelTest, JoinsItsRoomWithTheMachineKeyAndReportsTheChannelUp) {
    Join();
    Json::Value connections = room.Connections(1, 5000);
    ASSERT_EQ(connections.size(), 1u);
    const std::string url = connections[0]["url"].asString();
    EXPECT_EQ(url.rfind("/socket.io/?EIO=4&transport=websocket&t=", 0), 0u) << url;
    const std::string tail = "&ecpKey=" + mac + "&room=R7&type=agent";
    ASSERT_GE(url.size(), tail.size());
    EXPECT_EQ(url.substr(url.size() - tail.size()), tail);
    EXPECT_TRUE(PostedStatuses::WaitEndsWith("0", 5000));
    EXPECT_EQ(PostedStatuses::Text(), "0");
    EXPECT_EQ(log.Count("Socket.IO连接成功"), 1u);
}

TEST_F(CommandChannelTest, WindowsKeysAreSwitchedOffBy1005AndOnBy1006WithoutAReply) {
    ScancodeMapKeeper keep;
    // An administrator's own map is replaced, not merged.
    ASSERT_TRUE(tavrel::test::WriteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map",
                                                 tavrel::test::kTypeBinary, std::string(16, '\x01')));
    Join();
    Broadcast(Command(1005));
    Barrier();
    RegistryEntry written = ScancodeMapKeeper::Read();
    ASSERT_TRUE(written.found);
    EXPECT_EQ(written.type, tavrel::test::kTypeBinary);
    EXPECT_EQ(written.bytes, kScancodeMap);

    Broadcast(Command(1006));
    Barrier();
    EXPECT_FALSE(ScancodeMapKeeper::Read().found);
    // Once more with nothing to remove.
    Broadcast(Command(1006));
    Barrier();
    EXPECT_FALSE(ScancodeMapKeeper::Read().found);

    // Only the barriers' acknowledgements went back; no HTTP request was made.
    for (const std::string& reply : RepliesIn()) EXPECT_EQ(reply.rfind("43", 0), 0u) << reply;
    EXPECT_EQ(room.Requests().size(), 0u);
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[1005]"), 1u);
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[1006]"), 2u);
}

TEST_F(CommandChannelTest, NewMachineNumberIsTakenAndConfirmedWithOk) {
    struct Case {
        const char* before;
        Json::Value data;
        const char* after;
        bool ok;
    };
    const Case cases[] = {
        {"", "17", "17", true},
        {"17", "17", "17", true},
        {"5", "17", "17", true},
        {"5", "", "", true},
        // A number in place of the text reads as nothing: the machine is left without a number.
        {"5", 17, "", true},
        // Without any data there is nothing to take: the command is left alone.
        {"5", Json::Value(), "5", false},
    };
    Join();
    size_t oks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("before ") + c.before + ", data " + c.data.toStyledString());
        WriteShared(&SharedValues::CurrentEcpId, std::string(c.before));
        Broadcast(Command(2003, c.data));
        Barrier();
        EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), c.after);
        if (c.ok) ++oks;
        EXPECT_EQ(room.Events("ok", "event", "in").size(), oks);
    }
    std::vector<std::string> replies = RepliesIn();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "42[\"ok\"]"), static_cast<long>(oks));
}

TEST_F(CommandChannelTest, OkIsTheFirstThingSentForANewMachineNumber) {
    Join();
    Json::Value ack = room.EmitWithAck(Target::Key(mac), "broadcast", Args(Command(2003, "17")), 10000);
    ASSERT_TRUE(ack.isArray());
    EXPECT_EQ(ack.size(), 0u);
    // "ok" without namespace or id, then the acknowledgement of the command itself.
    std::vector<std::string> replies = RepliesIn();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "42[\"ok\"]");
    EXPECT_EQ(replies[1].rfind("43", 0), 0u);
    EXPECT_EQ(replies[1].substr(replies[1].size() - 2), "[]");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "17");
}

TEST_F(CommandChannelTest, NewMachineNumberClosesTheExamClientOnlyWhenItRuns) {
    tavrel::test::GraphicalSession desktop;
    if (!desktop.Ready()) GTEST_SKIP() << desktop.WhyNot();
    // The exam client is the program in the agent's folder; here two copies of a titled window make it run.
    const std::string client = "tc" + RandomHex(6) + ".exe";
    WriteShared(&SharedValues::TavrelExe, AnsiToWide(client));
    ExamClientWindow window(install / "agent", title, client);
    ASSERT_TRUE(window.Started());
    ASSERT_TRUE(window.WaitReady());
    Join();

    // One process of that image is not a running exam client.
    Broadcast(Command(2003, "17"));
    Barrier();
    EXPECT_FALSE(window.WaitRecord("close 16\n", 500)) << window.Record();
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "17");

    ExamClientWindow second(install / "agent", title + " helper", client);
    ASSERT_TRUE(second.WaitReady());
    Broadcast(Command(2003, "18"));
    Barrier();
    EXPECT_TRUE(window.WaitRecord("close 16\n", 5000)) << window.Record();
    EXPECT_EQ(second.Record(), "ready\n") << "a window of another title stays";
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "18");
}

TEST_F(CommandChannelTest, CloseExamClientCommandClosesOnlyTheExamClientsWindow) {
    tavrel::test::GraphicalSession desktop;
    if (!desktop.Ready()) GTEST_SKIP() << desktop.WhyNot();
    const std::string client = "tc" + RandomHex(6) + ".exe";
    WriteShared(&SharedValues::TavrelExe, AnsiToWide(client));
    ExamClientWindow window(install / "agent", title, client);
    ASSERT_TRUE(window.Started());
    ASSERT_TRUE(window.WaitReady());
    // A candidate's program (`title 考试客户端` in a console) shows the same title, above the exam client's.
    ExamClientWindow lookalike(install.Path(), title);
    ASSERT_TRUE(lookalike.WaitReady());
    Join();
    Broadcast(Command(1002));
    Barrier();
    EXPECT_TRUE(window.WaitRecord("close 16\n", 5000)) << window.Record();
    EXPECT_EQ(lookalike.Record(), "ready\n") << "the look-alike took the close";
    EXPECT_EQ(log.Count("=======接收服务端消息并关闭考试机======"), 1u);
    EXPECT_EQ(room.Requests().size(), 0u);
}

TEST_F(CommandChannelTest, AnswerFileIsUploadedWithItsChecksum) {
    const std::string folder = ExamDataPath("nrvq\\T1\\B1\\E1\\answer");
    ASSERT_TRUE(CreateFolders(folder));
    const std::string bytes = std::string("<answer examinee=\"E1\">\r\n") + std::string(3000, 'x') + "\0end";
    const std::string path = exeDir + NativePath("..\\ExamData\\nrvq\\T1\\B1\\E1\\answer\\E1.oef");
    ASSERT_TRUE(tavrel::test::WriteFileBytes(path, bytes));
    Join();
    Broadcast(Command(2002, Answer("E1", "T1", "B1")));
    Json::Value requests = room.Requests("/monitor/uploadRecoverAnswer", 1, 20000);
    ASSERT_EQ(requests.size(), 1u);
    const Json::Value& request = requests[0];
    EXPECT_EQ(PartText(request, "examineeId"), "E1");
    EXPECT_EQ(PartText(request, "taskId"), "T1");
    EXPECT_EQ(PartText(request, "batchNum"), "B1");
    const Json::Value* file = RoomServer::PartOf(request, "file");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(RoomServer::PartBytes(*file), bytes);
    EXPECT_EQ(PartText(request, "checksum"), (*file)["md5"].asString());
    EXPECT_EQ(PartText(request, "checksum").size(), 32u);
    Barrier();
    EXPECT_EQ(log.Count("E1T1B1" + path), 1u);
    // Nothing goes back on the channel for an upload.
    for (const std::string& reply : RepliesIn()) EXPECT_EQ(reply.rfind("43", 0), 0u) << reply;
}

// The file changes after the first attempt went out: the retry sends the bytes first read, with their digest.
TEST_F(CommandChannelTest, AnswerRetriedAfterTheFileChangedSendsTheBytesItsChecksumIsOf) {
    ASSERT_TRUE(CreateFolders(ExamDataPath("nrvq\\T1\\B1\\E3\\answer")));
    const std::string path = exeDir + NativePath("..\\ExamData\\nrvq\\T1\\B1\\E3\\answer\\E3.oef");
    const std::string first = "<answer examinee=\"E3\">first</answer>";
    ASSERT_TRUE(tavrel::test::WriteFileBytes(path, first));
    Json::Value unanswered(Json::objectValue);
    unanswered["delayMs"] = 1500;
    room.SetFault("uploadRecoverAnswer", "close", unanswered, 1);
    Join();
    Broadcast(Command(2002, Answer("E3", "T1", "B1")));
    ASSERT_EQ(room.Requests("/monitor/uploadRecoverAnswer", 1, 20000).size(), 1u);
    ASSERT_TRUE(tavrel::test::WriteFileBytes(path, "<answer examinee=\"E3\">still being written"));
    Json::Value requests = room.Requests("/monitor/uploadRecoverAnswer", 2, 20000);
    ASSERT_EQ(requests.size(), 2u);
    for (const Json::Value& request : requests) {
        const Json::Value* file = RoomServer::PartOf(request, "file");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(RoomServer::PartBytes(*file), first);
        EXPECT_EQ(PartText(request, "checksum"), (*file)["md5"].asString());
        EXPECT_EQ((*file)["filename"].asString(), "E3.oef");
    }
}

TEST_F(CommandChannelTest, MissingAnswerFileIsReportedWithChecksumMinusOne) {
    Join();
    Broadcast(Command(2002, Answer("E2", "T1", "B1")));
    Json::Value requests = room.Requests("/monitor/uploadRecoverAnswer", 1, 20000);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(PartText(requests[0], "checksum"), "-1");
    EXPECT_EQ(PartText(requests[0], "examineeId"), "E2");
    EXPECT_EQ(RoomServer::PartOf(requests[0], "file"), nullptr);
}

// Texts that would lead the upload out of the answer folder. Planted files at the places they aim for
// make a slip show as an upload of foreign bytes.
TEST_F(CommandChannelTest, AnswerTextsThatLeaveTheAnswerFolderAreRefused) {
    struct Case {
        const char* examineeId;
        const char* taskId;
        const char* batchNum;
    };
    const Case cases[] = {
        {"..", "T1", "B1"},
        {"E1", "..", "B1"},
        {"E1", "T1", ".."},
        {"secret", "..\\..", ".."},
        {"secret", "../..", ".."},
        {"E1", "T1\\..\\..\\..", "B1"},
        {"E1", "T1/../../..", "B1"},
        {"E1", "C:", "B1"},
        {"E1", "C:\\Windows", "B1"},
        {"E1", "/etc", "B1"},
        {"E1", "\\\\server\\share", "B1"},
        {"E1:stream", "T1", "B1"},
        {"E1", "T1", "B1\\answer"},
        {"..\\..\\..\\..\\secret", "T1", "B1"},
        {"COM1", "T1", "B1"},
        {"con", "T1", "B1"},
        {"NUL.txt", "T1", "B1"},
        {"E1", "LPT9", "B1"},
    };
    ASSERT_TRUE(CreateFolders(exeDir + NativePath("..\\ExamData\\secret\\answer")));
    ASSERT_TRUE(tavrel::test::WriteFileBytes(exeDir + NativePath("..\\ExamData\\secret\\answer\\secret.oef"),
                                             "not for the server"));
    Join();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.examineeId) + " | " + c.taskId + " | " + c.batchNum);
        Broadcast(Command(2002, Answer(c.examineeId, c.taskId, c.batchNum)));
        Barrier();
        EXPECT_EQ(room.Requests().size(), 0u);
    }
    EXPECT_EQ(log.Count("2002 refused"), sizeof cases / sizeof cases[0]);
    // The command is still carried out for sound texts afterwards.
    Broadcast(Command(2002, Answer("E1", "T1", "B1")));
    EXPECT_EQ(room.Requests("/monitor/uploadRecoverAnswer", 1, 20000).size(), 1u);
}

TEST_F(CommandChannelTest, CodeThatIsNoIntegerDoesNothingAfterTheLogLine) {
    ScancodeMapKeeper keep;
    tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    const Json::Value codes[] = {"1005", "1003", "1004", "2003", "2002", 1005.5, 1003.25, 2003.5, true,
                                 Json::Value(Json::arrayValue), Json::Value(Json::objectValue),
                                 // 2^32 + 1005 and 2^32 + 2003: integers that are no command.
                                 Json::Value(Json::Int64(4294968301LL)), Json::Value(Json::Int64(4294969299LL))};
    WriteShared(&SharedValues::CurrentEcpId, std::string("5"));
    Join();
    for (const Json::Value& code : codes) {
        SCOPED_TRACE(code.toStyledString());
        Broadcast(Command(code, "17"));
        Barrier();
    }
    Broadcast(Command(2002, Answer("E1", "T1", "B1")));  // a command the loop's data would not suit
    Barrier();
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[0]"), sizeof codes / sizeof codes[0] - 2);
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[4294968301]"), 1u);
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[4294969299]"), 1u);
    EXPECT_FALSE(ScancodeMapKeeper::Read().found);
    EXPECT_EQ(power.Text(), "");
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "5");
    EXPECT_EQ(room.Events("ok", "event", "in").size(), 0u);
    // Only the 2002 with an integer code reached the server.
    EXPECT_EQ(room.Requests().size(), 1u);
}

// The seven codes the server sends, and no integer beside them, however near.
TEST(CommandTable, KnowsTheSevenCodesAndNoOther) {
    for (std::int64_t code : {1002, 1003, 1004, 1005, 1006, 2002, 2003}) {
        CommandCode command{};
        EXPECT_TRUE(FindCommand(code, &command)) << code;
        EXPECT_EQ(static_cast<std::int64_t>(command), code);
    }
    const std::int64_t unknown[] = {0, 1, 1001, 1007, 2001, 2004, -1003, (1LL << 32) + 1003, INT64_MIN};
    for (std::int64_t code : unknown) {
        CommandCode command = CommandCode::PowerOff;
        EXPECT_FALSE(FindCommand(code, &command)) << code;
        EXPECT_EQ(command, CommandCode::PowerOff) << code;
    }
}

TEST_F(CommandChannelTest, MalformedBroadcastsAreLoggedAndIgnored) {
    ScancodeMapKeeper keep;
    tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
    Json::Value twoArgs(Json::arrayValue);
    twoArgs.append(Json::Value(Json::nullValue));
    twoArgs.append(Command(1005));
    Json::Value listed(Json::arrayValue);
    listed.append(Command(1005));
    Json::Value partial(Json::objectValue);
    partial["examineeId"] = "E1";
    partial["taskId"] = "T1";
    Json::Value numbers = Answer("E1", "T1", "B1");
    numbers["batchNum"] = 7;
    const Json::Value argumentLists[] = {
        Json::Value(Json::arrayValue),      // no argument at all
        Args(Json::Value(Json::nullValue)), // null, which arrives as no argument
        Args("1005"),
        Args(1005),
        Args(listed),
        twoArgs,  // the first argument counts, and null is left out
        Args(Command(2003)),
        Args(Command(2002)),
        Args(Command(2002, "E1")),
        Args(Command(2002, Json::Value(Json::objectValue))),
        Args(Command(2002, partial)),
        Args(Command(2002, numbers)),
        Args(Command(2002, Json::Value(Json::arrayValue))),
    };
    WriteShared(&SharedValues::CurrentEcpId, std::string("5"));
    Join();
    for (const Json::Value& args : argumentLists) {
        SCOPED_TRACE(args.toStyledString());
        room.Emit(Target::Key(mac), "broadcast", args);
        Barrier();
    }
    EXPECT_EQ(room.Requests().size(), 0u);
    EXPECT_EQ(ReadShared(&SharedValues::CurrentEcpId), "5");
    EXPECT_EQ(room.Events("ok", "event", "in").size(), 0u);
    // The one argument list whose first argument survives is carried out.
    EXPECT_TRUE(ScancodeMapKeeper::Read().found);
    // Each list and each barrier after it left its line.
    EXPECT_EQ(log.Count("接收到考试服务指令，code："), 2 * (sizeof argumentLists / sizeof argumentLists[0]));
    EXPECT_TRUE(CommandChannelClient()->opened());
}

TEST_F(CommandChannelTest, BroadcastAskingForAnAcknowledgementGetsAnEmptyOne) {
    Join();
    const Json::Value commands[] = {Command(1001), Command(1006), Command(2003, "9"), Command("x"),
                                    Command(2002, Answer("E9", "T9", "B9"))};
    for (const Json::Value& command : commands) {
        SCOPED_TRACE(command.toStyledString());
        Json::Value ack = room.EmitWithAck(Target::Key(mac), "broadcast", Args(command), 20000);
        ASSERT_TRUE(ack.isArray());
        EXPECT_EQ(ack.size(), 0u);
    }
    Json::Value none = room.EmitWithAck(Target::Key(mac), "broadcast", Json::Value(Json::arrayValue), 20000);
    ASSERT_TRUE(none.isArray());
    EXPECT_EQ(none.size(), 0u);
    for (const Json::Value& ack : room.Events("", "ack", "in")) EXPECT_EQ(ack["args"].size(), 0u);
}

TEST_F(CommandChannelTest, PingIsAnsweredWithAckAndTheStateOnlyWhileTheExamClientRuns) {
    struct Case {
        int phase;
        const char* ecpId;
        int processes;
        bool report;
    };
    const Case cases[] = {
        {0, "5", 2, true},  {1, "5", 2, true},  {2, "5", 2, false},
        {0, "", 2, false},  {3, "", 2, false},  {0, "5", 1, false},
    };
    ExamClientStandIns clients(install / "agent");  // the exam client is the one in the agent's folder
    WriteShared(&SharedValues::TavrelExe, clients.Name());
    ASSERT_TRUE(clients.Start());
    ASSERT_TRUE(clients.Start());
    ASSERT_TRUE(clients.WaitRunning(true));
    Join();
    size_t reports = 0, acks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("phase " + std::to_string(c.phase) + ", ecpId '" + c.ecpId + "', processes " +
                     std::to_string(c.processes));
        if (c.processes < 2) {
            clients.StopOne();
            ASSERT_TRUE(clients.WaitRunning(false));
        }
        UpdateShared([&](SharedValues& v) {
            v.CurrentPhase = c.phase;
            v.CurrentEcpId = c.ecpId;
        });
        room.Emit(Target::Key(mac), "ping");
        Barrier();
        ++acks;
        if (c.report) ++reports;
        EXPECT_EQ(room.Events("ack", "event", "in").size(), acks);
        Json::Value states = room.Requests("/client/sendEcpState");
        ASSERT_EQ(states.size(), reports);
        if (!c.report) continue;
        const Json::Value& body = states[states.size() - 1]["json"];
        // The report waits for the room's acks: half a second at least after this PC's own.
        const Json::Value acksIn = room.Events("ack", "event", "in");
        EXPECT_GE(states[states.size() - 1]["time"].asDouble() - acksIn[acksIn.size() - 1]["time"].asDouble(), 450.0);
        EXPECT_EQ(body["ecpKey"].asString(), mac);
        EXPECT_EQ(body["ecpId"].asString(), c.ecpId);
        EXPECT_EQ(body["ecpIp"].asString(), "10.0.7.21");
        EXPECT_EQ(body["ecpVersion"].asString(), "3.1.4.1");
        EXPECT_EQ(body["ecpRoomCode"].asString(), "R7");
        EXPECT_TRUE(body["status"].isIntegral());
        EXPECT_EQ(body["status"].asInt(), 1);
    }
    // On the wire: 42["ack"], no namespace and no packet id.
    std::vector<std::string> replies = RepliesIn();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), "42[\"ack\"]"), static_cast<long>(acks));
}

// A close drops the timer that was to wake a ping's report; the next ping's wake sends it, once.
TEST_F(CommandChannelTest, ReportWhoseWakeAChannelCloseDroppedGoesWithTheNextPing) {
    ExamClientStandIns clients(install / "agent");
    WriteShared(&SharedValues::TavrelExe, clients.Name());
    ASSERT_TRUE(clients.Start() && clients.Start() && clients.WaitRunning(true));
    UpdateShared([](SharedValues& v) { v.CurrentPhase = 0; v.CurrentEcpId = "5"; });
    Join();
    room.Emit(Target::Key(mac), "ping");
    ASSERT_EQ(room.Events("ack", "event", "in", 1, 5000).size(), 1u);
    CloseCommandChannelIfOpen();
    EXPECT_FALSE(WaitCommandWorkIdle(3000)) << "the report ran without its wake";
    Join();
    room.Emit(Target::Key(mac), "ping");
    Barrier();
    EXPECT_EQ(room.Requests("/client/sendEcpState").size(), 1u);
}

TEST_F(CommandChannelTest, PingAskingForAnAcknowledgementGetsAckAndAnEmptyOne) {
    Join();
    Json::Value ack = room.EmitWithAck(Target::Key(mac), "ping", Json::Value(Json::arrayValue), 10000);
    ASSERT_TRUE(ack.isArray());
    EXPECT_EQ(ack.size(), 0u);
    std::vector<std::string> replies = RepliesIn();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], "42[\"ack\"]");
    EXPECT_EQ(replies[1].rfind("43", 0), 0u);
}

TEST_F(CommandChannelTest, PowerCommandsReachTheSystemCallWithTheirFlags) {
    Join();
    Broadcast(Command(1003));
    Broadcast(Command(1004));
    Barrier();
    // Forced, with the planned application reason (0x80040000).
    if (EnableShutdownPrivilege())
        EXPECT_EQ(power.Text(), "12:2147745792;6:2147745792;");
    else
        EXPECT_EQ(power.Text(), "");
    // Nothing goes back to the server either way.
    EXPECT_EQ(room.Requests().size(), 0u);
    for (const std::string& reply : RepliesIn()) EXPECT_EQ(reply.rfind("43", 0), 0u) << reply;
}

// Both kinds of leave the server can give "/": the namespace alone, and the namespace with its connection.
TEST_F(CommandChannelTest, CommandsAreStillCarriedOutAfterTheServerEndsTheDefaultNamespace) {
    ScancodeMapKeeper keep;
    for (bool closeTransport : {false, true}) {
        SCOPED_TRACE(closeTransport ? "with the connection" : "namespace only");
        tavrel::test::DeleteRegistryEntry(RegistryRoot::LocalMachine, kKeyboardLayout, "Scancode Map");
        Join();
        size_t left = room.Events("", "socket_disconnect").size();
        ASSERT_EQ(room.Disconnect(Target::Key(mac), closeTransport), 1);
        ASSERT_EQ(room.Events("", "socket_disconnect", "", static_cast<int>(left + 1), 5000).size(), left + 1);
        // The workflow connects again only when it finds the channel closed.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!WaitSocketCount(1, 200) && std::chrono::steady_clock::now() < end) {
            if (!IsCommandChannelOpen()) ConnectCommandChannel(ServerEndpointOf(SnapshotShared()));
        }
        ASSERT_TRUE(WaitSocketCount(1, 0)) << "the agent never came back to its room";
        Broadcast(Command(1005));
        Barrier();
        EXPECT_TRUE(ScancodeMapKeeper::Read().found);
        size_t before = room.Events("ack", "event", "in").size();
        room.Emit(Target::Key(mac), "ping");
        ASSERT_EQ(room.Events("ack", "event", "in", static_cast<int>(before + 1), 5000).size(), before + 1);
        CommandChannelClient()->close();
    }
}

}  // namespace
}  // namespace command_test
