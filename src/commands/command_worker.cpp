#include "commands/command_worker.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "base/logger.h"
#include "system/memory.h"

namespace {

struct Lane {
    struct Waiting {
        CommandJob job;
        std::string key;
        std::chrono::steady_clock::time_point notBefore;
    };
    std::deque<Waiting> jobs;
    bool busy = false;
    std::string runningKey;
    std::thread thread;
    std::condition_variable wake;  // a job came, or the worker is to stop
};

// Never destroyed: a worker still waiting when the process exits must not meet a destroyed lock, nor a
// joinable thread object end the process.
struct WorkerState {
    std::mutex lock;
    std::condition_variable idle;  // a lane ran empty with nothing running
    Lane lanes[2];
    bool stopping = false;
    std::atomic<bool> terminated{false};
};
WorkerState& W() {
    static WorkerState* state = new WorkerState;
    return *state;
}

Lane& LaneOf(CommandLane lane) { return W().lanes[lane == CommandLane::Reports ? 1 : 0]; }

bool AllIdle() {
    for (const Lane& lane : W().lanes)
        if (!lane.jobs.empty() || lane.busy) return false;
    return true;
}

void RunLane(Lane* lane) {
    std::unique_lock<std::mutex> lock(W().lock);
    for (;;) {
        lane->wake.wait(lock, [lane] { return W().stopping || !lane->jobs.empty(); });
        if (W().stopping) break;
        const auto notBefore = lane->jobs.front().notBefore;
        if (lane->wake.wait_until(lock, notBefore, [] { return W().stopping; })) break;
        CommandJob job = std::move(lane->jobs.front().job);
        lane->runningKey = std::move(lane->jobs.front().key);
        lane->jobs.pop_front();
        lane->busy = true;
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
        lane->busy = false;
        lane->runningKey.clear();
        if (AllIdle()) W().idle.notify_all();
        // The lane's burst is over: its buffers go back to the system, or a day of rounds creeps up.
        if (lane->jobs.empty()) {
            lock.unlock();
            ReturnFreeMemory();
            lock.lock();
        }
    }
    lane->busy = false;
    W().idle.notify_all();
}

}  // namespace

bool PostCommandWork(CommandJob job, const std::string& key, CommandLane which, int delayMs, bool wakeLane) {
    std::unique_lock<std::mutex> lock(W().lock);
    if (W().stopping) return false;
    Lane& lane = LaneOf(which);
    const bool uploads = which == CommandLane::Uploads;
    if (!key.empty()) {
        for (const auto& waiting : lane.jobs) {
            if (waiting.key != key) continue;
            lock.unlock();
            // The waiting upload reads the file when it starts, so it carries what this ask wanted.
            if (uploads) LogInfo("CommandWorker") << "merged with the waiting upload of " << key;
            return true;
        }
        // A report under way has read the state already. An upload under way may have read the file before the
        // examinee saved again: one more goes behind it and reads the file as it is then.
    }
    const bool behindRunning = uploads && !key.empty() && lane.busy && lane.runningKey == key;
    if (lane.jobs.size() >= kMaxWaitingCommandJobs) return false;
    lane.jobs.push_back({std::move(job), key, std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs)});
    if (!lane.thread.joinable()) lane.thread = std::thread(RunLane, &lane);
    // Woken with the lock still held, the lane would only wait for it again.
    lock.unlock();
    if (behindRunning) LogInfo("CommandWorker") << "queued once more behind the running upload of " << key;
    if (wakeLane) lane.wake.notify_one();
    return true;
}

void WakeCommandLane(CommandLane which) { LaneOf(which).wake.notify_one(); }

void StartCommandLane(CommandLane which) {
    std::lock_guard<std::mutex> lock(W().lock);
    Lane& lane = LaneOf(which);
    if (!W().stopping && !lane.thread.joinable()) lane.thread = std::thread(RunLane, &lane);
}

bool WaitCommandWorkIdle(int ms) {
    std::unique_lock<std::mutex> lock(W().lock);
    return W().idle.wait_for(lock, std::chrono::milliseconds(ms), [] { return AllIdle(); });
}

void StopCommandWorker() {
    std::thread workers[2];
    {
        std::lock_guard<std::mutex> lock(W().lock);
        W().stopping = true;
        W().terminated = true;
        for (int i = 0; i < 2; ++i) {
            W().lanes[i].jobs.clear();
            workers[i].swap(W().lanes[i].thread);
            W().lanes[i].wake.notify_all();
        }
    }
    for (std::thread& worker : workers) {
        if (!worker.joinable()) continue;
        if (worker.get_id() == std::this_thread::get_id()) worker.detach();
        else worker.join();
    }
    std::lock_guard<std::mutex> lock(W().lock);
    W().stopping = false;
    W().terminated = false;
}
