#pragma once
// Start-up and shutdown of the agent's process-wide state.

// Paths, own version, machine identity (waits for it), "shell.ini", the log with its start banner, and
// the channel's connection listeners. Never fails.
void OnInitialize();
// Starts the service thread (DoUserServiceHandle).
void StartServiceThread();
// Stops and joins the service thread, closes the channel and writes the end banner.
void OnUninitialize();
