#pragma once
// The real agent as the end-to-end tests run it: a process of its own, started in its installation folder,
// stopped the way the system stops it (SIGTERM on Linux, WM_DESTROY to its hidden window on Windows), and
// never allowed to power off or restart the machine.
#include <string>

namespace tavrel::test {

class AgentProcess {
public:
    AgentProcess() = default;
    ~AgentProcess();  // stops it if it still runs, and kills it if it will not stop
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Starts `exePath` with the working folder `folder`. On Linux the child loses CAP_SYS_BOOT before the
    // agent runs, and its standard output and error go to `outputPath` (appended) when one is given.
    bool Start(const std::string& exePath, const std::string& folder, const std::string& outputPath = "");
    // Linux: the next Start puts the agent in a network namespace of its own with nothing but a loopback
    // that is down, where it never learns its identity. Not available on Windows (Start then fails).
    void WithoutNetwork() { m_withoutNetwork = true; }
    // True when it ended within timeoutMs; its exit code then goes to *exitCode.
    bool WaitExit(unsigned timeoutMs, int* exitCode = nullptr);
    bool Running();
    // The most memory it has held resident so far, in bytes; 0 when the system does not say.
    unsigned long long PeakResidentBytes();
    // The bytes it has read so far through its reads of files and pipes; 0 when the system does not say.
    unsigned long long BytesRead();
    // True where the figure above includes Wine's own libraries, tens of MB that are not the agent's.
    static bool MemoryIncludesWine();
    // The orderly stop; false when it could not be asked.
    bool RequestStop();
    void Kill();
    long Id() const { return m_id; }

private:
    long m_id = 0;
    void* m_handle = nullptr;  // Windows: the process handle
    bool m_ended = false;
    bool m_withoutNetwork = false;
    int m_exitCode = -1;
};

// The agent executable of this build: TAVREL_AGENT_EXE, else beside the build's test folder.
std::string AgentExecutable();
// Processes whose executable name is exactly `name` (names shorter than 15 characters on Linux).
int CountProcesses(const std::string& name);

}  // namespace tavrel::test
