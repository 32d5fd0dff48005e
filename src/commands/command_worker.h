#pragma once
// The one thread of the command channel that runs the HTTP work the server's commands start (answer
// uploads, state reports), one job at a time in order of arrival. The network thread only decodes,
// dispatches and answers, so a slow server never makes the PC miss a ping and lose its place in the room.
#include <atomic>
#include <cstddef>
#include <functional>

// The flag rises when the agent ends; a job hands it to the HTTP provider, which stops retrying.
using CommandJob = std::function<void(const std::atomic<bool>& terminated)>;

// How many jobs may wait: a server that floods the PC with uploads must not grow it without bound.
constexpr std::size_t kMaxWaitingCommandJobs = 64;

// Queues a job (the thread starts on first use). False when the queue is full: the job is dropped.
// A job with a kind is not queued twice: while one of that kind still waits, the new one is already
// covered by it (true).
bool PostCommandWork(CommandJob job, const char* kind = nullptr);
// True once nothing waits and nothing runs; false when ms passed first.
bool WaitCommandWorkIdle(int ms);
// Raises the terminate flag, drops the jobs that have not started and waits for the running one: at most
// one transfer's time-out and the provider's pause between attempts. A later post starts a fresh thread.
void StopCommandWorker();
