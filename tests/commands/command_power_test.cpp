// Commands 1003 and 1004 as far as the system's own shutdown call, and never further: the fixture's recorder
// holds the power seam in every test. On Linux the agent also runs once without the right to restart the
// machine, in a child process of this program that has dropped CAP_SYS_BOOT and finds no systemctl. On
// Windows (and so under Wine) this program's import of ExitWindowsEx is diverted to a recorder, so the
// real path from the command down to the Win32 call is run without ending the session; so is its import of
// InitiateShutdownW, the call the agent makes first.
#include "command_fixture.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace command_test {
namespace {

#ifdef _WIN32

std::mutex g_trapLock;
std::string g_trapped;

void Trapped(const std::string& call) {
    std::lock_guard<std::mutex> lock(g_trapLock);
    g_trapped += call;
}

BOOL WINAPI TrappedExitWindowsEx(UINT flags, DWORD reason) {
    Trapped("ExitWindowsEx " + std::to_string(flags) + ":" + std::to_string(reason) + ";");
    return TRUE;
}

DWORD WINAPI TrappedInitiateShutdownW(LPWSTR machine, LPWSTR message, DWORD grace, DWORD flags, DWORD reason) {
    Trapped("InitiateShutdownW " + std::string(machine || message ? "remote-or-message " : "") + std::to_string(grace) +
            ":" + std::to_string(flags) + ":" + std::to_string(reason) + ";");
    return ERROR_SUCCESS;
}

// This executable's import slot for one function of a system DLL, pointed at a recorder while the object lives.
class ImportTrap {
public:
    ImportTrap(const char* dll, const char* function, void* replacement) {
        HMODULE module = GetModuleHandleA(dll);
        FARPROC real = module ? GetProcAddress(module, function) : nullptr;
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!real || !imports.VirtualAddress) return;
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
            if (_stricmp(reinterpret_cast<char*>(base + d->Name), dll) != 0) continue;
            for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk); slot->u1.Function; ++slot) {
                if (reinterpret_cast<FARPROC>(slot->u1.Function) != real) continue;
                m_slot = reinterpret_cast<void**>(&slot->u1.Function);
            }
        }
        if (!m_slot) return;
        m_real = *m_slot;
        m_installed = Write(replacement);
    }
    ~ImportTrap() {
        if (m_installed) Write(m_real);
    }
    bool Installed() const { return m_installed; }
    static std::string Calls() {
        std::lock_guard<std::mutex> lock(g_trapLock);
        return g_trapped;
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(g_trapLock);
        g_trapped.clear();
    }

private:
    bool Write(void* target) {
        DWORD old = 0;
        if (!VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &old)) return false;
        *m_slot = target;
        VirtualProtect(m_slot, sizeof(void*), old, &old);
        FlushInstructionCache(GetCurrentProcess(), m_slot, sizeof(void*));
        return *m_slot == target;
    }

    void** m_slot = nullptr;
    void* m_real = nullptr;
    bool m_installed = false;
};

TEST_F(CommandChannelTest, PowerCommandsReachInitiateShutdownWForcedAndPlannedAtOnce) {
    ImportTrap initiate("advapi32.dll", "InitiateShutdownW", reinterpret_cast<void*>(&TrappedInitiateShutdownW));
    ImportTrap exitWindows("user32.dll", "ExitWindowsEx", reinterpret_cast<void*>(&TrappedExitWindowsEx));
    ASSERT_TRUE(initiate.Installed()) << "cannot divert InitiateShutdownW; the real call is not made";
    ASSERT_TRUE(exitWindows.Installed()) << "cannot divert ExitWindowsEx; the real call is not made";
    ImportTrap::Clear();
    ASSERT_TRUE(EnableShutdownPrivilege());
    // The traps, not the seam's hook, stand between the command and the session from here on.
    SetExitWindowsHook(nullptr);
    Join();
    Broadcast(Command(1003));
    Broadcast(Command(1004));
    Barrier();
    // Local machine, no message, no grace period; force others and self, then power off (8) or restart (4);
    // SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_FLAG_PLANNED. ExitWindowsEx is not called.
    EXPECT_EQ(ImportTrap::Calls(), "InitiateShutdownW 0:11:2147745792;InitiateShutdownW 0:7:2147745792;");
    EXPECT_EQ(room.Requests().size(), 0u);
    EXPECT_TRUE(IsCommandChannelOpen());
}

#else

constexpr const char* kChildVariable = "TAVREL_POWER_CHILD";

// The child's side: this process may not restart the machine; the commands must end in nothing.
class UnprivilegedAgent : public CommandChannelTest {
protected:
    void SetUp() override {
        if (tavrel::test::EnvText(kChildVariable) != "1") GTEST_SKIP() << "runs only in its own child process";
        CommandChannelTest::SetUp();
    }
};

TEST_F(UnprivilegedAgent, PowerCommandsDoNothing) {
    ASSERT_FALSE(EnableShutdownPrivilege());
    Join();
    Broadcast(Command(1003));
    Broadcast(Command(1004));
    Barrier();
    EXPECT_EQ(power.Text(), "");
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[1003]"), 1u);
    EXPECT_EQ(log.Count("接收到考试服务指令，code：[1004]"), 1u);
    EXPECT_EQ(room.Requests().size(), 0u);
    for (const std::string& reply : RepliesIn()) EXPECT_EQ(reply.rfind("43", 0), 0u) << reply;
    EXPECT_TRUE(IsCommandChannelOpen());
}

// Between fork and exec: only system calls.
bool DropShutdownCapability() {
    if (prctl(PR_CAPBSET_DROP, CAP_SYS_BOOT, 0, 0, 0) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const unsigned bit = 1u << CAP_SYS_BOOT;
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    return syscall(SYS_capset, &header, data) == 0;
}

TEST(CommandPower, WithoutTheRightToRestartTheAgentDoesNothing) {
    if (tavrel::test::EnvText(kChildVariable) == "1") GTEST_SKIP() << "this is the child";
    if (tavrel::test::EnvText("TAVREL_ROOM_SERVER").empty()) GTEST_SKIP() << "needs the room-server";
    tavrel::test::TempFolder scratch;
    const std::string output = scratch / "child.txt";

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "PATH=", 5) != 0 && std::strncmp(*e, kChildVariable, std::strlen(kChildVariable)) != 0)
            environment.push_back(*e);
    }
    environment.push_back("PATH=/nonexistent/tavrel-test");
    environment.push_back(std::string(kChildVariable) + "=1");
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=UnprivilegedAgent.PowerCommandsDoNothing";
    std::vector<char*> argv = {&self[0], &filter[0], nullptr};

    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
        if (!DropShutdownCapability()) _exit(77);
        execve(self.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    ASSERT_GT(pid, 0);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const std::string report = tavrel::test::ReadFileBytes(output);
    ASSERT_TRUE(WIFEXITED(status)) << report;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop CAP_SYS_BOOT here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << report;
    EXPECT_NE(report.find("[  PASSED  ] 1 test"), std::string::npos) << report;
    EXPECT_EQ(report.find("SKIPPED"), std::string::npos) << report;
}

#endif

}  // namespace
}  // namespace command_test
