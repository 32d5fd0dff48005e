#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "system/session.h"

namespace {

bool TokenIsLocalSystem(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
    return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, WinLocalSystemSid) != FALSE;
}

bool TokenIsLimited(HANDLE token) {
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    return GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) &&
           type == TokenElevationTypeLimited;
}

// The primary token of the user logged on in the session; only a caller with the TCB privilege
// (LocalSystem) gets one.
HANDLE SessionUserToken(unsigned session) {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) return nullptr;
    return token;
}

// The full token linked to a filtered one. Taken by LocalSystem it is a primary token a process can start with.
HANDLE LinkedToken(HANDLE token) {
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) return nullptr;
    return linked.LinkedToken;
}

// Notes the failed step with the last error; returns null for the caller to pass on.
HANDLE Failed(LaunchFailure* failure, const char* step) {
    failure->step = step;
    failure->error = GetLastError();
    return nullptr;
}

HANDLE OwnTokenInSession(unsigned session, LaunchFailure* failure) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return Failed(failure, "OpenProcessToken");
    HANDLE copy = nullptr;
    BOOL made = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityIdentification, TokenPrimary, &copy);
    if (!made) Failed(failure, "DuplicateTokenEx");
    CloseHandle(own);
    if (!made) return nullptr;
    DWORD id = session;
    // Without the session set the program would run in the service's session 0, where nobody sees it, while
    // the log names session N. The setting fails where the caller already shares the console's session (a
    // hand-run test, Wine), and there it does no harm.
    if (!SetTokenInformation(copy, TokenSessionId, &id, sizeof id)) {
        Failed(failure, "SetTokenInformation(TokenSessionId)");
        if (!SessionSetAcceptable(false, OwnSession(), session)) {
            CloseHandle(copy);
            return nullptr;
        }
        *failure = LaunchFailure{};
    }
    return copy;
}

HANDLE PlannedToken(LaunchAccount account, unsigned session, LaunchFailure* failure) {
    switch (account) {
        case LaunchAccount::OwnInSession:
            return OwnTokenInSession(session, failure);
        case LaunchAccount::SessionUser: {
            HANDLE user = SessionUserToken(session);
            return user ? user : Failed(failure, "WTSQueryUserToken");
        }
        case LaunchAccount::SessionUserElevated: {
            HANDLE user = SessionUserToken(session);
            if (!user) return Failed(failure, "WTSQueryUserToken");
            HANDLE full = LinkedToken(user);
            if (!full) Failed(failure, "GetTokenInformation(TokenLinkedToken)");
            CloseHandle(user);
            return full;
        }
        default:
            return nullptr;
    }
}

}  // namespace

unsigned ActiveConsoleSession() { return WTSGetActiveConsoleSessionId(); }

unsigned OwnSession() {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return kNoSession;
    return session;
}

SessionFacts ReadSessionFacts() {
    SessionFacts facts;
    HANDLE own = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        facts.callerIsSystem = TokenIsLocalSystem(own);
        CloseHandle(own);
    }
    if (HANDLE user = SessionUserToken(OwnSession())) {
        facts.userTokenAvailable = true;
        facts.userTokenIsLimited = TokenIsLimited(user);
        CloseHandle(user);
    }
    return facts;
}

ProcessHandle RunPlanned(const LaunchPlan& plan, unsigned session, LaunchFailure* failure) {
    LaunchFailure ignored;
    if (!failure) failure = &ignored;
    *failure = LaunchFailure{};
    if (plan.account == LaunchAccount::None) {
        failure->step = "no user logged on in the session";
        return ProcessHandle{};
    }
    if (plan.account == LaunchAccount::Caller) {
        ProcessHandle started = RunProgram(plan.file, plan.parameters, plan.directory);
        if (!started) Failed(failure, "ShellExecuteExW");
        return started;
    }
    if (session == kNoSession) {
        failure->step = "no session at the console";
        return ProcessHandle{};
    }
    HANDLE token = PlannedToken(plan.account, session, failure);
    if (!token) return ProcessHandle{};
    void* environment = nullptr;
    if (plan.accountEnvironment && !CreateEnvironmentBlock(&environment, token, FALSE)) environment = nullptr;

    std::wstring desktop = plan.desktop;
    std::wstring commandLine = plan.commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop.empty() ? nullptr : &desktop[0];
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION started{};
    BOOL ok = CreateProcessAsUserW(token, plan.file.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                   CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, environment,
                                   plan.directory.empty() ? nullptr : plan.directory.c_str(), &startup, &started);
    // 740 for an exam client whose manifest asks for administrator rights: the user's token is filtered.
    if (!ok) Failed(failure, "CreateProcessAsUserW");
    if (environment) DestroyEnvironmentBlock(environment);
    CloseHandle(token);
    if (!ok) return ProcessHandle{};
    CloseHandle(started.hThread);
    return started.hProcess;
}

HKEY OpenSessionUserKey() {
    HANDLE user = SessionUserToken(OwnSession());
    if (!user) return HKEY_CURRENT_USER;
    HKEY key = nullptr;
    // The user's hive as the user sees it; the thread is itself again at once.
    if (ImpersonateLoggedOnUser(user)) {
        if (RegOpenCurrentUser(KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) key = nullptr;
        RevertToSelf();
    }
    CloseHandle(user);
    return key ? key : HKEY_CURRENT_USER;
}

void CloseSessionUserKey(HKEY key) {
    if (key && key != HKEY_CURRENT_USER) RegCloseKey(key);
}
