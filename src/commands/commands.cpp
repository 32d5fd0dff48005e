#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "base/shared_values.h"
#include "base/exam_client.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "commands/command_channel.h"
#include "commands/command_worker.h"
#include "server/server_api.h"
#include "system/desktop.h"
#include "system/file.h"
#include "system/power.h"
#include "system/process.h"
#include "system/text.h"

namespace {

// The server's texts become part of a file path: none of them may step out of the answer folder.
bool IsSafePathPiece(const std::string& piece) {
    if (piece.find("..") != std::string::npos) return false;
    for (char c : piece)
        if (c == '\\' || c == '/' || c == ':' || c == '\0') return false;
    // "COM1.oef" would be a serial port, whose read can hold the thread for ever.
    return !IsWindowsDeviceName(AnsiToWide(piece));
}

// A member the command needs, present as a text; numbers or objects in its place read as nothing.
bool TextMember(const sio::message::ptr& object, const char* name, std::string* text) {
    sio::message::ptr member = sio::MemberOf(object, name);
    if (!member || member->get_flag() != sio::message::flag::text) return false;
    *text = member->get_string();
    return true;
}

void EmitOnRoot(const char* event) {
    if (auto client = CommandChannelClient()) client->socket("")->emit(event);
}

void OnNewMachineNumber(const sio::message::ptr& data) {
    sio::message::ptr member = sio::MemberOf(data, "data");
    if (!member) {
        LogInfo("OnSocketBroadcastEvent") << "2003 without data: ignored";
        return;
    }
    EmitOnRoot("ok");
    // A number that is not a text reads as "", as every reader of the command's data does.
    std::string ecpId = sio::TextOf(member);
    UpdateShared([&](SharedValues& v) {
        if (v.CurrentEcpId != ecpId) v.CurrentEcpId = ecpId;
    });
    if (ExamClientRuns()) CloseExamClientWindow();
}

void OnUploadAnswer(const sio::message::ptr& data) {
    sio::message::ptr body = sio::MemberOf(data, "data");
    if (!body || body->get_flag() != sio::message::flag::object) {
        LogInfo("OnSocketBroadcastEvent") << "2002 without its data object: ignored";
        return;
    }
    std::string examineeId, taskId, batchNum;
    if (!TextMember(body, "examineeId", &examineeId) || !TextMember(body, "taskId", &taskId) ||
        !TextMember(body, "batchNum", &batchNum)) {
        LogInfo("OnSocketBroadcastEvent") << "2002 without examineeId, taskId and batchNum as texts: ignored";
        return;
    }
    std::string path;
    bool safe = BuildAnswerFilePath(ReadShared(&SharedValues::ExeDir), taskId, batchNum, examineeId, &path);
    LogInfo("OnSocketBroadcastEvent") << examineeId << taskId << batchNum << path;
    if (!safe) {
        LogInfo("OnSocketBroadcastEvent") << "2002 refused: the answer path would leave the answer folder or name a device";
        return;
    }
    // The same file asked for again while its upload waits is that upload; while it runs, one more follows.
    bool queued = PostCommandWork([taskId, examineeId, batchNum, path](const std::atomic<bool>& terminated) {
        UploadExamAnswer(ServerEndpointOf(SnapshotShared()), taskId, examineeId, batchNum, path, &terminated);
    }, path);
    if (!queued)
        LogInfo("OnSocketBroadcastEvent") << "2002 refused: " << kMaxWaitingCommandJobs << " commands are waiting already";
}

bool StateReportDue(const SharedValues& v) { return v.CurrentPhase != 2 && !v.CurrentEcpId.empty(); }

// A room's PCs all hear the server's "ping" at once. Their acks go at once; their reports wait between 0.5 and
// 2.5 s, at random, so that 300 process-list reads and 300 requests to the one server do not fall into the same
// 100 ms as the room's acks (which the server times) but arrive spread over two seconds. The wait is a timer
// of the channel's own thread: not even the reports' thread is woken while the room answers.
constexpr int kReportDelayMinMs = 500;
constexpr int kReportSpreadMs = 2000;

int ReportDelayMs() {
    static std::mutex lock;
    static std::minstd_rand random(std::random_device{}());
    std::lock_guard<std::mutex> hold(lock);
    return kReportDelayMinMs + static_cast<int>(random() % kReportSpreadMs);
}

void SendStateReport(const std::atomic<bool>& terminated) {
    SharedValues v = SnapshotShared();
    if (StateReportDue(v) && IsProgramRunning(ExamClientImage(v)))
        SendEcpState(ServerEndpointOf(v), v.LocalMac, v.CurrentEcpId, v.LocalIp, v.LocalVersion, v.CurrentRoomCode, 1,
                     &terminated);
}

// Windows may refuse (no privilege, a policy); the invigilator's technician finds out why here.
void LogPowerRefusal(const char* what, const PowerOutcome& outcome) {
    std::string refusal = PowerOutcomeText(outcome);
    if (!refusal.empty()) LogInfo("OnSocketBroadcastEvent") << what << refusal;
}

void OnCloseExamClient(const sio::message::ptr&) {
    LogInfo("OnSocketBroadcastEvent") << "=======接收服务端消息并关闭考试机======";
    CloseExamClientWindow();
}

struct BroadcastCommand {
    CommandCode code;
    void (*run)(const sio::message::ptr& data);
};

// Every other code does nothing beyond the log line.
const BroadcastCommand kBroadcastCommands[] = {
    {CommandCode::NewMachineNumber, OnNewMachineNumber},
    {CommandCode::UploadAnswer, OnUploadAnswer},
    {CommandCode::PowerOff, [](const sio::message::ptr&) { LogPowerRefusal("关机失败：", PowerOff()); }},
    {CommandCode::Restart, [](const sio::message::ptr&) { LogPowerRefusal("重启失败：", Reboot()); }},
    {CommandCode::CloseExamClient, OnCloseExamClient},
    {CommandCode::DisableWindowsKeys, [](const sio::message::ptr&) { DisableWindowsKeys(); }},
    {CommandCode::EnableWindowsKeys, [](const sio::message::ptr&) { EnableWindowsKeys(); }},
};

// Compared at full width: a huge number must not pass for a command by losing its high bits.
const BroadcastCommand* CommandOf(std::int64_t code) {
    for (const BroadcastCommand& command : kBroadcastCommands)
        if (static_cast<std::int64_t>(command.code) == code) return &command;
    return nullptr;
}

}  // namespace

bool FindCommand(std::int64_t code, CommandCode* command) {
    const BroadcastCommand* found = CommandOf(code);
    if (found) *command = found->code;
    return found != nullptr;
}

bool BuildAnswerFilePath(const std::string& exeDir, const std::string& taskId, const std::string& batchNum,
                         const std::string& examineeId, std::string* path) {
    std::string joined = AnswerFilesFolder(exeDir) + taskId + PathSeparator() + batchNum +
                         PathSeparator() + examineeId + NativePath("\\answer\\") + examineeId + ".oef";
    bool safe = IsSafePathPiece(taskId) && IsSafePathPiece(batchNum) && IsSafePathPiece(examineeId);
    *path = joined;
    return safe;
}

void OnSocketBroadcastEvent(const std::string&, const sio::message::ptr& data, bool, sio::message::list&) {
    // A member "code" of another type than integer reads as 0 and so matches no command.
    sio::message::ptr codeMember = sio::MemberOf(data, "code");
    std::int64_t code = (codeMember && codeMember->get_flag() == sio::message::flag::integer)
                            ? codeMember->get_int()
                            : 0;
    LogInfo("OnSocketBroadcastEvent") << "接收到考试服务指令，code：[" << code << "]";
    if (const BroadcastCommand* command = CommandOf(code)) command->run(data);
}

void OnSocketPingEvent(const std::string&, const sio::message::ptr&, bool, sio::message::list&) {
    // The server times the room by this "ack"; its write runs once this handler returns.
    EmitOnRoot("ack");
    if (!StateReportDue(SnapshotShared())) return;
    // One report waiting is enough: it reads the state when it runs, so a second would say the same.
    // Its own lane: the server reads a PC whose report waits behind uploads as one that stopped answering.
    // It is queued asleep and the channel's timer wakes the lane at its moment. A close of the channel drops
    // that timer; the report then waits for the next ping's wake, and is not lost.
    auto client = CommandChannelClient();
    const int delayMs = ReportDelayMs();
    if (!PostCommandWork(SendStateReport, "state report", CommandLane::Reports, delayMs, !client))
        LogInfo("OnSocketPingEvent") << "state report refused: " << kMaxWaitingCommandJobs << " reports are waiting already";
    if (client) client->later(static_cast<unsigned>(delayMs), [] { WakeCommandLane(CommandLane::Reports); });
}
