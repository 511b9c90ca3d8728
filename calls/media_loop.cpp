#include "calls/media_loop.h"

#include "audio/capture.h"
#include "calls/answer_phone.h"
#include "calls/call_state.h"
#include "calls/phone_records.h"
#include "phone/phone_store.h"
#include "phone/text.h"
#include "platform/clock.h"
#include "platform/events.h"

#include <algorithm>
#include <list>
#include <memory>
#include <thread>

namespace kestrel {

using json = nlohmann::json;

namespace {

constexpr int kMaxInFlight = 2;
constexpr int64_t kRetryAfterFailureMs = 2000;
constexpr int64_t kRetryAfterHoldMs = 3000;
constexpr int kCallCaptureSeconds = 300;
constexpr int kIdleCaptureSeconds = 60;

struct JobResult {
    std::atomic<bool> done {false};
    bool sent = false;
    bool hold = false;
    int64_t elapsedMs = 0;
    std::string unsent; // the chunk, when the send failed
};

struct AudioJob {
    std::string chunk;
    std::string address;
    std::string peer;
    std::string callId;
    int64_t number = 0;
    std::shared_ptr<JobResult> result = std::make_shared<JobResult>();
    std::jthread thread;
};

// Media thread only.
struct MediaState {
    int64_t nextSendTick = 0;
    std::list<AudioJob> inFlight;
    std::string carry;
};
MediaState& media()
{
    static MediaState m;
    return m;
}

std::atomic<int>& inFlightCount()
{
    static std::atomic<int> n {0};
    return n;
}

void runAudioJob(const AudioJob& job, JobResult& result)
{
    json record = {
        {"kind", "audio"}, {"id", job.callId}, {"n", job.number}, {"codec", "gsm"}, {"audio", base64Encode(job.chunk)}};
    const int64_t start = platform::tickMillis();
    result.sent = sendPhoneRecord(job.address, record, 1, false);
    result.elapsedMs = platform::tickMillis() - start;
    result.hold = holdMark();
    if (result.sent) {
        appendLog(utf8ToWide("audio " + std::to_string(job.number)));
        int64_t spent = 0;
        {
            platform::LockGuard lock(stateMutex());
            spent = callFields().satoshisSpent;
        }
        setStatusText("Connected.  " + std::to_string(spent) + " sats broadcast.");
    } else {
        result.unsent = job.chunk;
    }
    platform::Event event;
    event.kind = platform::EventKind::Audio;
    event.text = "sent";
    event.fields = {std::to_string(job.number), std::to_string(job.chunk.size()), std::to_string(result.elapsedMs),
                    result.sent ? "1" : "0"};
    platform::emitEvent(event);
    result.done = true;
}

void collectFinished()
{
    MediaState& m = media();
    for (auto it = m.inFlight.begin(); it != m.inFlight.end();) {
        JobResult& result = *it->result;
        if (!result.done) {
            ++it;
            continue;
        }
        it->thread.join();
        sendPace() = nextPace(sendPace(), result.elapsedMs);
        if (!result.sent) {
            if (m.carry.empty()) m.carry = result.unsent;
            m.nextSendTick = platform::tickMillis() + (result.hold ? kRetryAfterHoldMs : kRetryAfterFailureMs);
        }
        it = m.inFlight.erase(it);
    }
    inFlightCount() = static_cast<int>(m.inFlight.size());
}

} // namespace

std::atomic<int64_t>& sendPace()
{
    static std::atomic<int64_t> pace {kInitialPaceMs};
    return pace;
}

int64_t nextPace(int64_t pace, int64_t elapsedMs)
{
    const int64_t e = std::clamp<int64_t>(elapsedMs, 1, 4000);
    if (e <= 1200) return std::max<int64_t>((e + pace) / 2, 200);
    return e;
}

int audioJobsInFlight()
{
    return inFlightCount();
}

void mediaStep()
{
    collectFinished();
    MediaState& m = media();
    CallState state;
    {
        platform::LockGuard lock(stateMutex());
        state = callFields().state;
    }
    setCaptureLimitSeconds(state == CallState::Connected ? kCallCaptureSeconds : kIdleCaptureSeconds);
    if (state != CallState::Connected) {
        setCallSpeechStarted(false);
        m.carry.clear();
        if (m.inFlight.empty()) sendPace() = kInitialPaceMs;
        if (state == CallState::LeavingMessage || state == CallState::RecordingGreeting) answerPhoneDuties();
        return;
    }
    if (platform::tickMillis() < m.nextSendTick || m.inFlight.size() >= kMaxInFlight) return;
    const int jobs = static_cast<int>(m.inFlight.size());
    std::string chunk;
    if (!m.carry.empty()) {
        chunk.swap(m.carry);
    } else {
        chunk = nextCallChunk(jobs, sendPace());
    }
    if (chunk.empty()) return;
    AudioJob& job = m.inFlight.emplace_back();
    job.chunk = std::move(chunk);
    {
        platform::LockGuard lock(stateMutex());
        CallFields& call = callFields();
        job.address = call.peerPaymentAddress;
        job.peer = call.peerHandle;
        job.callId = call.callId;
        job.number = ++call.audioChunks;
    }
    std::shared_ptr<JobResult> result = job.result;
    job.thread = std::jthread([&job, result] { runAudioJob(job, *result); });
    inFlightCount() = static_cast<int>(m.inFlight.size());
}

void mediaThread(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        mediaStep();
        platform::sleepForMillis(kMediaStepMs, stop);
    }
    // Let the last sends finish and collect them.
    while (!media().inFlight.empty()) {
        collectFinished();
        if (!media().inFlight.empty()) platform::sleepForMillis(20);
    }
}

} // namespace kestrel
