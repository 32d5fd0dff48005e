#include <gtest/gtest.h>

#include "channel/sio_reconnect.h"

namespace {

TEST(ReconnectDelay, DefaultScheduleExactly) {
    const unsigned expected[] = {5000, 7500, 11250, 16875, 25000, 25000, 25000};
    for (unsigned made = 0; made < 7; ++made) EXPECT_EQ(sio::ReconnectDelayMs(5000, 25000, made), expected[made]) << made;
    EXPECT_EQ(sio::ReconnectDelayMs(5000, 25000, 1000), 25000u);
    EXPECT_EQ(sio::ReconnectDelayMs(5000, 25000, 0xFFFFFFFFu), 25000u);
}

TEST(ReconnectDelay, SettableBaseAndCapTruncate) {
    EXPECT_EQ(sio::ReconnectDelayMs(100, 1000, 0), 100u);
    EXPECT_EQ(sio::ReconnectDelayMs(100, 1000, 1), 150u);
    EXPECT_EQ(sio::ReconnectDelayMs(100, 1000, 2), 225u);
    EXPECT_EQ(sio::ReconnectDelayMs(100, 1000, 3), 337u);  // 337.5 truncated
    EXPECT_EQ(sio::ReconnectDelayMs(100, 1000, 6), 1000u);
    // The growth stops at 1.5^32 however many attempts were made; an enormous cap shows it.
    EXPECT_EQ(sio::ReconnectDelayMs(1, 0xFFFFFFFFu, 40), sio::ReconnectDelayMs(1, 0xFFFFFFFFu, 32));
    EXPECT_EQ(sio::ReconnectDelayMs(0, 25000, 5), 0u);
}

}  // namespace
