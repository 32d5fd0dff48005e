#include <cerrno>

#include "system/session.h"

// The port's agent runs under systemd with no desktop session of its own, so there is no session user to
// hand a program to: every plan is the caller's start, as the agent run by hand makes it.
unsigned ActiveConsoleSession() { return 0; }

unsigned OwnSession() { return 0; }

SessionFacts ReadSessionFacts() { return SessionFacts{}; }

ProcessHandle RunPlanned(const LaunchPlan& plan, unsigned, LaunchFailure* failure) {
    if (failure) *failure = LaunchFailure{};
    if (plan.account == LaunchAccount::None) {
        if (failure) failure->step = "no user logged on in the session";
        return ProcessHandle{};
    }
    ProcessHandle started = RunProgram(plan.file, plan.parameters, plan.directory);
    if (!started && failure) *failure = LaunchFailure{"posix_spawn", static_cast<unsigned long>(errno)};
    return started;
}
