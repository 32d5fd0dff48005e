#pragma once
// How the command channel stands, as its connection listeners learn it. Whoever shows it (the agent's tray)
// installs a listener; the channel itself knows nothing of windows.

enum class ChannelState {
    Connected,  // the WebSocket is open
    Closed,     // an open connection ended, by either side
    Failed,     // no connection could even be made from the URL
    Retrying,   // a reconnection has been scheduled
};

// Called on the channel's network thread: it must not block.
using ChannelStateListener = void (*)(ChannelState state);
