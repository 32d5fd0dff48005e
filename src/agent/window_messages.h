#pragma once
// The agent's private window messages (WM_USER + 100 to 102), and how the tray shows the command channel.
#include <cstdint>

#include "commands/channel_state.h"

constexpr unsigned kMsgTrayNotify = 0x0464;       // WM_TRAYNOTIFY: the tray icon's callback
constexpr unsigned kMsgShowBlankDialog = 0x0465;  // WM_SHOWBLANKDIALOG: only ever from another program
constexpr unsigned kMsgSetTrayIcon = 0x0466;      // WM_SETTRAYICON: lParam one of the three below

constexpr std::intptr_t kTrayConnected = 0;
constexpr std::intptr_t kTrayDisconnected = 1;
constexpr std::intptr_t kTrayRetrying = 2;  // keeps the picture it has

// Closed and failed look the same in the tray.
std::intptr_t TrayStateOf(ChannelState state);
// The channel's state listener: posts kMsgSetTrayIcon to the main window, whose thread switches the picture.
void PostChannelStateToTray(ChannelState state);
