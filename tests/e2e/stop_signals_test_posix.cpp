// Linux only: how the system stops the agent (systemctl stop sends SIGTERM, a terminal SIGINT), also while it
// still waits for its identity, and what a stop leaves on its standard streams.
#include <signal.h>

#include <chrono>

#include "e2e/agent_tree.h"

namespace tavrel::test {
namespace {

class StopSignals : public AgentTest {};

TEST_F(StopSignals, WhileWaitingForItsIdentityTheAgentEndsAtOnce) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber == SIGTERM ? "SIGTERM" : "SIGINT");
        AgentTree tree(room);
        ASSERT_TRUE(tree.StartAgent(true));
        // Long enough to be inside the wait: the first identity pass fails at once in an empty network.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(tree.Agent().Running()) << tree.AgentOutput();
        EXPECT_TRUE(records.Requests("getStartupInfoAgent").empty()) << "an agent without identity asked the server";

        const auto asked = std::chrono::steady_clock::now();
        ASSERT_EQ(kill(static_cast<pid_t>(tree.Agent().Id()), signalNumber), 0);
        int exitCode = -1;
        ASSERT_TRUE(tree.Agent().WaitExit(5000, &exitCode)) << "the signal was not honoured";
        const auto tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
        std::cout << "[ figures  ] stop signal during the identity wait to process end: " << tookMs << " ms\n";
        EXPECT_EQ(exitCode, 0);
        EXPECT_TRUE(tree.AgentLog().empty()) << "the log opens only once the identity is known";
    }
}

// A machine the server does not know never opens the channel; its stop has nothing to report.
TEST_F(StopSignals, AStopWithoutAChannelWritesNoError) {
    AgentTree tree(room);
    ASSERT_TRUE(tree.StartAgent());
    ASSERT_FALSE(records.Requests("registeTavrel", 0, 1, kFewPassesMs).empty());
    ASSERT_TRUE(records.Connections().empty());
    ASSERT_TRUE(tree.Agent().RequestStop());
    int exitCode = -1;
    ASSERT_TRUE(tree.Agent().WaitExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(tree.AgentLog().find("TavrelAgent Application End"), std::string::npos);
    EXPECT_EQ(tree.AgentOutput().find("No active session"), std::string::npos) << tree.AgentOutput();
}

}  // namespace
}  // namespace tavrel::test
