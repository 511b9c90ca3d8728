// Long-lived threads that are owned and joined. A worker runs its body until
// its stop token is set; stopWorker() sets it and waits for the body to
// return, so no thread outlives the state it touches. The start-up module
// owns the order in which workers start and stop.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <thread>

namespace platform {

struct Worker {
    std::string name;
    std::jthread thread;
};

// Starts body on a thread of its own. body must return soon after its stop
// token is set (sleep with platform::sleepUntilTick/sleepForMillis, which
// wake on it). Does nothing when the worker already runs.
void startWorker(Worker& worker, std::string name, std::function<void(std::stop_token)> body);

// Asks the worker to stop and joins it; nothing when it does not run. Must
// not be called from the worker itself.
void stopWorker(Worker& worker);

bool workerRunning(const Worker& worker);

// The whole program's stop: set once when shutdown begins, so that long
// actions on task threads (a connect waiting for Tessera, a ring loop) end
// early. Sleeps given this token wake at once.
std::stop_token shutdownToken();
void requestShutdown();

// Short jobs off the caller's thread, one thread each. They are owned too:
// finished ones are joined when the next one starts, and joinTasks() waits
// for every one (shutdown, tests).
void runTask(std::function<void()> job);

// Waits until no task runs, at most timeoutMs of the steady clock; false
// when some still run then.
bool waitForTasks(int timeoutMs);

// Waits for every task, however long it takes.
void joinTasks();

} // namespace platform
