#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "base/shared_values.h"
#include "agent/exit_password.h"
#include "agent/startup.h"
#include "base/main_thread_post.h"
#include "system/agent_exit.h"
#include "system/single_instance.h"
#include "system/version_stamp.h"
#include "version.h"

TAVREL_STAMP_FILE_VERSION(TAVREL_VER_TEXT);

namespace {
std::mutex g_phaseLock;
bool g_loopRunning = false;
}  // namespace

int main(int argc, char** argv) {
    // Only the installer starts the agent with an option: it stores the room's exit password and leaves.
    if (argc == 2 && std::string(argv[1]) == kStoreExitPasswordOption) return StoreExitPasswordFromInstaller();
    // A second agent leaves at once, silently, and the first goes on untouched.
    if (!ClaimSingleInstance()) return kAgentExitAnotherAgent;

    // SIGTERM and SIGINT take the same orderly path as WM_DESTROY: a waiting thread turns them into a post
    // (a signal handler itself may not take the queue's lock). It listens from the first moment, as start-up
    // may wait without limit for the network.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([stopSignals] {
        int signalNumber = 0;
        sigwait(&stopSignals, &signalNumber);
        {
            std::lock_guard<std::mutex> lock(g_phaseLock);
            // Still starting: no thread, channel or window exists yet that an orderly end would wind up.
            if (!g_loopRunning) std::_Exit(0);
        }
        PostMainWindowMessage(kMsgDestroy, 0, 0);
    }).detach();

    OnInitialize();
    static int windowToken = 0;
    {
        std::lock_guard<std::mutex> lock(g_phaseLock);
        SetMainWindow(&windowToken);
        g_loopRunning = true;
    }
    StartServiceThread();

    PostedMessage message{};
    while (TakeMainWindowMessage(&message)) {
        if (message.message == kMsgDestroy) break;
    }
    ReleaseSingleInstance();
    OnUninitialize();
    return AgentExitChosen();
}
