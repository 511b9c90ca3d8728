#include "platform/file_writer.h"

#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/worker.h"
#include "platform/sync.h"

#include <condition_variable>
#include <cstdlib>
#include <map>

namespace platform {
namespace {

struct FileWriter {
    Mutex mutex;
    std::condition_variable_any wanted;
    std::condition_variable idle;
    std::map<std::string, std::string> pending GUARDED_BY(mutex);
    bool busy GUARDED_BY(mutex) = false;
    bool stopped GUARDED_BY(mutex) = false;
    Worker worker GUARDED_BY(mutex);
};

// Never freed: a late write at exit must still find it.
FileWriter& writer()
{
    static FileWriter* w = new FileWriter;
    return *w;
}

void writeNow(const std::string& path, const std::string& text)
{
    makeFolders(parentFolder(path));
    replaceFileAtomically(path, text);
}

void runWriter(std::stop_token stop)
{
    FileWriter& w = writer();
    UniqueLock lock(w.mutex);
    for (;;) {
        w.wanted.wait(lock.native(), stop, [&w]() REQUIRES(w.mutex) { return !w.pending.empty(); });
        if (w.pending.empty()) return; // stopped with nothing left
        std::map<std::string, std::string> batch;
        batch.swap(w.pending);
        w.busy = true;
        lock.unlock();
        for (const auto& [path, text] : batch) writeNow(path, text);
        lock.lock();
        w.busy = false;
        w.idle.notify_all();
    }
}

} // namespace

void writeFileLater(const std::string& path, std::string text)
{
    FileWriter& w = writer();
    UniqueLock lock(w.mutex);
    if (w.stopped) {
        lock.unlock();
        writeNow(path, text);
        return;
    }
    w.pending[path] = std::move(text);
    if (!workerRunning(w.worker)) {
        startWorker(w.worker, "file writer", runWriter);
        static std::once_flag atExit;
        std::call_once(atExit, [] { std::atexit(stopFileWriter); });
    }
    w.wanted.notify_one();
}

void flushFileWrites()
{
    FileWriter& w = writer();
    UniqueLock lock(w.mutex);
    w.idle.wait(lock.native(), [&w]() REQUIRES(w.mutex) { return w.pending.empty() && !w.busy; });
}

void stopFileWriter()
{
    FileWriter& w = writer();
    flushFileWrites();
    Worker running;
    {
        LockGuard lock(w.mutex);
        w.stopped = true;
        running = std::move(w.worker);
    }
    stopWorker(running);
}

} // namespace platform
