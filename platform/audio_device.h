// Sound devices: an input that delivers 8000 Hz mono 16-bit buffers on its own
// thread, and output streams that take frames in the stream's own format.
//
// The device text (the configuration keys audio_input and audio_output)
// chooses the backend:
//   ""  or a device name   PortAudio: the machine's default device, or the one named
//   "file:PATH[?speed=S]"  input: reads an 8000 Hz mono 16-bit PCM WAV and delivers it in
//                          200 ms buffers paced by the monotonic clock, then silence; with
//                          speed (1 to 20) S buffers every 200 ms, so that a test process
//                          that cannot move another's clock hears a long speech sooner;
//                          output: "file:PATH[?rate=R&channels=C&format=s16|s24|s32|f32]"
//                          (default 8000 Hz mono s16) consumes frames at real time from a
//                          one-second buffer, writes silence while nothing is pending, and
//                          keeps the WAV header valid (rewritten every second and at close)
//   "null"                 input: silence; output: swallows; both paced like a device
// Opening a device writes one line on standard error naming the device and the
// wall-clock time of its first frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Receives count samples of 8000 Hz mono 16-bit sound on the device's thread.
using AudioInputCallback = std::function<void(const int16_t* samples, size_t count)>;

struct AudioInput;
struct AudioInputCloser {
    void operator()(AudioInput* input) const; // stops the thread and closes the device
};
using AudioInputPtr = std::unique_ptr<AudioInput, AudioInputCloser>;

// Opens the input named by device and starts delivering buffers of 1600
// samples (200 ms) to callback. Empty with a reason in error when the device
// does not open (a file that is not 8000 Hz mono 16-bit PCM names what it is).
AudioInputPtr openAudioInput(const std::string& device, AudioInputCallback callback, std::string& error);

// Buffers delivered so far (tests wait on it while moving the clock).
int64_t audioInputBuffers(const AudioInput& input);

struct AudioFormat {
    int rate = 8000;
    int channels = 1;
    int bits = 16;         // per sample: 16, 24 or 32
    bool is_float = false; // 32-bit IEEE float samples
    int blockAlign() const { return channels * bits / 8; }
};

// An output device as the machine names it: id (the text that opens it
// again) and the name a person reads.
struct AudioOutputInfo {
    std::string id;
    std::string name;
};

// The outputs a user may pick for the backend of device: for PortAudio the
// default device and the real cards (ALSA plugin aliases left out); for a
// file or null device that one device.
std::vector<AudioOutputInfo> listAudioOutputs(const std::string& device);

// The inputs' names for the backend of device.
std::vector<std::string> listAudioInputs(const std::string& device);

struct AudioOutput;
struct AudioOutputCloser {
    void operator()(AudioOutput* output) const; // finishes the file header, stops the stream
};
using AudioOutputPtr = std::unique_ptr<AudioOutput, AudioOutputCloser>;

// Opens an output stream of the backend of device (for PortAudio, id picks
// the device; empty is the default) with a buffer of about one second, and
// starts it. Empty with a reason in error on failure.
AudioOutputPtr openAudioOutput(const std::string& device, const std::string& id, std::string& error);

AudioFormat audioOutputFormat(const AudioOutput& output);

// Frames the stream's buffer holds in all, and frames free in it now; -1 when
// the device is gone (invalidated): the stream should then be closed.
int64_t audioOutputBufferFrames(AudioOutput& output);
int64_t audioOutputFreeFrames(AudioOutput& output);

// Writes frames (bytes in the stream's format, at most the free frames).
// False when the device is gone.
bool audioOutputWrite(AudioOutput& output, const char* bytes, size_t frames);

// Pause stops playing (frames stay buffered); resume plays on; reset drops the
// buffered frames.
void audioOutputPause(AudioOutput& output);
void audioOutputResume(AudioOutput& output);
void audioOutputReset(AudioOutput& output);

// Frames a paced output has played (consumed) so far, silence included.
int64_t audioOutputPlayedFrames(const AudioOutput& output);
// The monotonic tick up to which a paced output has played.
int64_t audioOutputPlayedTick(const AudioOutput& output);

} // namespace platform
