#include "audio/capture.h"

#include "audio/codec.h"
#include "audio/playback.h"
#include "platform/audio_device.h"
#include "platform/clock.h"
#include "platform/config.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <numbers>
#include <vector>

namespace kestrel {

namespace {

struct Capture {
    std::string buffer GUARDED_BY(audioMutex());
    std::atomic<int> limit_seconds {60};
    std::atomic<int64_t> mute_until {0};
    std::atomic<bool> mute_switch {false};
    std::atomic<int> volume {100};
    std::atomic<bool> call_speech {false};
    platform::Mutex recorder;
    platform::Mutex mic_mutex;
    platform::AudioInputPtr mic GUARDED_BY(mic_mutex);
    platform::Mutex hook_mutex;
    std::function<void(const std::string&)> status_hook GUARDED_BY(hook_mutex);
    // The test line: speech heard and the tick at which it is due back, and
    // how far into the oldest it has been said.
    bool echo_on GUARDED_BY(audioMutex()) = false;
    int64_t echo_delay_ms GUARDED_BY(audioMutex()) = 1000;
    std::deque<std::pair<int64_t, std::string>> echo_pending GUARDED_BY(audioMutex());
    size_t echo_offset GUARDED_BY(audioMutex()) = 0;
    size_t echo_bytes GUARDED_BY(audioMutex()) = 0;
};

Capture& capture()
{
    static Capture c;
    return c;
}

int16_t sampleAt(const std::string& pcm, size_t i)
{
    const auto lo = static_cast<uint8_t>(pcm[2 * i]);
    const auto hi = static_cast<uint8_t>(pcm[2 * i + 1]);
    return static_cast<int16_t>(lo | (hi << 8));
}

void report(const std::string& line)
{
    Capture& c = capture();
    std::function<void(const std::string&)> hook;
    {
        platform::LockGuard lock(c.hook_mutex);
        hook = c.status_hook;
    }
    if (hook) hook(line);
}

double goertzel(const std::string& pcm, size_t first, size_t count, double hz)
{
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / 8000.0);
    double s1 = 0;
    double s2 = 0;
    for (size_t i = first; i < first + count; ++i) {
        const double s = sampleAt(pcm, i) + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

std::string pcmOf(const std::vector<int16_t>& samples)
{
    std::string pcm(samples.size() * 2, '\0');
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto v = static_cast<uint16_t>(samples[i]);
        pcm[2 * i] = static_cast<char>(v & 0xFF);
        pcm[2 * i + 1] = static_cast<char>(v >> 8);
    }
    return pcm;
}

// Replaces count samples with the test line's sound that is due by now
// (silence for the rest).
void takeEchoLocked(Capture& c, int16_t* samples, size_t count) REQUIRES(audioMutex())
{
    std::fill(samples, samples + count, int16_t {0});
    const int64_t now = platform::tickMillis();
    size_t filled = 0;
    while (filled < count && !c.echo_pending.empty() && c.echo_pending.front().first <= now) {
        const std::string& pcm = c.echo_pending.front().second;
        const size_t take = std::min(count - filled, (pcm.size() - c.echo_offset) / 2);
        for (size_t i = 0; i < take; ++i) samples[filled + i] = sampleAt(pcm, c.echo_offset / 2 + i);
        filled += take;
        c.echo_offset += take * 2;
        if (c.echo_offset + 1 >= pcm.size()) {
            c.echo_bytes -= pcm.size();
            c.echo_pending.pop_front();
            c.echo_offset = 0;
        }
    }
}

} // namespace

platform::Mutex& audioMutex()
{
    static platform::Mutex m;
    return m;
}

void setCaptureLimitSeconds(int seconds)
{
    capture().limit_seconds = seconds;
}

void setMuteSwitch(bool on)
{
    capture().mute_switch = on;
}

bool muteSwitch()
{
    return capture().mute_switch;
}

void setVolumePercent(int percent)
{
    capture().volume = percent;
}

int volumePercent()
{
    return capture().volume;
}

void scaleSamples(int16_t* samples, size_t count, int percent)
{
    for (size_t i = 0; i < count; ++i) {
        const int64_t v = static_cast<int64_t>(samples[i]) * percent / 100;
        samples[i] = static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
    }
}

void setMicMuteUntil(int64_t tick)
{
    capture().mute_until = tick;
}

void setEchoLine(bool on, int64_t delay_ms)
{
    Capture& c = capture();
    platform::LockGuard lock(audioMutex());
    c.echo_on = on;
    c.echo_delay_ms = std::max<int64_t>(delay_ms, 0);
    c.echo_pending.clear();
    c.echo_offset = 0;
    c.echo_bytes = 0;
}

bool echoLine()
{
    platform::LockGuard lock(audioMutex());
    return capture().echo_on;
}

void echoHeard(const std::string& pcm)
{
    Capture& c = capture();
    platform::LockGuard lock(audioMutex());
    if (!c.echo_on || pcm.size() < 2) return;
    c.echo_pending.emplace_back(platform::tickMillis() + c.echo_delay_ms, pcm.substr(0, pcm.size() & ~size_t {1}));
    c.echo_bytes += c.echo_pending.back().second.size();
    // A minute behind at most: beyond that the line has fallen too far back.
    while (c.echo_bytes > 60 * kPcmSecondBytes) {
        c.echo_bytes -= c.echo_pending.front().second.size();
        c.echo_pending.pop_front();
        c.echo_offset = 0;
    }
}

void captureSamples(const int16_t* samples, size_t count)
{
    Capture& c = capture();
    platform::LockGuard lock(audioMutex());
    if (platform::tickMillis() >= c.mute_until && count >= 1) {
        std::vector<int16_t> copy(samples, samples + count);
        if (c.echo_on) takeEchoLocked(c, copy.data(), copy.size());
        const int percent = c.volume;
        if (percent != 100) scaleSamples(copy.data(), copy.size(), percent);
        c.buffer += pcmOf(copy);
    }
    const size_t keep = static_cast<size_t>(std::max(c.limit_seconds.load(), 60)) * kPcmSecondBytes;
    if (c.buffer.size() > keep + 32000) c.buffer.erase(0, c.buffer.size() - keep);
}

size_t capturedBytes()
{
    platform::LockGuard lock(audioMutex());
    return capture().buffer.size();
}

void clearCapture()
{
    platform::LockGuard lock(audioMutex());
    capture().buffer.clear();
}

bool openMicrophone()
{
    Capture& c = capture();
    platform::LockGuard lock(c.mic_mutex);
    if (c.mic) return true;
    if (!openCodec()) return false;
    std::string error;
    c.mic = platform::openAudioInput(platform::config().audio_input, captureSamples, error);
    if (!c.mic) std::fprintf(stderr, "microphone: %s\n", error.c_str());
    return static_cast<bool>(c.mic);
}

void closeMicrophone()
{
    Capture& c = capture();
    platform::LockGuard lock(c.mic_mutex);
    c.mic.reset();
}

void setCallSpeechStarted(bool started)
{
    capture().call_speech = started;
}

bool callSpeechStarted()
{
    return capture().call_speech;
}

ChunkBounds chunkBounds(bool speech_started, int64_t pace_ms, int jobs_in_flight)
{
    if (!speech_started) return {1920, 32000};
    if (pace_ms > 1200) {
        const int64_t target =
            jobs_in_flight > 0 ? std::clamp<int64_t>(pace_ms / 2, 800, 4000) : std::min<int64_t>(pace_ms, 4000);
        const auto minimum = std::max<size_t>(static_cast<size_t>(16 * target / 640 * 640), 12800);
        return {minimum, 64000};
    }
    return {12800, 32000};
}

double meanLevel(const std::string& pcm, size_t step)
{
    const size_t samples = pcm.size() / 2;
    if (samples == 0) return 0;
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < samples; i += step, ++n) sum += std::abs(static_cast<int>(sampleAt(pcm, i)));
    return sum / static_cast<double>(n);
}

std::string nextCallChunk(int jobs_in_flight, int64_t pace_ms)
{
    Capture& c = capture();
    std::string chunk;
    {
        platform::LockGuard lock(audioMutex());
        if (c.mute_switch) {
            c.buffer.clear();
            return {};
        }
        const ChunkBounds bounds = chunkBounds(c.call_speech, pace_ms, jobs_in_flight);
        if (c.buffer.size() < bounds.minimum) return {};
        const size_t take = std::min(c.buffer.size(), bounds.maximum) / kPcmBlockBytes * kPcmBlockBytes;
        chunk = c.buffer.substr(0, take);
        c.buffer.erase(0, take);
    }
    // Every sample counts: a tone at a multiple of 1 kHz can sit at zero on
    // every 8th one.
    if (meanLevel(chunk, 1) < 180) return {};
    c.call_speech = true;
    return encodePcm(chunk);
}

bool isRingToneSecond(const std::string& second)
{
    int tones = 0;
    for (size_t q = 0; q < 4 && (q + 1) * 2000 * 2 <= second.size(); ++q) {
        const size_t first = q * 2000;
        int64_t loud = 0;
        for (size_t i = first; i < first + 2000; i += 4) loud += std::abs(static_cast<int>(sampleAt(second, i)));
        if (loud < 250000) continue;
        const double p440 = goertzel(second, first, 2000, 440);
        const double p480 = goertzel(second, first, 2000, 480);
        const double noise =
            std::max(1.0, goertzel(second, first, 2000, 200) + goertzel(second, first, 2000, 700) +
                              goertzel(second, first, 2000, 1200) + goertzel(second, first, 2000, 2000));
        if (p440 + p480 > 6 * noise && p440 > noise) ++tones;
    }
    return tones >= 2;
}

void recordStep(bool flush, bool greeting, Recording& recording, platform::Mutex& state_mutex)
{
    Capture& c = capture();
    platform::LockGuard recorder(c.recorder);
    const int limit = greeting ? 20 : 60;
    std::vector<std::string> seconds;
    {
        platform::LockGuard lock(audioMutex());
        if (c.mute_switch) {
            c.buffer.clear();
            return;
        }
        while (c.buffer.size() >= kPcmSecondBytes && static_cast<int>(seconds.size()) < limit) {
            seconds.push_back(c.buffer.substr(0, kPcmSecondBytes));
            c.buffer.erase(0, kPcmSecondBytes);
        }
        if (flush && c.buffer.size() >= 1600 && static_cast<int>(seconds.size()) < limit) {
            std::string last = std::move(c.buffer);
            c.buffer.clear();
            last.resize(kPcmSecondBytes, '\0');
            seconds.push_back(std::move(last));
        }
    }
    if (seconds.empty()) return;
    bool started;
    {
        platform::LockGuard lock(state_mutex);
        started = recording.speech_started;
    }
    std::vector<std::string> encoded;
    for (const std::string& second : seconds) {
        if (isRingToneSecond(second)) continue;
        if (!started && meanLevel(second, 1) < 180) continue;
        started = true;
        std::string gsm = encodePcm(second);
        if (!gsm.empty()) encoded.push_back(std::move(gsm));
    }
    std::vector<std::string> lines;
    {
        platform::LockGuard lock(state_mutex);
        recording.speech_started = recording.speech_started || started;
        for (const std::string& gsm : encoded) {
            if (recording.seconds >= limit) break;
            recording.gsm += gsm;
            ++recording.seconds;
            lines.push_back(greeting ? "Greeting  " + std::to_string(recording.seconds) + " / 20"
                                     : "Recording  " + std::to_string(recording.seconds) + " / 60");
        }
    }
    for (const std::string& line : lines) report(line);
}

void setAudioStatusHook(std::function<void(const std::string&)> hook)
{
    Capture& c = capture();
    platform::LockGuard lock(c.hook_mutex);
    c.status_hook = std::move(hook);
}

std::string ringTonePcm()
{
    std::vector<int16_t> s(8000);
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        double v = (std::sin(2 * std::numbers::pi * 440 * t) + std::sin(2 * std::numbers::pi * 480 * t)) * 0.25 * 28000;
        if (i < 400 || i > 7600) v *= 0.3;
        s[i] = static_cast<int16_t>(v);
    }
    return pcmOf(s);
}

std::string beepPcm()
{
    std::vector<int16_t> s(3600);
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        double v = std::sin(2 * std::numbers::pi * 880 * t) * 0.45 * 28000;
        if (i < 200 || i > 3400) v *= 0.35;
        s[i] = static_cast<int16_t>(v);
    }
    return pcmOf(s);
}

void playRingTone()
{
    queuePcm(ringTonePcm());
    setMicMuteUntil(platform::tickMillis() + 1300);
}

void playBeep()
{
    queuePcm(beepPcm());
    setMicMuteUntil(platform::tickMillis() + 900);
    platform::sleepForMillis(650);
    clearCapture();
    setMicMuteUntil(platform::tickMillis() + 150);
}

} // namespace kestrel
