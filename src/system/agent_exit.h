#pragma once
// Why the agent ended, as its exit code says it to whoever watches it (the Windows service, systemd). Every
// end of the process has its own code, because the watcher decides by it whether and when to start it again.
#include <atomic>

enum AgentExitCode : int {
    kAgentExitPassword = 0,          // the exit password: the one end the PC's invigilator chose
    kAgentExitInstallerStarted = 10, // an update's installer runs and replaces the agent
    kAgentExitAnotherAgent = 11,     // another agent holds the PC already
    kAgentExitCouldNotStart = 12,    // the main window could not be made
    kAgentExitSessionEnded = 13,     // the session it ran in ends (logoff, shutdown)
};

// The code the agent ends with once its message loop is left; set by whoever asks it to end.
inline std::atomic<int>& AgentExitChosen() {
    static std::atomic<int> code{kAgentExitPassword};
    return code;
}
