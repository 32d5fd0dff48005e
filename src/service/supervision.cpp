#include "service/supervision.h"

#include "system/session.h"

namespace {
const std::chrono::seconds kBackOff[] = {std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4),
                                         std::chrono::seconds(8), std::chrono::seconds(16), std::chrono::seconds(30)};
constexpr int kSteps = sizeof kBackOff / sizeof kBackOff[0];
}  // namespace

RestartDecision DecideAfterAgentEnd(Supervision& state, int exitCode, std::chrono::seconds ran) {
    RestartDecision decision;
    if (exitCode == 0) {
        state.endedByChoice = true;
        state.quickEnds = 0;
        return decision;
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
