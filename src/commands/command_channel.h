#pragma once
// The agent's side of the command channel: the one Socket.IO client of the process, the connection to the
// room's channel, the connection listeners that report how the channel stands, and the handlers of the
// server's "broadcast" and "ping" events.
#include <cstdint>
#include <memory>
#include <string>

#include "base/server_endpoint.h"
#include "commands/channel_state.h"
#include "sio/client.h"
#include "sio/message.h"

// The process's client (made on first use; empty after DestroyCommandChannel).
std::shared_ptr<sio::client> CommandChannelClient();
// Closes the client (status 1000, "End by user"), waits for its network thread and drops it.
void DestroyCommandChannel();

// Installs the client's listeners (connection open, close, fail and reconnect; namespace open and close; the
// client's notices); done once at start-up, before any connect. onState hears every change of state.
void InstallChannelListeners(ChannelStateListener onState);
// Joins the channel of CurrentRoomCode at server with this machine's key; nothing changes while it is open or
// opening.
void ConnectCommandChannel(const ServerEndpoint& server);
bool IsCommandChannelOpen();
// True while the channel is anything but closed with nothing scheduled: open, opening, or waiting to reconnect.
bool IsCommandChannelActive();
// Closes the channel if it is open.
void CloseCommandChannelIfOpen();
// Ends the channel in every state but closed, a reconnection that is only waiting for its timer included:
// a machine that leaves its room must not come back to it by itself.
void LeaveCommandChannel();

void OnSocketConnectedEvent();
void OnSocketCloseEvent(sio::close_reason reason);
void OnSocketFailEvent();
void OnSocketReconnectEvent(unsigned attemptsMade, unsigned delayMs);

// The codes of the server's "broadcast" commands.
enum class CommandCode : std::int64_t {
    CloseExamClient = 1002,
    PowerOff = 1003,
    Restart = 1004,
    DisableWindowsKeys = 1005,
    EnableWindowsKeys = 1006,
    UploadAnswer = 2002,
    NewMachineNumber = 2003,
};
// False for a code the agent does not know: such a command does nothing beyond its log line.
bool FindCommand(std::int64_t code, CommandCode* command);

void OnSocketBroadcastEvent(const std::string& name, const sio::message::ptr& data, bool needAck,
                            sio::message::list& ackMessage);
void OnSocketPingEvent(const std::string& name, const sio::message::ptr& data, bool needAck,
                       sio::message::list& ackMessage);

// The answer file of command 2002 under "..\ExamData\nrvq\". False when one of the three texts could lead
// out of that folder or names a Windows device; the joined path is given either way, for the log line.
bool BuildAnswerFilePath(const std::string& exeDir, const std::string& taskId, const std::string& batchNum,
                         const std::string& examineeId, std::string* path);
