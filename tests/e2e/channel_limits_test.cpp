// The real agent against a server that sends one frame far over the channel's limit.
#include <cstdio>

#include "e2e/agent_tree.h"

namespace tavrel::test {
namespace {

class ChannelLimits : public AgentTest {};

// 30 MB of small values took the agent past half a gigabyte when every value became an object; the frame
// is refused unread, the agent stays small and comes back to its room.
TEST_F(ChannelLimits, ThirtyMegabyteFrameLeavesTheAgentSmallAndBackInItsRoom) {
    AgentTree tree(room);
    room.SetAnswer("getStartupInfoAgent", Numbered(3, "R3"));
    ASSERT_TRUE(tree.StartAgent());
    Json::Value first = records.Connections(0, 1, kFewPassesMs, true);
    ASSERT_EQ(first.size(), 1u);
    const std::string conn = Text(first[0]["conn"]);
    ASSERT_TRUE(WaitUntil([&] { return !room.Sockets().empty(); }, 10000)) << "the agent never joined R3";
    const long mark = records.Mark();
    const unsigned long long before = tree.Agent().PeakResidentBytes();

    Json::Value frame(Json::objectValue);
    frame["all"] = true;
    frame["size"] = 30 * 1000 * 1000;
    ASSERT_EQ(room.Post("/socket/large-frame", frame)["sent"].asInt(), 1);
    // Back on a new connection, joined to its room again, after the reconnect delay (up to 7.5 s).
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const Json::Value& s : room.Sockets())
                if (Text(s["conn"]) != conn) return true;
            return false;
        },
        20000))
        << "the agent did not come back to its room";
    Json::Value again = records.Connections(mark);
    ASSERT_GE(again.size(), 1u);
    EXPECT_EQ(QueryValue(again[0]["queryParams"], "room"), "R3");
    EXPECT_TRUE(tree.Agent().Running());
    const unsigned long long peak = tree.Agent().PeakResidentBytes();
    std::printf("peak resident memory of the agent: %.1f MB before a 30 MB frame, %.1f MB with it\n", before / 1e6,
                peak / 1e6);
    if (peak != 0) {
        // Under Wine the figure holds Wine's own libraries (over 64 MB before any frame); what the frame
        // added shows there that it was never held.
        if (!AgentProcess::MemoryIncludesWine()) EXPECT_LT(peak, 64ull * 1000 * 1000);
        EXPECT_LT(peak - before, 16ull * 1000 * 1000);
    }
    ASSERT_TRUE(WaitUntil([&] { return tree.AgentLog().find("bytes refused") != std::string::npos; }, 5000));
}

}  // namespace
}  // namespace tavrel::test
