#include "agent/no_user_gate.h"

#include <atomic>

#include "base/logger.h"

namespace {
std::atomic<SessionFactsReader> g_reader{nullptr};
std::atomic<bool> g_logged{false};
}  // namespace

void SetSessionFactsReader(SessionFactsReader reader) { g_reader = reader; }

bool NobodySignedIn() {
    SessionFactsReader reader = g_reader.load();
    const SessionFacts facts = reader ? reader() : ReadSessionFacts();
    const bool nobody = PlanUserProgramLaunch(facts, L"", L"", L"").account == LaunchAccount::None;
    if (!nobody) {
        g_logged = false;
    } else if (!g_logged.exchange(true)) {
        LogInfo("DoUserServiceHandle") << "无用户登录，不启动考试客户端";
    }
    return nobody;
}
