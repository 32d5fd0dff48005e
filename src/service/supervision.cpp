#include "service/supervision.h"

#include "system/agent_exit.h"
#include "system/session.h"

namespace {
const std::chrono::seconds kBackOff[] = {std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4),
                                         std::chrono::seconds(8), std::chrono::seconds(16), std::chrono::seconds(30)};
constexpr int kSteps = sizeof kBackOff / sizeof kBackOff[0];
}  // namespace

AgentEnd AgentEndOf(int exitCode) {
    switch (exitCode) {
        case kAgentExitPassword: return AgentEnd::ExitPassword;
        case kAgentExitInstallerStarted: return AgentEnd::InstallerStarted;
        case kAgentExitAnotherAgent: return AgentEnd::AnotherAgent;
        case kAgentExitCouldNotStart: return AgentEnd::CouldNotStart;
        case kAgentExitSessionEnded: return AgentEnd::SessionEnded;
        default: return AgentEnd::Crashed;
    }
}

const wchar_t* AgentEndText(AgentEnd end) {
    switch (end) {
        case AgentEnd::ExitPassword: return L"exit password or asked to end";
        case AgentEnd::InstallerStarted: return L"installer started";
        case AgentEnd::AnotherAgent: return L"another agent runs";
        case AgentEnd::CouldNotStart: return L"could not start";
        case AgentEnd::SessionEnded: return L"session ended";
        default: return L"crashed or killed";
    }
}

RestartDecision DecideAfterAgentEnd(Supervision& state, int exitCode, std::chrono::seconds ran) {
    RestartDecision decision;
    decision.end = AgentEndOf(exitCode);
    switch (decision.end) {
        case AgentEnd::ExitPassword:
            state.endedByChoice = true;
            state.quickEnds = 0;
            return decision;
        case AgentEnd::SessionEnded:
            state.quickEnds = 0;
            return decision;
        case AgentEnd::InstallerStarted:
            state.quickEnds = 0;
            decision.restart = true;
            decision.delay = kInstallerGrace;
            return decision;
        case AgentEnd::AnotherAgent:
            decision.restart = true;
            decision.delay = kAnotherAgentRetry;
            return decision;
        default:
            break;
    }
    if (ran >= kSteadyRun) state.quickEnds = 0;
    decision.restart = true;
    decision.delay = kBackOff[state.quickEnds < kSteps ? state.quickEnds : kSteps - 1];
    if (state.quickEnds < kSteps) ++state.quickEnds;
    return decision;
}

SessionAction DecideOnSessionChange(Supervision& state, SessionEvent event, bool agentRunning, unsigned agentSession,
                                    unsigned consoleSession) {
    if (event == SessionEvent::Other) return SessionAction::Nothing;
    if (event == SessionEvent::Logon) state.endedByChoice = false;
    // During a switch no session holds the console; the connect that ends the switch names the new one.
    if (consoleSession == kNoSession) return SessionAction::Nothing;
    if (agentRunning) return agentSession == consoleSession ? SessionAction::Nothing : SessionAction::Move;
    return state.endedByChoice ? SessionAction::Nothing : SessionAction::Start;
}
