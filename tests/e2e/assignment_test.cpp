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

// A new number while an exam client runs that this agent did not start: that client is ended.
TEST_F(Assignment, NewNumberEndsAnExamClientTheAgentDidNotStart) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(7, "R7"));
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Connections(0, 1, kFewPassesMs, true).empty());

    tree.SetClientStay(120000);
    ProcessHandle client = tree.StartInTree("Tavrel.exe", "--started-by-test");
    ASSERT_TRUE(client);
    ASSERT_TRUE(WaitUntil([] { return CountProcesses("Tavrel.exe") == 2; }, 5000));
    // The same number again leaves it alone.
    const long mark = records.Mark();
    records.Requests("getStartupInfoAgent", mark, 2, 3 * kPassMs + 2000);
    EXPECT_FALSE(WaitProcessEnd(client, nullptr, 0));

    room.SetAnswer("getStartupInfoAgent", Numbered(8, "R7"));
    EXPECT_TRUE(WaitProcessEnd(client, nullptr, kFewPassesMs)) << "the exam client survived the new number";
    EXPECT_TRUE(WaitUntil([] { return CountProcesses("Tavrel.exe") == 0; }, 2000));
    std::set<long> ended;
    tree.Calls(&ended);
    EXPECT_TRUE(ended.empty()) << "the exam client ended by itself rather than being ended";
    EXPECT_NE(tree.AgentLog().find("座位号发生改变：8"), std::string::npos);
}

}  // namespace
}  // namespace tavrel::test
