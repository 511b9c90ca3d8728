#include "audio/playback.h"

#include "audio/capture.h"
#include "audio/codec.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

namespace kestrel {

namespace {

struct Stream {
    platform::AudioOutputPtr device;
    std::string id; // the chosen id it was opened for
    platform::AudioFormat format;
    std::string pending; // converted, not yet written
};

struct Playback {
    std::deque<std::string> queue GUARDED_BY(audioMutex());
    platform::Mutex output_mutex;
    std::vector<Stream> streams GUARDED_BY(output_mutex);
    std::string chosen GUARDED_BY(output_mutex);
    std::atomic<uint32_t> generation {0};
    std::atomic<bool> message_playing {false};
    std::atomic<bool> paused {false};
    std::atomic<int64_t> pause_start {0};
    std::atomic<int64_t> paused_total {0};
    std::atomic<bool> played_something {false};
    platform::Mutex hook_mutex;
    PlaybackHooks hooks GUARDED_BY(hook_mutex);
    platform::Mutex thread_mutex;
    std::jthread thread GUARDED_BY(thread_mutex);
};

Playback& playback()
{
    static Playback p;
    return p;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

PlaybackHooks hooks()
{
    Playback& p = playback();
    platform::LockGuard lock(p.hook_mutex);
    return p.hooks;
}

void closeLocked(Playback& p) REQUIRES(p.output_mutex)
{
    p.streams.clear();
}

// Opens the chosen output.
bool openLocked(Playback& p) REQUIRES(p.output_mutex)
{
    const std::vector<OutputDevice> list = listOutputs();
    const int index = chooseOutput(list, p.chosen);
    if (index < 0) return false;
    std::string error;
    platform::AudioOutputPtr device = platform::openAudioOutput(platform::config().audio_output, list[index].id, error);
    if (!device) {
        std::fprintf(stderr, "output: %s\n", error.c_str());
        return false;
    }
    Stream s;
    s.format = platform::audioOutputFormat(*device);
    s.device = std::move(device);
    s.id = p.chosen;
    p.streams.push_back(std::move(s));
    return true;
}

void write16(char* at, int16_t v)
{
    const auto u = static_cast<uint16_t>(v);
    at[0] = static_cast<char>(u & 0xFF);
    at[1] = static_cast<char>(u >> 8);
}

} // namespace

std::vector<OutputDevice> filterOutputs(const std::vector<RawOutput>& raw)
{
    std::vector<OutputDevice> list;
    for (const RawOutput& r : raw) {
        const int f = r.form_factor;
        if (f != 1 && f != 2 && f != 3 && f != 5 && f != 6) continue;
        const std::string name = lower(r.name);
        bool skip = false;
        for (const char* word : {"nvidia", "avermedia", "spdif", "s/pdif", "digital audio"})
            if (name.find(word) != std::string::npos) skip = true;
        if (skip) continue;
        const size_t paren = r.name.find(" (");
        std::string label = paren != std::string::npos && paren > 0 ? r.name.substr(0, paren) : r.name;
        if (label.empty()) label = "Speakers";
        list.push_back({r.id, label, r.name});
    }
    std::map<std::string, int> count;
    for (const OutputDevice& d : list) ++count[d.label];
    for (OutputDevice& d : list)
        if (count[d.label] > 1) d.label = d.name;
    return list;
}

std::vector<OutputDevice> listOutputs()
{
    std::vector<RawOutput> raw;
    for (const platform::AudioOutputInfo& info : platform::listAudioOutputs(platform::config().audio_output))
        raw.push_back({info.id, info.name, 1});
    return filterOutputs(raw);
}

int chooseOutput(const std::vector<OutputDevice>& list, const std::string& chosen_id)
{
    if (!chosen_id.empty())
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].id == chosen_id) return static_cast<int>(i);
    for (size_t i = 0; i < list.size(); ++i)
        if (lower(list[i].label).find("main speaker") != std::string::npos) return static_cast<int>(i);
    return list.empty() ? -1 : 0;
}

void setChosenOutput(const std::string& id)
{
    Playback& p = playback();
    platform::LockGuard lock(p.output_mutex);
    if (id == p.chosen) return;
    p.chosen = id;
    closeLocked(p);
}

std::string chosenOutput()
{
    Playback& p = playback();
    platform::LockGuard lock(p.output_mutex);
    return p.chosen;
}

std::string outputLabelText()
{
    const std::vector<OutputDevice> list = listOutputs();
    const int index = chooseOutput(list, chosenOutput());
    return index < 0 ? "Output: none" : "Output: " + list[static_cast<size_t>(index)].label;
}

bool hasOutput()
{
    return chooseOutput(listOutputs(), chosenOutput()) >= 0;
}

bool reopenOutput()
{
    Playback& p = playback();
    platform::LockGuard lock(p.output_mutex);
    closeLocked(p);
    return openLocked(p);
}

void closeOutputs()
{
    Playback& p = playback();
    platform::LockGuard lock(p.output_mutex);
    closeLocked(p);
}

void queuePcm(const std::string& pcm)
{
    if (pcm.empty()) return;
    platform::LockGuard lock(audioMutex());
    playback().queue.push_back(pcm);
}

namespace {

bool decodeAndQueue(const std::string& gsm, bool callSpeech)
{
    if (!openCodec()) return false;
    const std::vector<std::string> blocks = decodeGsm(gsm);
    if (blocks.empty()) return false;
    if (callSpeech && echoLine()) {
        std::string heard;
        for (const std::string& b : blocks) heard += b;
        echoHeard(heard);
    }
    platform::LockGuard lock(audioMutex());
    for (const std::string& b : blocks) playback().queue.push_back(b);
    return true;
}

} // namespace

bool queueForPlayback(const std::string& gsm)
{
    return decodeAndQueue(gsm, false);
}

bool queueCallAudio(const std::string& gsm)
{
    return decodeAndQueue(gsm, true);
}

void clearPlaybackQueue()
{
    platform::LockGuard lock(audioMutex());
    playback().queue.clear();
}

size_t playbackQueueBlocks()
{
    platform::LockGuard lock(audioMutex());
    return playback().queue.size();
}

std::string convertBlock(const std::string& pcm, const platform::AudioFormat& format)
{
    const size_t samples = pcm.size() / 2;
    const int align = format.blockAlign();
    const int channels = std::max(1, format.channels);
    const int per_sample = align / channels;
    const size_t frames = std::max<size_t>(
        1, static_cast<size_t>(static_cast<int64_t>(format.rate) * static_cast<int64_t>(samples) / 8000));
    std::string out(frames * static_cast<size_t>(align), '\0');
    if (samples == 0) return out;
    auto sample = [&](size_t i) {
        const auto lo = static_cast<uint8_t>(pcm[2 * i]);
        const auto hi = static_cast<uint8_t>(pcm[2 * i + 1]);
        return static_cast<double>(static_cast<int16_t>(lo | (hi << 8)));
    };
    for (size_t j = 0; j < frames; ++j) {
        const double x = static_cast<double>(j) * 8000.0 / format.rate;
        size_t i = static_cast<size_t>(x);
        if (i >= samples) i = samples - 1;
        const double f = x - static_cast<double>(i);
        const double next = i + 1 < samples ? sample(i + 1) : sample(i);
        const double value = std::clamp(sample(i) * (1 - f) + next * f, -32768.0, 32767.0);
        const auto whole = static_cast<int32_t>(value);
        for (int c = 0; c < channels; ++c) {
            char* at = out.data() + j * static_cast<size_t>(align) + static_cast<size_t>(c * per_sample);
            if (per_sample == 2) {
                write16(at, static_cast<int16_t>(whole));
            } else if (per_sample == 3) {
                const auto u = static_cast<uint32_t>(whole * 256);
                at[0] = static_cast<char>(u & 0xFF);
                at[1] = static_cast<char>((u >> 8) & 0xFF);
                at[2] = static_cast<char>((u >> 16) & 0xFF);
            } else if (format.is_float) {
                const float v = static_cast<float>(value / 32768.0);
                std::memcpy(at, &v, 4);
            } else if (per_sample >= 4) {
                const auto u = static_cast<uint32_t>(whole) << 16; // value × 65536
                std::memcpy(at, &u, 4);
            }
        }
    }
    return out;
}

void renderStep()
{
    Playback& p = playback();
    if (p.paused) return;
    const uint32_t generation = p.generation;
    std::string block;
    {
        platform::LockGuard lock(audioMutex());
        if (!p.queue.empty()) {
            block = std::move(p.queue.front());
            p.queue.pop_front();
        }
    }
    bool ended = false;
    {
        platform::LockGuard lock(p.output_mutex);
        if (generation != p.generation) block.clear();
        if (!block.empty()) {
            const int percent = volumePercent();
            if (percent != 100) {
                std::vector<int16_t> s(block.size() / 2);
                std::memcpy(s.data(), block.data(), s.size() * 2);
                scaleSamples(s.data(), s.size(), percent);
                std::memcpy(block.data(), s.data(), s.size() * 2);
            }
            if (p.streams.empty() || p.chosen != p.streams.front().id) {
                closeLocked(p);
                if (!openLocked(p)) block.clear();
            }
            for (Stream& s : p.streams) s.pending += convertBlock(block, s.format);
        }
        bool busy = false;
        for (auto it = p.streams.begin(); it != p.streams.end();) {
            const int64_t size = platform::audioOutputBufferFrames(*it->device);
            const int64_t free = size < 0 ? -1 : platform::audioOutputFreeFrames(*it->device);
            if (free < 0) {
                it = p.streams.erase(it); // gone: reopened when the next block comes
                continue;
            }
            const auto align = static_cast<size_t>(it->format.blockAlign());
            const size_t bytes = std::min(static_cast<size_t>(free) * align, it->pending.size() / align * align);
            if (bytes > 0) {
                if (!platform::audioOutputWrite(*it->device, it->pending.data(), bytes / align)) {
                    it = p.streams.erase(it);
                    continue;
                }
                it->pending.erase(0, bytes);
                p.played_something = true;
            }
            const int64_t free_after = platform::audioOutputFreeFrames(*it->device);
            if (!it->pending.empty() || (free_after >= 0 && free_after < size)) busy = true;
            ++it;
        }
        platform::LockGuard audio(audioMutex());
        if (p.message_playing && p.played_something && p.queue.empty() && !busy) {
            p.message_playing = false;
            p.played_something = false;
            ended = true;
        }
    }
    if (ended) {
        const PlaybackHooks h = hooks();
        if (h.ended) h.ended();
    }
}

void startRenderThread()
{
    Playback& p = playback();
    platform::LockGuard lock(p.thread_mutex);
    if (p.thread.joinable()) return;
    p.thread = std::jthread([](std::stop_token stop) {
        while (platform::sleepForMillis(20, stop)) renderStep();
    });
}

void stopRenderThread()
{
    Playback& p = playback();
    platform::LockGuard lock(p.thread_mutex);
    p.thread.request_stop();
    if (p.thread.joinable()) p.thread.join();
    p.thread = std::jthread();
}

void setMessagePlaying(bool playing)
{
    playback().message_playing = playing;
}

bool messagePlaying()
{
    return playback().message_playing;
}

bool playbackPaused()
{
    return playback().paused;
}

int64_t pausedSecondsTotal()
{
    return playback().paused_total;
}

uint32_t playbackGeneration()
{
    return playback().generation;
}

void togglePause()
{
    Playback& p = playback();
    if (!p.message_playing) return;
    {
        platform::LockGuard lock(p.output_mutex);
        if (!p.paused) {
            p.pause_start = platform::unixSeconds();
            p.paused = true;
            for (Stream& s : p.streams) platform::audioOutputPause(*s.device);
        } else {
            p.paused_total += platform::unixSeconds() - p.pause_start;
            p.paused = false;
            for (Stream& s : p.streams) platform::audioOutputResume(*s.device);
        }
    }
    const PlaybackHooks h = hooks();
    if (h.controls_changed) h.controls_changed();
}

void stopPlayback()
{
    Playback& p = playback();
    {
        platform::LockGuard lock(p.output_mutex);
        ++p.generation;
        p.message_playing = false;
        p.paused = false;
        p.pause_start = 0;
        p.paused_total = 0;
        clearPlaybackQueue();
        for (Stream& s : p.streams) {
            s.pending.clear();
            platform::audioOutputReset(*s.device);
            platform::audioOutputResume(*s.device);
        }
        p.played_something = false;
    }
    const PlaybackHooks h = hooks();
    if (h.controls_changed) h.controls_changed();
}

void setPlaybackHooks(PlaybackHooks hooks)
{
    Playback& p = playback();
    platform::LockGuard lock(p.hook_mutex);
    p.hooks = std::move(hooks);
}

} // namespace kestrel
