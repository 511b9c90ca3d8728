#include "platform/worker.h"

namespace platform {

void startWorker(Worker& worker, std::string name, std::function<void(std::stop_token)> body)
{
    if (worker.thread.joinable()) return;
    worker.name = std::move(name);
    worker.thread = std::jthread(std::move(body));
}

void stopWorker(Worker& worker)
{
    if (!worker.thread.joinable()) return;
    worker.thread.request_stop();
    worker.thread.join();
    worker.thread = std::jthread();
}

bool workerRunning(const Worker& worker)
{
    return worker.thread.joinable();
}

} // namespace platform
