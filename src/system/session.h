#pragma once
// Starting programs in the console session. The service starts the agent there under its own LocalSystem
// token; the agent started that way starts the exam client in the account of the session's user, so the
// candidate's desktop never holds a LocalSystem program that could open a file dialog. Run by hand, the agent
// starts programs as it always did. Thin like the other helpers: nothing here logs.
#include <string>

#include "system/process.h"

constexpr unsigned kNoSession = 0xFFFFFFFF;  // no session is attached to the console (a switch is under way)

// Whose token a program is started with.
enum class LaunchAccount {
    Caller,               // the caller's own start (the shell's), as a program run by hand starts one
    OwnInSession,         // the caller's own token, duplicated, with the target session set on it
    SessionUser,          // the token of the user logged on in the session
    SessionUserElevated,  // that user's linked full token: an administrator under UAC keeps their rights
    None,                 // nobody to run it as: not started
};

// What a start decides on, read from the running process and its session.
struct SessionFacts {
    bool callerIsSystem = false;       // the caller runs as LocalSystem: the service started it
    bool userTokenAvailable = false;   // the session's user token could be taken (LocalSystem can; others not)
    bool userTokenIsLimited = false;   // a filtered administrator token with a linked elevated one
};

struct LaunchPlan {
    LaunchAccount account = LaunchAccount::None;
    std::wstring file;
    std::wstring parameters;
    std::wstring desktop;       // L"winsta0\\default" for a start in a session, empty for the caller's own
    std::wstring commandLine;   // as CreateProcess takes it: the quoted file, a blank, the parameters
    std::wstring directory;
    bool accountEnvironment = false;  // the account's own environment block, not the caller's inherited one
};

// The quoted file, and the parameters after one blank, as the shell hands them to a program it starts.
std::wstring QuotedCommandLine(const std::wstring& file, const std::wstring& parameters);
// A program the agent starts for the candidate (the exam client): the session user's account when there is
// one to take; none at all for LocalSystem without a user, never LocalSystem on the candidate's desktop.
LaunchPlan PlanUserProgramLaunch(const SessionFacts& facts, const std::wstring& file, const std::wstring& parameters,
                                 const std::wstring& directory);
// The service's start of the agent (or of its own helper) in a session: its own token moved there.
LaunchPlan PlanSessionLaunch(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory);

// Why a start failed, for the caller's log: the step that failed and the system's code.
struct LaunchFailure {
    std::string step;        // the Win32 call, or what was missing; "" when nothing failed
    unsigned long error = 0;
};
constexpr unsigned long kElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED
// "CreateProcessAsUserW error 740 (...)": the step, the code, and what a code the room meets means.
std::string LaunchFailureText(const LaunchFailure& failure);
// A token whose session could not be set still starts the program only where the caller already runs in
// that session (a hand-run agent, Wine): elsewhere it would start in the service's session 0, out of sight.
bool SessionSetAcceptable(bool set, unsigned ownSession, unsigned targetSession);

// The session now at the console, or kNoSession.
unsigned ActiveConsoleSession();
// The session of the running process.
unsigned OwnSession();
SessionFacts ReadSessionFacts();
// Carries out a plan in the given session. No handle when the plan starts nothing or the start failed; then
// *failure (when given) says why.
ProcessHandle RunPlanned(const LaunchPlan& plan, unsigned session, LaunchFailure* failure = nullptr);
// PlanUserProgramLaunch with this process's facts, run in its own session.
ProcessHandle RunProgramAsSessionUser(const std::wstring& file, const std::wstring& parameters,
                                      const std::wstring& directory, LaunchFailure* failure = nullptr);

#ifdef _WIN32
struct HKEY__;
// The session user's own HKEY_CURRENT_USER, for what the agent undoes after the exam client: under the service
// the agent's HKEY_CURRENT_USER is SYSTEM's, not the candidate's. HKEY_CURRENT_USER itself where no user token
// can be taken (the agent run by hand). Closed with CloseSessionUserKey.
HKEY__* OpenSessionUserKey();
void CloseSessionUserKey(HKEY__* key);
#endif
