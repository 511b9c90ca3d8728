#include "platform/audio_device.h"

#include "platform/clock.h"
#include "platform/events.h"
#include "platform/wav_file.h"
#include "platform/sync.h"

#include <alsa/asoundlib.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <thread>

namespace platform {

namespace {

enum class Backend { PortAudio, File, Null };

struct DeviceText {
    Backend backend = Backend::PortAudio;
    std::string path;  // file: the path; PortAudio: the device name
    std::string query; // file output: after '?'
};

DeviceText parseDevice(const std::string& device)
{
    DeviceText d;
    if (device == "null") {
        d.backend = Backend::Null;
    } else if (device.rfind("file:", 0) == 0) {
        d.backend = Backend::File;
        d.path = device.substr(5);
        const size_t q = d.path.find('?');
        if (q != std::string::npos) {
            d.query = d.path.substr(q + 1);
            d.path.resize(q);
        }
    } else {
        d.path = device;
    }
    return d;
}

std::string queryValue(const std::string& query, const std::string& key)
{
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(at, end - at);
        if (pair.rfind(key + "=", 0) == 0) return pair.substr(key.size() + 1);
        at = end + 1;
    }
    return {};
}

// One line on standard error when a device plays or records its first frame.
void announceFirstFrame(const char* direction, const std::string& device)
{
    const int64_t ms = unixMillis();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm utc {};
    gmtime_r(&secs, &utc);
    char when[64];
    std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    std::fprintf(stderr, "audio %s %s: first frame at %s\n", direction, device.empty() ? "default" : device.c_str(),
                 when);
}

// A paced device's first sample is heard or recorded now: tools that line up
// a file microphone with a file speaker place their samples by this time.
void announceTimeline(const char* direction, const std::string& device)
{
    Event event;
    event.kind = EventKind::Audio;
    event.text = "device";
    event.fields = {direction, device, std::to_string(unixMillis())};
    emitEvent(event);
}

// ALSA writes its probing noise to standard error unless given a handler.
extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

bool portAudioReady(std::string& error)
{
    static std::once_flag once;
    static PaError status = paNoError;
    std::call_once(once, [] {
        snd_lib_error_set_handler(quietAlsa);
        setenv("JACK_NO_START_SERVER", "1", 0);
        // The JACK client library prints its failed probe on standard error
        // with no way to silence it: hide the descriptor while PortAudio starts.
        std::fflush(stderr);
        const int saved = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 2);
        status = Pa_Initialize();
        if (saved >= 0) dup2(saved, 2);
        if (null >= 0) close(null);
        if (saved >= 0) close(saved);
    });
    if (status != paNoError) {
        error = std::string("sound system does not start: ") + Pa_GetErrorText(status);
        return false;
    }
    return true;
}

// ALSA plugin aliases that PortAudio lists beside the real cards; nobody
// picks them as a phone's speaker.
bool isAlsaAlias(const std::string& name)
{
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    static const char* aliases[] = {"dmix",       "dsnoop",     "surround",   "iec958",    "spdif", "front",
                                    "rear",       "center_lfe", "side",       "hdmi",      "modem", "phoneline",
                                    "sysdefault", "lavrate",    "samplerate", "speexrate", "upmix", "vdownmix",
                                    "jack",       "oss",        "speex",      "null"};
    for (const char* alias : aliases)
        if (lower.rfind(alias, 0) == 0) return true;
    return false;
}

PaDeviceIndex findPortAudioDevice(const std::string& name, bool output)
{
    if (name.empty() || name == "default") return output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info && name == info->name && (output ? info->maxOutputChannels : info->maxInputChannels) > 0) return i;
    }
    return paNoDevice;
}

} // namespace

// ---------------------------------------------------------------- input

struct AudioInput {
    Backend backend = Backend::Null;
    std::string name;
    AudioInputCallback callback;
    std::string pcm; // file input: the whole file
    int speed = 1;   // file input: buffers delivered per 200 ms
    std::atomic<int64_t> buffers {0};
    PaStream* stream = nullptr;
    std::jthread thread;
};

void AudioInputCloser::operator()(AudioInput* input) const
{
    if (!input) return;
    input->thread.request_stop();
    if (input->thread.joinable()) input->thread.join();
    if (input->stream) {
        Pa_StopStream(input->stream);
        Pa_CloseStream(input->stream);
    }
    delete input;
}

int64_t audioInputBuffers(const AudioInput& input)
{
    return input.buffers.load();
}

namespace {

constexpr size_t kInputSamples = 1600; // 200 ms at 8000 Hz

void deliver(AudioInput& in, const int16_t* samples, size_t count)
{
    if (in.buffers.load() == 0) announceFirstFrame("input", in.name);
    in.callback(samples, count);
    in.buffers.fetch_add(1);
}

// A file or null input: a buffer every 200 ms of the monotonic clock, as a
// microphone fills them (speed times as often for a sped-up file).
void pacedInput(AudioInput& in, int64_t start, std::stop_token stop)
{
    std::vector<int16_t> buffer(kInputSamples);
    for (int64_t i = 0;; ++i) {
        if (!sleepUntilTick(start + (i + 1) * 200 / in.speed, stop)) return;
        std::fill(buffer.begin(), buffer.end(), 0);
        const size_t from = static_cast<size_t>(i) * kInputSamples * 2;
        for (size_t s = 0; s < kInputSamples && from + 2 * s + 1 < in.pcm.size(); ++s) {
            const auto lo = static_cast<uint8_t>(in.pcm[from + 2 * s]);
            const auto hi = static_cast<uint8_t>(in.pcm[from + 2 * s + 1]);
            buffer[s] = static_cast<int16_t>(lo | (hi << 8));
        }
        deliver(in, buffer.data(), buffer.size());
    }
}

void portAudioInput(AudioInput& in, std::stop_token stop)
{
    std::vector<int16_t> buffer(kInputSamples);
    while (!stop.stop_requested()) {
        const PaError e = Pa_ReadStream(in.stream, buffer.data(), kInputSamples);
        if (e != paNoError && e != paInputOverflowed) return; // device gone
        deliver(in, buffer.data(), buffer.size());
    }
}

} // namespace

AudioInputPtr openAudioInput(const std::string& device, AudioInputCallback callback, std::string& error)
{
    const DeviceText d = parseDevice(device);
    AudioInputPtr in(new AudioInput);
    in->backend = d.backend;
    in->name = device;
    in->callback = std::move(callback);
    if (d.backend == Backend::File) {
        const std::string speed = queryValue(d.query, "speed");
        if (!speed.empty()) {
            int value = 0;
            const auto [end, failed] = std::from_chars(speed.data(), speed.data() + speed.size(), value);
            if (failed != std::errc() || end != speed.data() + speed.size() || value < 1 || value > 20) {
                error = "input file speed \"" + speed + "\" is not a whole number from 1 to 20";
                return {};
            }
            in->speed = value;
        }
        if (!readPhonePcmWav(d.path, in->pcm, error)) return {};
    } else if (d.backend == Backend::PortAudio) {
        if (!portAudioReady(error)) return {};
        const PaDeviceIndex index = findPortAudioDevice(d.path, false);
        if (index == paNoDevice) {
            error = d.path.empty() ? "no microphone" : "no microphone named " + d.path;
            return {};
        }
        PaStreamParameters p {};
        p.device = index;
        p.channelCount = 1;
        p.sampleFormat = paInt16;
        p.suggestedLatency = Pa_GetDeviceInfo(index)->defaultHighInputLatency;
        const PaError e = Pa_OpenStream(&in->stream, &p, nullptr, 8000, kInputSamples, paClipOff, nullptr, nullptr);
        if (e != paNoError || Pa_StartStream(in->stream) != paNoError) {
            error = std::string("microphone does not open: ") + Pa_GetErrorText(e);
            if (in->stream) Pa_CloseStream(in->stream);
            in->stream = nullptr;
            return {};
        }
        AudioInput* raw = in.get();
        in->thread = std::jthread([raw](std::stop_token stop) { portAudioInput(*raw, stop); });
        return in;
    }
    // The clock starts at the open, not when the thread first runs.
    AudioInput* raw = in.get();
    const int64_t start = tickMillis();
    announceTimeline("input", in->name);
    in->thread = std::jthread([raw, start](std::stop_token stop) { pacedInput(*raw, start, stop); });
    return in;
}

std::vector<std::string> listAudioInputs(const std::string& device)
{
    const DeviceText d = parseDevice(device);
    if (d.backend != Backend::PortAudio) return {device};
    std::string error;
    if (!portAudioReady(error)) return {};
    std::vector<std::string> names;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info && info->maxInputChannels > 0 && !isAlsaAlias(info->name)) names.push_back(info->name);
    }
    return names;
}

// ---------------------------------------------------------------- output

struct AudioOutput {
    Backend backend = Backend::Null;
    std::string name;
    AudioFormat format;
    size_t capacity = 0; // paced outputs: buffer bytes (one second); set before the pacing thread starts
    int64_t start_tick = 0;
    Mutex mutex;
    std::string buffered GUARDED_BY(mutex); // paced outputs: frames not yet played
    bool paused GUARDED_BY(mutex) = false;
    int64_t paused_since GUARDED_BY(mutex) = 0;
    int64_t paused_ms GUARDED_BY(mutex) = 0;
    int64_t consumed GUARDED_BY(mutex) = 0; // frames played since start
    // The pacing thread's own, and the closer's once it has joined.
    std::FILE* file = nullptr;
    uint32_t data_bytes = 0;
    int64_t header_tick = 0;
    std::atomic<int64_t> played {0};
    std::atomic<int64_t> played_tick {0};
    bool announced = false;
    PaStream* stream = nullptr;
    int64_t pa_buffer = 0;
    std::jthread thread;
};

namespace {

WavInfo wavFormatOf(const AudioFormat& f)
{
    WavInfo w;
    w.format_tag = f.is_float ? 3 : 1;
    w.channels = static_cast<uint16_t>(f.channels);
    w.sample_rate = static_cast<uint32_t>(f.rate);
    w.block_align = static_cast<uint16_t>(f.blockAlign());
    w.byte_rate = static_cast<uint32_t>(f.rate * f.blockAlign());
    w.bits = static_cast<uint16_t>(f.bits);
    return w;
}

void writeHeader(AudioOutput& out)
{
    if (!out.file) return;
    std::fflush(out.file);
    const std::string h = wavHeader(wavFormatOf(out.format), out.data_bytes);
    std::fseek(out.file, 0, SEEK_SET);
    std::fwrite(h.data(), 1, h.size(), out.file);
    std::fseek(out.file, 0, SEEK_END);
    std::fflush(out.file);
}

// Plays (consumes) the frames due by now: buffered ones first, silence for
// the rest, appended to the file when there is one.
void pacedStep(AudioOutput& out, int64_t now)
{
    LockGuard lock(out.mutex);
    if (!out.paused) {
        const int64_t due = (now - out.start_tick - out.paused_ms) * out.format.rate / 1000 - out.consumed;
        if (due > 0) {
            const size_t align = static_cast<size_t>(out.format.blockAlign());
            const size_t bytes = static_cast<size_t>(due) * align;
            const size_t from_buffer = std::min(bytes, out.buffered.size());
            if (from_buffer > 0 && !out.announced) {
                announceFirstFrame("output", out.name);
                out.announced = true;
            }
            if (out.file) {
                std::fwrite(out.buffered.data(), 1, from_buffer, out.file);
                const std::string silence(bytes - from_buffer, '\0');
                std::fwrite(silence.data(), 1, silence.size(), out.file);
                out.data_bytes += static_cast<uint32_t>(bytes);
            }
            out.buffered.erase(0, from_buffer);
            out.consumed += due;
            out.played.store(out.consumed);
        }
    }
    if (out.file && now - out.header_tick >= 1000) {
        writeHeader(out);
        out.header_tick = now;
    }
    out.played_tick.store(now);
}

void pacedOutput(AudioOutput& out, std::stop_token stop)
{
    for (;;) {
        const int64_t now = tickMillis();
        pacedStep(out, now);
        if (!sleepUntilTick(now + 20, stop)) return;
    }
}

bool parseOutputFormat(const std::string& query, AudioFormat& f, std::string& error)
{
    const std::string rate = queryValue(query, "rate");
    const std::string channels = queryValue(query, "channels");
    const std::string format = queryValue(query, "format");
    if (!rate.empty()) f.rate = std::atoi(rate.c_str());
    if (!channels.empty()) f.channels = std::atoi(channels.c_str());
    if (f.rate < 1000 || f.rate > 384000 || f.channels < 1 || f.channels > 8) {
        error = "output file format out of range (rate " + rate + ", channels " + channels + ")";
        return false;
    }
    if (format.empty() || format == "s16") {
        f.bits = 16;
    } else if (format == "s24") {
        f.bits = 24;
    } else if (format == "s32") {
        f.bits = 32;
    } else if (format == "f32") {
        f.bits = 32;
        f.is_float = true;
    } else {
        error = "unknown output file sample format \"" + format + "\" (s16, s24, s32 or f32)";
        return false;
    }
    return true;
}

} // namespace

void AudioOutputCloser::operator()(AudioOutput* out) const
{
    if (!out) return;
    out->thread.request_stop();
    if (out->thread.joinable()) out->thread.join();
    if (out->file) {
        writeHeader(*out);
        std::fclose(out->file);
    }
    if (out->stream) {
        Pa_AbortStream(out->stream);
        Pa_CloseStream(out->stream);
    }
    delete out;
}

std::vector<AudioOutputInfo> listAudioOutputs(const std::string& device)
{
    const DeviceText d = parseDevice(device);
    if (d.backend != Backend::PortAudio) return {{device, d.backend == Backend::Null ? "Null output" : d.path}};
    std::string error;
    if (!portAudioReady(error)) return {};
    std::vector<AudioOutputInfo> list;
    if (Pa_GetDefaultOutputDevice() != paNoDevice) list.push_back({"default", "Default output"});
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels <= 0 || isAlsaAlias(info->name)) continue;
        if (std::string(info->name) == "default") continue; // offered first
        list.push_back({info->name, info->name});
    }
    return list;
}

AudioOutputPtr openAudioOutput(const std::string& device, const std::string& id, std::string& error)
{
    const DeviceText d = parseDevice(device);
    AudioOutputPtr out(new AudioOutput);
    out->backend = d.backend;
    out->name = device;
    if (d.backend == Backend::PortAudio) {
        if (!portAudioReady(error)) return {};
        const std::string want = id.empty() ? d.path : id;
        const PaDeviceIndex index = findPortAudioDevice(want, true);
        if (index == paNoDevice) {
            error = want.empty() || want == "default" ? "no output device" : "no output device named " + want;
            return {};
        }
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        out->name = info->name;
        out->format.rate = info->defaultSampleRate > 0 ? static_cast<int>(info->defaultSampleRate) : 48000;
        out->format.channels = std::min(2, info->maxOutputChannels);
        out->format.bits = 16;
        PaStreamParameters p {};
        p.device = index;
        p.channelCount = out->format.channels;
        p.sampleFormat = paInt16;
        p.suggestedLatency = 1.0; // about a second of buffer, as the render step expects
        PaError e = Pa_OpenStream(&out->stream, nullptr, &p, out->format.rate, paFramesPerBufferUnspecified, paClipOff,
                                  nullptr, nullptr);
        if (e == paNoError) e = Pa_StartStream(out->stream);
        if (e != paNoError) {
            error = std::string("output does not open: ") + Pa_GetErrorText(e);
            if (out->stream) Pa_CloseStream(out->stream);
            out->stream = nullptr;
            return {};
        }
        const long avail = Pa_GetStreamWriteAvailable(out->stream);
        out->pa_buffer = std::max<long>(avail, out->format.rate / 10);
        return out;
    }
    if (d.backend == Backend::File) {
        if (!parseOutputFormat(d.query, out->format, error)) return {};
        out->file = std::fopen(d.path.c_str(), "w+b");
        if (!out->file) {
            error = "cannot write " + d.path;
            return {};
        }
    }
    out->capacity = static_cast<size_t>(out->format.rate) * static_cast<size_t>(out->format.blockAlign());
    out->start_tick = tickMillis();
    announceTimeline("output", out->name);
    out->header_tick = out->start_tick;
    out->played_tick = out->start_tick;
    writeHeader(*out);
    AudioOutput* raw = out.get();
    out->thread = std::jthread([raw](std::stop_token stop) { pacedOutput(*raw, stop); });
    return out;
}

AudioFormat audioOutputFormat(const AudioOutput& out)
{
    return out.format;
}

int64_t audioOutputBufferFrames(AudioOutput& out)
{
    if (out.stream) return out.pa_buffer;
    return static_cast<int64_t>(out.capacity) / out.format.blockAlign();
}

int64_t audioOutputFreeFrames(AudioOutput& out)
{
    if (out.stream) {
        const long avail = Pa_GetStreamWriteAvailable(out.stream);
        if (avail < 0) return -1;
        out.pa_buffer = std::max<int64_t>(out.pa_buffer, avail);
        return avail;
    }
    LockGuard lock(out.mutex);
    return static_cast<int64_t>(out.capacity - std::min(out.capacity, out.buffered.size())) / out.format.blockAlign();
}

bool audioOutputWrite(AudioOutput& out, const char* bytes, size_t frames)
{
    if (out.stream) {
        if (!out.announced) {
            announceFirstFrame("output", out.name);
            out.announced = true;
        }
        const PaError e = Pa_WriteStream(out.stream, bytes, static_cast<unsigned long>(frames));
        return e == paNoError || e == paOutputUnderflowed;
    }
    LockGuard lock(out.mutex);
    const size_t n = std::min(frames * static_cast<size_t>(out.format.blockAlign()),
                              out.capacity - std::min(out.capacity, out.buffered.size()));
    out.buffered.append(bytes, n);
    return true;
}

void audioOutputPause(AudioOutput& out)
{
    if (out.stream) {
        Pa_StopStream(out.stream);
        return;
    }
    LockGuard lock(out.mutex);
    if (!out.paused) {
        out.paused = true;
        out.paused_since = tickMillis();
    }
}

void audioOutputResume(AudioOutput& out)
{
    if (out.stream) {
        Pa_StartStream(out.stream);
        return;
    }
    LockGuard lock(out.mutex);
    if (out.paused) {
        out.paused = false;
        out.paused_ms += tickMillis() - out.paused_since;
    }
}

void audioOutputReset(AudioOutput& out)
{
    if (out.stream) {
        Pa_AbortStream(out.stream);
        Pa_StartStream(out.stream);
        return;
    }
    LockGuard lock(out.mutex);
    out.buffered.clear();
}

int64_t audioOutputPlayedFrames(const AudioOutput& out)
{
    return out.played.load();
}

int64_t audioOutputPlayedTick(const AudioOutput& out)
{
    return out.played_tick.load();
}

} // namespace platform
