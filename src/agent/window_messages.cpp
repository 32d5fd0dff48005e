#include "agent/window_messages.h"

#include "base/main_thread_post.h"

void PostChannelStateToTray(ChannelState state) {
    std::intptr_t tray = kTrayRetrying;
    if (state == ChannelState::Connected) tray = kTrayConnected;
    if (state == ChannelState::Closed || state == ChannelState::Failed) tray = kTrayDisconnected;
    PostMainWindowMessage(kMsgSetTrayIcon, 0, tray);
}
