// What the tray learns of the channel: the states the connection listeners report, as the tray's statuses
// (0 connected, 1 closed or failed, 2 retrying) as the room-server drops, refuses and takes the agent back.
#include "command_fixture.h"

#include <regex>

namespace command_test {
namespace {

TEST_F(CommandChannelTest, DroppedChannelPostsRetryingThenClosedThenConnected) {
    Join();
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("0", 5000));
    ASSERT_EQ(room.DropConnection(Target::Key(mac)), 1);
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("210", 10000)) << PostedStatuses::Text();
    EXPECT_EQ(PostedStatuses::Text(), "0210");
    EXPECT_EQ(log.Count("Socket.IO连接关闭"), 1u);
    EXPECT_EQ(log.Count("Socket.IO连接成功"), 2u);
    EXPECT_EQ(log.Count("Socket.IO连接异常"), 0u);
    // Back in the room, with its handlers.
    ASSERT_TRUE(WaitSocketCount(1, 5000));
    room.Emit(Target::Key(mac), "ping");
    EXPECT_EQ(room.Events("ack", "event", "in", 1, 5000).size(), 1u);
}

TEST_F(CommandChannelTest, FailedAttemptsThatAreRetriedPostOnlyRetrying) {
    Join();
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("0", 5000));
    room.StopSocket();
    // The drop itself, then each refused attempt.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (PostedStatuses::Text().size() < 6 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    room.StartSocket();
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("0", 10000)) << PostedStatuses::Text();
    const std::string statuses = PostedStatuses::Text();
    EXPECT_TRUE(std::regex_match(statuses, std::regex("0212{3,}0"))) << statuses;
    EXPECT_EQ(log.Count("Socket.IO连接关闭"), 1u);
    EXPECT_EQ(log.Count("Socket.IO连接异常"), 0u);
    ASSERT_TRUE(WaitSocketCount(1, 5000));
}

TEST_F(CommandChannelTest, ChannelThatCannotEvenBeMadeReportsFailure) {
    WriteShared(&SharedValues::SocketPort, std::string("99999"));
    ConnectCommandChannel(ServerEndpointOf(SnapshotShared()));
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("1", 5000)) << PostedStatuses::Text();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(PostedStatuses::Text(), "1");
    EXPECT_EQ(log.Count("Socket.IO连接异常"), 1u);
    EXPECT_FALSE(IsCommandChannelOpen());
    // With the right port the next connect joins as usual.
    WriteShared(&SharedValues::SocketPort, std::to_string(room.SocketPort()));
    Join();
    EXPECT_TRUE(PostedStatuses::WaitEndsWith("10", 5000)) << PostedStatuses::Text();
}

TEST_F(CommandChannelTest, ClosingTheChannelPostsClosedAndNeverRetries) {
    Join();
    ASSERT_TRUE(PostedStatuses::WaitEndsWith("0", 5000));
    CloseCommandChannelIfOpen();
    EXPECT_EQ(PostedStatuses::Text(), "01");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(PostedStatuses::Text(), "01");
    EXPECT_FALSE(IsCommandChannelOpen());
    // Nothing more to close.
    CloseCommandChannelIfOpen();
    EXPECT_EQ(PostedStatuses::Text(), "01");
}

}  // namespace
}  // namespace command_test
