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

} // namespace platform
