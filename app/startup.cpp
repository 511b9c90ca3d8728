#include "app/startup.h"

#include "calls/chain_watch.h"
#include "calls/phone_fee.h"
#include "phone/phone_store.h"
#include "phone/web_requests.h"
#include "platform/app_launch.h"
#include "platform/autostart.h"
#include "platform/file_writer.h"
#include "platform/worker.h"
#include "services/tessera_link.h"

#include <curl/curl.h>

#include <array>
#include <mutex>
#include <unistd.h>

namespace kestrel {

namespace {

struct Running {
    std::mutex mutex;
    int announceFd = -1;
    bool started = false;
    // Started in this order, stopped in the reverse one.
    std::array<platform::Worker, 2> workers;
};

Running& running()
{
    static Running r;
    return r;
}

} // namespace

StartResult startPhone(const StartupOptions& options)
{
    Running& r = running();
    std::lock_guard lock(r.mutex);
    if (r.started) return StartResult::Started;

    // One phone per data folder; a second one only brings the first forward.
    const int fd = platform::announceApp("kestrel");
    if (fd < 0) {
        platform::raiseAnnouncedApp("kestrel");
        return StartResult::AnotherInstance;
    }
    r.announceFd = fd;

    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        ::close(fd);
        r.announceFd = -1;
        return StartResult::Failed;
    }
    loadSettings();
    platform::migrateAutostart(options.executablePath);
    registerApp(options.instance, "Kestrel");

    // Every owner switch brings the published phone record in step.
    installPhoneRecordSync(syncPhoneRecord);

    if (options.beforeWorkers) options.beforeWorkers();
    runningFlag() = true;
    platform::startWorker(r.workers[0], "poll", pollWorker);
    platform::startWorker(r.workers[1], "fetch", fetchWorker);
    r.started = true;
    return StartResult::Started;
}

int announceSocket()
{
    std::lock_guard lock(running().mutex);
    return running().announceFd;
}

void stopPhone()
{
    Running& r = running();
    std::lock_guard lock(r.mutex);
    if (!r.started) return;
    runningFlag() = false;
    platform::requestShutdown();
    for (auto worker = r.workers.rbegin(); worker != r.workers.rend(); ++worker) platform::stopWorker(*worker);
    platform::joinTasks();
    saveAll();
    unloadWallet(); // wipes the keys
    platform::stopFileWriter();
    closeServiceConnection();
    curl_global_cleanup();
    if (r.announceFd >= 0) ::close(r.announceFd);
    r.announceFd = -1;
    r.started = false;
}

} // namespace kestrel
