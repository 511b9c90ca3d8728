#include "platform/worker.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>

#include "platform/sync.h"

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

namespace {

std::stop_source& shutdownSource()
{
    static std::stop_source source;
    return source;
}

} // namespace

std::stop_token shutdownToken()
{
    return shutdownSource().get_token();
}

void requestShutdown()
{
    shutdownSource().request_stop();
}

namespace {

struct Task {
    std::jthread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

struct Tasks {
    Mutex mutex;
    std::condition_variable ended;
    std::list<Task> running GUARDED_BY(mutex);
};

// Never freed: a task may still end while the process exits.
Tasks& tasks()
{
    static Tasks* t = new Tasks;
    return *t;
}

// Moves the finished tasks out, to be joined without the lock.
std::list<Task> takeFinished(Tasks& t) REQUIRES(t.mutex)
{
    std::list<Task> finished;
    auto& list = t.running;
    for (auto it = list.begin(); it != list.end();) {
        auto next = std::next(it);
        if (it->done->load()) finished.splice(finished.end(), list, it);
        it = next;
    }
    return finished;
}

} // namespace

void runTask(std::function<void()> job)
{
    Tasks& t = tasks();
    std::list<Task> finished;
    {
        LockGuard lock(t.mutex);
        finished = takeFinished(t);
        Task& task = t.running.emplace_back();
        task.thread = std::jthread([job = std::move(job), done = task.done] {
            job();
            Tasks& all = tasks();
            LockGuard end(all.mutex);
            *done = true;
            all.ended.notify_all();
        });
    }
    finished.clear(); // joins; they have ended
}

bool waitForTasks(int timeoutMs)
{
    Tasks& t = tasks();
    UniqueLock lock(t.mutex);
    const bool idle = t.ended.wait_for(lock.native(), std::chrono::milliseconds(timeoutMs), [&t]() REQUIRES(t.mutex) {
        for (const Task& task : t.running)
            if (!task.done->load()) return false;
        return true;
    });
    std::list<Task> finished = takeFinished(t);
    lock.unlock();
    return idle;
}

void joinTasks()
{
    std::list<Task> all;
    {
        Tasks& t = tasks();
        LockGuard lock(t.mutex);
        all.swap(t.running);
    }
    all.clear(); // joins each
}

} // namespace platform
