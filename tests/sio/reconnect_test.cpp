#include <gtest/gtest.h>

#include "sio/reconnect.h"

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

// The edges of the draw give the edges of the spread; the schedule's value stays its centre.
TEST(ReconnectDelay, SpreadStaysWithinHalfOfTheScheduledValue) {
    struct Row {
        unsigned scheduled;
        double spread, draw;
        unsigned expected;
    };
    const Row rows[] = {
        {5000, 0.5, 0.0, 2500},    {5000, 0.5, 0.5, 5000},     {5000, 0.5, 0.999999, 7499},
        {25000, 0.5, 0.0, 12500},  {25000, 0.5, 0.999999, 37499}, {7500, 0.0, 0.9, 7500},
        {5000, 3.0, 0.0, 0},       {5000, -1.0, 0.0, 5000},    {5000, 0.5, 2.0, 7500},
        {0xFFFFFFFFu, 0.5, 0.999999, 0xFFFFFFFFu},
    };
    for (const Row& r : rows)
        EXPECT_EQ(sio::SpreadDelayMs(r.scheduled, r.spread, r.draw), r.expected)
            << r.scheduled << " " << r.spread << " " << r.draw;
}

}  // namespace
