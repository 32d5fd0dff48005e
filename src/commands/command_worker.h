#pragma once
// The threads of the command channel that run the HTTP work the server's commands start: state reports on a
// lane of their own, answer uploads on another, each lane one job at a time in order of arrival. The network
// thread only decodes, dispatches and answers, so a slow server never makes the PC miss a ping and lose its
// place in the room; and the report a ping asks for never waits behind minutes of uploads.
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

// The flag rises when the agent ends; a job hands it to the HTTP provider, which stops the transfer.
using CommandJob = std::function<void(const std::atomic<bool>& terminated)>;

enum class CommandLane { Uploads, Reports };

// How many jobs may wait on a lane: a server that floods the PC with uploads must not grow it without bound.
constexpr std::size_t kMaxWaitingCommandJobs = 64;

// Queues a job on its lane (the lane's thread starts on first use). False when that lane's queue is full: the
// job is dropped. A job with a key is not queued twice: while one with that key waits, the new one is covered
// by it (true; logged on the uploads lane). An upload whose key runs gets one more behind it, which reads the
// file as it is when it starts.
// A job with delayMs starts no earlier than that after its post; the lane waits for it (and the jobs behind it)
// asleep, and a stop ends the wait at once.
// With wakeLane false the post leaves a sleeping lane asleep: the job starts when WakeCommandLane (or the next
// post) wakes it, once its delay has passed. For work whose moment another thread's timer keeps.
bool PostCommandWork(CommandJob job, const std::string& key = std::string(), CommandLane lane = CommandLane::Uploads,
                     int delayMs = 0, bool wakeLane = true);
void WakeCommandLane(CommandLane lane);
// Starts a lane's thread now rather than at its first job: the joined channel readies the reports' lane, so the
// first "ping" of the day costs the room's other PCs no thread being made while they wait for their acks.
void StartCommandLane(CommandLane lane);
// True once nothing waits and nothing runs on either lane; false when ms passed first.
bool WaitCommandWorkIdle(int ms);
// Raises the terminate flag, drops the jobs that have not started and waits for the running ones, which end
// within about a second. A later post starts fresh threads.
void StopCommandWorker();
