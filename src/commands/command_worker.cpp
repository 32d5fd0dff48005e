#include "commands/command_worker.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/logger.h"

namespace {

// Never destroyed: a worker still waiting when the process exits must not meet a destroyed lock, nor a
// joinable thread object end the process.
struct WorkerState {
    std::mutex lock;
    std::condition_variable wake;  // a job came, or the worker is to stop
    std::condition_variable idle;  // the queue ran empty with nothing running
    struct Waiting {
        CommandJob job;
        const char* kind;
    };
    std::deque<Waiting> jobs;
    bool busy = false;
    bool stopping = false;
    std::thread thread;
    std::atomic<bool> terminated{false};
};
WorkerState& W() {
    static WorkerState* state = new WorkerState;
    return *state;
}

void RunCommandWorker() {
    std::unique_lock<std::mutex> lock(W().lock);
    for (;;) {
        W().wake.wait(lock, [] { return W().stopping || !W().jobs.empty(); });
        if (W().stopping) break;
        CommandJob job = std::move(W().jobs.front().job);
        W().jobs.pop_front();
        W().busy = true;
        lock.unlock();
        // A job that throws must not take the worker, and every later command, with it.
        try {
            job(W().terminated);
        } catch (const std::exception& e) {
            LogInfo("CommandWorker") << "command work failed: " << e.what();
        } catch (...) {
            LogInfo("CommandWorker") << "command work failed";
        }
        job = nullptr;
        lock.lock();
        W().busy = false;
        if (W().jobs.empty()) W().idle.notify_all();
    }
    W().busy = false;
    W().idle.notify_all();
}

}  // namespace

bool PostCommandWork(CommandJob job, const char* kind) {
    std::lock_guard<std::mutex> lock(W().lock);
    if (W().stopping) return false;
    if (kind) {
        for (const auto& waiting : W().jobs)
            if (waiting.kind && std::strcmp(waiting.kind, kind) == 0) return true;
    }
    if (W().jobs.size() >= kMaxWaitingCommandJobs) return false;
    W().jobs.push_back({std::move(job), kind});
    if (!W().thread.joinable()) W().thread = std::thread(RunCommandWorker);
    W().wake.notify_one();
    return true;
}

bool WaitCommandWorkIdle(int ms) {
    std::unique_lock<std::mutex> lock(W().lock);
    return W().idle.wait_for(lock, std::chrono::milliseconds(ms), [] { return W().jobs.empty() && !W().busy; });
}

void StopCommandWorker() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(W().lock);
        W().stopping = true;
        W().terminated = true;
        W().jobs.clear();
        worker.swap(W().thread);
        W().wake.notify_all();
    }
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id()) worker.detach();
        else worker.join();
    }
    std::lock_guard<std::mutex> lock(W().lock);
    W().stopping = false;
    W().terminated = false;
}
