#pragma once
// TavrelService: the LocalSystem service that starts TavrelAgent.exe in the console session and watches it.
#include <windows.h>

#include <atomic>
#include <string>

constexpr wchar_t kServiceName[] = L"TavrelService";
// The service's own helper, started by it in the agent's session: ends the agent there in order.
constexpr wchar_t kEndAgentSwitch[] = L"/EndAgent";

// Runs until `stop` is set. Session changes reach it through QueueSessionChange. With `leaveAgent` set when
// it returns (the machine shuts down) the agent is left to the system's own end.
void RunServiceSupervisor(HANDLE stop, const std::atomic<bool>& leaveAgent);
// Called by the control handler for SERVICE_CONTROL_SESSIONCHANGE.
void QueueSessionChange(DWORD eventType, DWORD session);
// Tells the service control manager that a stop is still under way (one more check point).
void ReportStopProgress();

// Posts WM_DESTROY to the agent's main window on this desktop, the way the exit password ends it; 0 when a
// window was there.
int EndAgentWindow();

// The folder of the running executable, with its trailing backslash.
std::wstring OwnFolder();

// The service's dated log beside the agent's: "<root>\log\TavrelService.YYYYMMDD.log", one line per call,
// with the agent's "[h:m:s]" prefix.
void ServiceLog(const std::wstring& text);
