// No test here may switch off or restart the machine it runs on. Every call that could reach the system
// runs with the hook installed; on Linux each one also runs in a forked child whose PATH holds no
// service manager, and the unprivileged case drops CAP_SYS_BOOT outright.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "system/power.h"

#ifndef _WIN32
#include <linux/capability.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Call {
    unsigned flags;
    unsigned reason;
    bool operator==(const Call& o) const { return flags == o.flags && reason == o.reason; }
};

// Records what reaches the seam for as long as it lives.
class SeamRecorder {
public:
    explicit SeamRecorder(bool answer = true) {
        SetExitWindowsHook([this, answer](unsigned flags, unsigned reason) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_calls.push_back(Call{flags, reason});
            return answer;
        });
    }
    ~SeamRecorder() { SetExitWindowsHook(nullptr); }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }

private:
    std::mutex m_lock;
    std::vector<Call> m_calls;
};

std::string Describe(const std::vector<Call>& calls) {
    std::string text;
    for (const Call& c : calls) text += std::to_string(c.flags) + ":" + std::to_string(c.reason) + ";";
    return text;
}

TEST(PowerSeam, TheHookReceivesTheCallUnchanged) {
    for (bool answer : {true, false}) {
        SeamRecorder recorder(answer);
        EXPECT_EQ(ExitWindowsExSeam(0x0C, 0x00040000), answer);
        EXPECT_EQ(ExitWindowsExSeam(0x06, 0x00040000), answer);
        EXPECT_EQ(Describe(recorder.Calls()), "12:262144;6:262144;");
    }
}

// What Windows answers, and what the agent makes of it (Wine shuts nothing down, so these rows are the proof).
TEST(PowerDecisions, PrivilegeFlagsFallbackAndTheLogLine) {
    // AdjustTokenPrivileges succeeds for an account without the privilege; its last error says so.
    struct { bool adjusted; unsigned long error; bool held; } privilege[] = {{true, 0, true}, {true, 1300, false}, {false, 5, false}};
    for (const auto& row : privilege) EXPECT_EQ(ShutdownPrivilegeHeld(row.adjusted, row.error), row.held) << row.error;
    // SHUTDOWN_FORCE_OTHERS | SHUTDOWN_FORCE_SELF, then SHUTDOWN_POWEROFF or SHUTDOWN_RESTART.
    struct { unsigned exitFlags, initiateFlags; } flags[] = {{0x0C, 0x0B}, {0x06, 0x07}, {0x08, 0x0B}, {0x04, 0}, {0, 0}};
    for (const auto& row : flags) EXPECT_EQ(InitiateShutdownFlags(row.exitFlags), row.initiateFlags) << row.exitFlags;
    // Only a missing InitiateShutdownW hands over to ExitWindowsEx; a refusal stands.
    struct { unsigned long result; bool fallBack; } results[] = {{120, true}, {127, true}, {5, false}, {1190, false}, {0, false}};
    for (const auto& row : results) EXPECT_EQ(FallBackToExitWindows(row.result), row.fallBack) << row.result;
    EXPECT_EQ(PowerOutcomeText(PowerOutcome{true, false, 1115}), "shutdown refused, error 1115");
}

#ifdef _WIN32

TEST(PowerControl, PowerOffAndRebootReachTheSeamWithForceAndThePlannedApplicationReason) {
    ASSERT_TRUE(EnableShutdownPrivilege()) << "the agent's account may shut the machine down";
    SeamRecorder recorder;
    EXPECT_TRUE(PowerOff().started);
    EXPECT_TRUE(Reboot().started);
    EXPECT_EQ(Describe(recorder.Calls()), "12:2147745792;6:2147745792;");
}

#else

// Runs `body` in a forked child with the hook installed and no systemctl to be found; returns what the
// body answered, or "child failed".
std::string InChild(const std::function<bool()>& prepare, const std::function<std::string()>& body) {
    int out[2];
    if (pipe(out) != 0) return "no pipe";
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        setenv("PATH", "/nonexistent/tavrel-test", 1);
        std::string answer = prepare() ? body() : std::string("prepare failed");
        ssize_t ignored = write(out[1], answer.data(), answer.size());
        (void)ignored;
        _exit(0);
    }
    close(out[1]);
    std::string answer;
    char buffer[256];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return answer;
}

bool DropShutdownCapability() {
    if (!EnableShutdownPrivilege()) return true;  // never had it
    if (prctl(PR_CAPBSET_DROP, CAP_SYS_BOOT, 0, 0, 0) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const unsigned bit = 1u << CAP_SYS_BOOT;  // below 32: in the first word
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    return syscall(SYS_capset, &header, data) == 0;
}

std::string PowerBoth() {
    SeamRecorder recorder;
    bool privilege = EnableShutdownPrivilege();
    PowerOutcome off = PowerOff();
    PowerOutcome again = Reboot();
    std::string refusals = PowerOutcomeText(off) + PowerOutcomeText(again);
    return std::string(privilege ? "privileged " : "unprivileged ") + Describe(recorder.Calls()) + refusals;
}

// The suites run without CAP_SYS_BOOT; a user namespace of its own gives the child every capability,
// valid only inside that namespace, so the machine stays out of its reach even there.
bool GainShutdownCapability() {
    if (EnableShutdownPrivilege()) return true;
    return unshare(CLONE_NEWUSER) == 0 && EnableShutdownPrivilege();
}

TEST(PowerControl, WithTheRightToRestartBothReachTheSeam) {
    std::string answer = InChild(GainShutdownCapability, PowerBoth);
    if (answer == "prepare failed") GTEST_SKIP() << "no way to hold CAP_SYS_BOOT here, not even in a user namespace";
    EXPECT_EQ(answer, "privileged 12:2147745792;6:2147745792;");
}

TEST(PowerControl, WithoutTheRightToRestartNothingHappens) {
    std::string answer = InChild(DropShutdownCapability, PowerBoth);
    if (answer == "prepare failed") GTEST_SKIP() << "cannot drop CAP_SYS_BOOT here";
    // Refused before the system is asked, and said so for the log.
    EXPECT_EQ(answer, "unprivileged no shutdown privilege, error 1no shutdown privilege, error 1");
}

#endif

}  // namespace
