#include "agent/exam_takeover.h"

#include <atomic>
#include <vector>

#include "base/exam_client.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "base/shared_values.h"
#include "server/server_api.h"
#include "system/desktop.h"
#include "system/file.h"
#include "system/process.h"
#include "system/text.h"

namespace {
// Only the service thread looks, waits and cleans up.
std::vector<ProcessHandle> g_held;
std::atomic<bool> g_numberTaken{false};

bool HeldStillRuns() {
    for (ProcessHandle& handle : g_held)
        if (!WaitProcessEnd(handle, nullptr, 0)) return true;
    return false;
}

void ReleaseHeld() {
    for (ProcessHandle& handle : g_held) CloseProcessHandle(handle);
    g_held.clear();
}
}  // namespace

void CleanUpAfterExamClient(const ServerEndpoint& server) {
    // The keyboard hook belongs to the exam client; it is never started here but always cleaned up.
    KillProcessesByName(L"keyboardHook.exe");
    RestoreDesktop();
    SharedValues after = SnapshotShared();
    UploadExamLog(server, after.LocalMac, after.CurrentEcpId, ExamClientLogPath(after.ExeDir));
}

void LookForRunningExamClient() {
    if (!g_held.empty() || !ExamClientRuns()) return;
    g_held = OpenProgramProcesses(ExamClientImage(SnapshotShared()));
    if (g_held.empty()) return;
    LogInfo("DoUserServiceHandle") << "考试客户端已在运行，接管并等待其结束";
}

bool ExamClientHeld() { return !g_held.empty() && HeldStillRuns(); }

bool SettleHeldExamClient(const ServerEndpoint& server, bool wait) {
    if (g_held.empty()) return false;
    if (wait) {
        for (ProcessHandle& handle : g_held) WaitProcessEnd(handle);
    } else if (HeldStillRuns()) {
        return false;
    }
    ReleaseHeld();
    LogInfo("DoUserServiceHandle") << "接管的考试客户端已结束";
    CleanUpAfterExamClient(server);
    return true;
}

bool TakeFirstNumber(const std::string& ecpId) {
    if (g_numberTaken.exchange(true)) return false;
    WriteShared(&SharedValues::CurrentEcpId, ecpId);
    LogInfo("DoUserServiceHandle") << "座位号：" << ecpId;
    return true;
}
