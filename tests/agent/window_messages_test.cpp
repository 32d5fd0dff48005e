// What the tray shows of the channel's states.
#include <gtest/gtest.h>

#include "agent/window_messages.h"

namespace {

TEST(TrayState, ClosedAndFailedLookTheSameAndARetryKeepsThePicture) {
    const struct {
        ChannelState state;
        std::intptr_t tray;
    } rows[] = {
        {ChannelState::Connected, 0},
        {ChannelState::Closed, 1},
        {ChannelState::Failed, 1},
        {ChannelState::Retrying, 2},
    };
    for (const auto& row : rows) EXPECT_EQ(TrayStateOf(row.state), row.tray) << static_cast<int>(row.state);
}

}  // namespace
