#include "system/session.h"

namespace {
const wchar_t kInteractiveDesktop[] = L"winsta0\\default";
}

std::wstring QuotedCommandLine(const std::wstring& file, const std::wstring& parameters) {
    std::wstring line = L"\"" + file + L"\"";
    if (!parameters.empty()) line += L" " + parameters;
    return line;
}

LaunchPlan PlanUserProgramLaunch(const SessionFacts& facts, const std::wstring& file, const std::wstring& parameters,
                                 const std::wstring& directory) {
    LaunchPlan plan;
    plan.file = file;
    plan.parameters = parameters;
    plan.directory = directory;
    plan.commandLine = QuotedCommandLine(file, parameters);
    if (facts.userTokenAvailable) {
        plan.account = facts.userTokenIsLimited ? LaunchAccount::SessionUserElevated : LaunchAccount::SessionUser;
        plan.desktop = kInteractiveDesktop;
        plan.accountEnvironment = true;
    } else {
        // LocalSystem with nobody logged on (the logon screen): whatever it started would be SYSTEM's.
        plan.account = facts.callerIsSystem ? LaunchAccount::None : LaunchAccount::Caller;
    }
    return plan;
}

LaunchPlan PlanSessionLaunch(const std::wstring& file, const std::wstring& parameters, const std::wstring& directory) {
    LaunchPlan plan;
    plan.account = LaunchAccount::OwnInSession;
    plan.file = file;
    plan.parameters = parameters;
    plan.directory = directory;
    plan.commandLine = QuotedCommandLine(file, parameters);
    plan.desktop = kInteractiveDesktop;
    plan.accountEnvironment = true;
    return plan;
}

ProcessHandle RunProgramAsSessionUser(const std::wstring& file, const std::wstring& parameters,
                                      const std::wstring& directory, LaunchFailure* failure) {
    return RunPlanned(PlanUserProgramLaunch(ReadSessionFacts(), file, parameters, directory), OwnSession(), failure);
}

std::string LaunchFailureText(const LaunchFailure& failure) {
    if (failure.step.empty()) return std::string();
    if (failure.error == 0) return failure.step;
    std::string text = failure.step + " error " + std::to_string(failure.error);
    // The codes a room meets, said in words for the technician who reads the log.
    switch (failure.error) {
        case kElevationRequired:
            return text + " (the program asks for administrator rights, which the candidate's account lacks)";
        case 2:
        case 3:
            return text + " (the program file is missing)";
        case 5:
            return text + " (access denied)";
        case 1314:
            return text + " (a privilege the caller does not hold)";
        default:
            return text;
    }
}

bool SessionSetAcceptable(bool set, unsigned ownSession, unsigned targetSession) {
    return set || (ownSession != kNoSession && ownSession == targetSession);
}
