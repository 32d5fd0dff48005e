#pragma once
// What the window shell does with the shell's answers, decided in plain functions the tests can feed with
// every answer Windows may give; the Win32 files only make the calls and act on the verdict.
#include <string>

// The tray icon at boot: the service starts the agent before explorer, so the first add fails, and an
// explorer restarted later has forgotten the icon. The keeper tries again until the shell holds it.
constexpr unsigned kTrayRetryMs = 2000;
struct TrayKeeper {
    bool added = false;     // the shell holds the icon
    unsigned failures = 0;  // adds failed since the last success
};
struct TrayVerdict {
    bool retry = false;     // try the add again after kTrayRetryMs
    bool log = false;       // write a line now: the first failure, then one a minute, and the success after them
    bool added = false;
    unsigned failures = 0;  // failed adds so far (for a success: those before it)
};
// After an add (NIM_ADD). A failed add the shell may still have carried out (it answers late at boot) is
// checked with a modify: modified true means the icon is there after all.
TrayVerdict AfterTrayAdd(TrayKeeper* keeper, bool added, bool modified);
// The shell announced a new taskbar (explorer started or restarted): whatever it held is gone.
void TaskbarRecreated(TrayKeeper* keeper);
// The log line of that verdict, with the add's error code ("" when nothing is to be logged).
std::string TrayLogLine(const TrayVerdict& verdict, unsigned long error);
