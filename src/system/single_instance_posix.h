#pragma once
// The Linux lock file behind ClaimSingleInstance. An abstract socket, as before, could be bound first by any
// local user, and the agent then left at once with exit code 0, which its service does not restart.
#include <string>

// Root: /run/TavrelAgentMK.lock (only root may create files in /run). Another user: the same name in
// XDG_RUNTIME_DIR, or "/tmp/TavrelAgentMK.<uid>.lock".
std::string SingleInstanceLockPath();
// Takes the lock at that path: false only when another holder has it. A link, or a file of another user or
// one that others may open, is never used (the agent then runs: better two agents than none).
bool ClaimSingleInstanceAt(const std::string& path);
