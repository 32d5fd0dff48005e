#include "agent/window_messages.h"

#include "base/main_thread_post.h"

std::intptr_t TrayStateOf(ChannelState state) {
    switch (state) {
        case ChannelState::Connected: return kTrayConnected;
        case ChannelState::Closed:
        case ChannelState::Failed: return kTrayDisconnected;
        default: return kTrayRetrying;
    }
}

void PostChannelStateToTray(ChannelState state) { PostMainWindowMessage(kMsgSetTrayIcon, 0, TrayStateOf(state)); }
