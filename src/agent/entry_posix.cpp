#include <pthread.h>
#include <signal.h>

#include <thread>

#include "agent/agent.h"
#include "agent/startup.h"
#include "agent/window_messages.h"
#include "system/single_instance.h"
#include "system/version_stamp.h"
#include "version.h"

TAVREL_STAMP_FILE_VERSION(TAVREL_VER_TEXT);

int main() {
    // A second agent leaves at once, silently, and the first goes on untouched.
    if (!ClaimSingleInstance()) return 0;

    // SIGTERM and SIGINT take the same orderly path as WM_DESTROY: a waiting thread turns them into a post
    // (a signal handler itself may not take the queue's lock).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    OnInitialize();
    static int windowToken = 0;
    SetMainWindow(&windowToken);
    std::thread([stopSignals] {
        int signalNumber = 0;
        sigwait(&stopSignals, &signalNumber);
        PostMainWindowMessage(kMsgDestroy, 0, 0);
    }).detach();

    StartServiceThread();

    PostedMessage message{};
    while (TakeMainWindowMessage(&message)) {
        if (message.message == kMsgDestroy) break;
    }
    ReleaseSingleInstance();
    OnUninitialize();
    return 0;
}
