#include "app/startup.h"

#include "audio/capture.h"
#include "audio/codec.h"
#include "audio/playback.h"
#include "calls/call_engine.h"
#include "calls/chain_watch.h"
#include "calls/media_loop.h"
#include "calls/phone_fee.h"
#include "phone/app_messages.h"
#include "phone/phone_store.h"
#include "phone/text.h"
#include "phone/web_requests.h"
#include "platform/app_launch.h"
#include "platform/autostart.h"
#include "platform/file_writer.h"
#include "platform/worker.h"
#include "services/tessera_link.h"
#include "platform/sync.h"

#include <curl/curl.h>

#include <array>
#include <unistd.h>

namespace kestrel {

namespace {

struct Running {
    platform::Mutex mutex;
    int announceFd GUARDED_BY(mutex) = -1;
    bool started GUARDED_BY(mutex) = false;
    // Started in this order, stopped in the reverse one.
    std::array<platform::Worker, 3> workers GUARDED_BY(mutex);
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
    platform::LockGuard lock(r.mutex);
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

    // The layers below report through these.
    installPhoneRecordSync(syncPhoneRecord);
    installCallEngine();
    setAudioStatusHook(setStatusText);
    setPlaybackHooks(
        {[] { postToCardWindow(WM_PHONE_PLAYBACK_DONE); }, [] { postToCardWindow(WM_PHONE_CARD_REFRESH); }});
    {
        platform::LockGuard store(storeMutex());
        setVolumePercent(phoneStore().volume);
        setChosenOutput(wideToUtf8(phoneStore().output));
    }

    if (options.beforeWorkers) options.beforeWorkers();
    runningFlag() = true;
    platform::startWorker(r.workers[0], "poll", pollWorker);
    platform::startWorker(r.workers[1], "fetch", fetchWorker);
    platform::startWorker(r.workers[2], "media", mediaThread);
    startRenderThread();
    r.started = true;
    return StartResult::Started;
}

int announceSocket()
{
    platform::LockGuard lock(running().mutex);
    return running().announceFd;
}

void stopPhone()
{
    Running& r = running();
    platform::LockGuard lock(r.mutex);
    if (!r.started) return;
    runningFlag() = false;
    platform::requestShutdown();
    stopRenderThread();
    for (auto worker = r.workers.rbegin(); worker != r.workers.rend(); ++worker) platform::stopWorker(*worker);
    platform::joinTasks();
    saveAll();
    closeMicrophone();
    closeOutputs();
    closeCodec();
    unloadWallet(); // wipes the keys
    platform::stopFileWriter();
    closeServiceConnection();
    curl_global_cleanup();
    if (r.announceFd >= 0) ::close(r.announceFd);
    r.announceFd = -1;
    r.started = false;
}

} // namespace kestrel
