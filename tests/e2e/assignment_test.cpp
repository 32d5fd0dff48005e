// How the agent follows what the server assigns: registration while unknown, the number withdrawn and given
// again, and a change of number while an exam client runs that the agent did not start.
#include "e2e/agent_tree.h"

namespace tavrel::test {
namespace {

class Assignment : public AgentTest {
protected:
    Json::Value ConnectionsTo(const std::string& roomCode, long since = 0) {
        Json::Value matching(Json::arrayValue);
        for (const Json::Value& c : records.Connections(since))
            if (QueryValue(c["queryParams"], "room") == roomCode) matching.append(c);
        return matching;
    }

};

// While the server answers 9000 every pass registers again, with the room the agent knows by then.
TEST_F(Assignment, UnknownMachineRegistersInEveryPassWithTheRoomKnownSoFar) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Json::nullValue, 9000);
    ASSERT_TRUE(tree.StartAgent());
    Json::Value registrations = records.Requests("registeTavrel", 0, 3, 4 * kPassMs + 2000);
    ASSERT_GE(registrations.size(), 3u);
    for (const Json::Value& r : registrations) EXPECT_EQ(Text(r["json"]["ecpRoom"]), "");
    // One registration per question: nothing else happens in such a pass.
    Json::Value questions = records.Requests("getStartupInfoAgent");
    EXPECT_LE(questions.size(), registrations.size() + 1);
    EXPECT_TRUE(records.Connections().empty());

    room.SetAnswer("getStartupInfoAgent", Numbered(6, "R6"));
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());
    const long mark = records.Mark();
    room.SetAnswer("getStartupInfoAgent", Json::nullValue, 9000);
    Json::Value later = records.Requests("registeTavrel", mark, 2, 3 * kPassMs + 2000);
    ASSERT_GE(later.size(), 2u);
    for (const Json::Value& r : later) EXPECT_EQ(Text(r["json"]["ecpRoom"]), "R6");
}

// A withdrawn number leaves the room; the next assignment joins again, even the same room.
TEST_F(Assignment, WithdrawnNumberLeavesTheRoomAndTheNextAssignmentRejoinsIt) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(4, "R4"));
    ASSERT_TRUE(tree.StartAgent());
    Json::Value first = records.Connections(0, 1, kFewPassesMs, true);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(QueryValue(first[0]["queryParams"], "room"), "R4");

    Json::Value withdrawn(Json::objectValue);
    withdrawn["ecpRoomCode"] = "R4";
    withdrawn["isStartup"] = false;
    room.SetAnswer("getStartupInfoAgent", withdrawn);
    ASSERT_TRUE(WaitUntil([&] { return records.Connections(0, 0, 0, true).empty(); }, kFewPassesMs))
        << "the channel stayed open without a number";
    const long mark = records.Mark();
    // Passes without a number keep the channel closed.
    records.Requests("getStartupInfoAgent", mark, 2, 3 * kPassMs + 2000);
    EXPECT_TRUE(records.Connections(mark).empty());

    room.SetAnswer("getStartupInfoAgent", Numbered(4, "R4"));
    Json::Value again = records.Connections(mark, 1, kFewPassesMs, true);
    ASSERT_EQ(again.size(), 1u) << "the same room was not joined again";
    EXPECT_EQ(QueryValue(again[0]["queryParams"], "room"), "R4");
    EXPECT_EQ(ConnectionsTo("R4").size(), 2u);
}

// A new room while the channel is open: the channel follows to the new room rather than staying deaf in
// the old one.
TEST_F(Assignment, NewRoomWhileTheChannelIsOpenMovesTheChannel) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(9, "R9"));
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_EQ(records.Connections(0, 1, kFewPassesMs, true).size(), 1u);
    room.SetAnswer("getStartupInfoAgent", Numbered(9, "R10"));
    ASSERT_TRUE(WaitUntil([&] {
        Json::Value open = records.Connections(0, 0, 0, true);
        return open.size() == 1 && QueryValue(open[0]["queryParams"], "room") == "R10";
    }, kFewPassesMs));
    // The connection is open a moment before its namespace has joined the room.
    EXPECT_TRUE(WaitUntil([&] { return room.Emit(Target::Room("R10"), "notice") == 1; }, 5000));
}

// An exam client this agent did not start is taken over and waited on: a new number is seen only after its end.
TEST_F(Assignment, NewNumberWaitsForAnExamClientTheAgentTookOver) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(7, "R7"));
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());

    tree.SetClientStay(120000);
    ProcessHandle client = tree.StartInTree("Tavrel.exe", "--started-by-test");
    ASSERT_TRUE(client);
    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("考试客户端已在运行") != std::string::npos; }, kFewPassesMs));
    room.SetAnswer("getStartupInfoAgent", Numbered(8, "R7"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPassMs));
    EXPECT_FALSE(WaitProcessEnd(client, nullptr, 0)) << "the exam client taken over was ended";
    EXPECT_EQ(tree.AgentLog().find("座位号发生改变"), std::string::npos) << "a pass ran while the client was waited on";
    const long mark = records.Mark();
    tree.ReleaseClients();
    EXPECT_TRUE(WaitProcessEnd(client, nullptr, 10000));
    EXPECT_FALSE(records.Requests("uploadTavrelLogs", mark, 1, kFewPassesMs).empty()) << "no clean-up after it";
    EXPECT_TRUE(WaitUntil([&] { return tree.AgentLog().find("座位号发生改变：8") != std::string::npos; }, kFewPassesMs));
}

}  // namespace
}  // namespace tavrel::test
