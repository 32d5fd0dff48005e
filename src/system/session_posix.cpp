#include "system/session.h"

// The port's agent runs under systemd with no desktop session of its own, so there is no session user to
// hand a program to: every plan is the caller's start, as the agent run by hand makes it.
unsigned ActiveConsoleSession() { return 0; }

unsigned OwnSession() { return 0; }

SessionFacts ReadSessionFacts() { return SessionFacts{}; }

ProcessHandle RunPlanned(const LaunchPlan& plan, unsigned) {
    if (plan.account == LaunchAccount::None) return ProcessHandle{};
    return RunProgram(plan.file, plan.parameters, plan.directory);
}
