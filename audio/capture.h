// Microphone capture: the shared capture buffer, the microphone, the speech
// chunks of a live call, whole recorded seconds of a message or greeting, and
// the two tones. All sound is 8000 Hz mono 16-bit little-endian PCM.
//
// Locks: the audio mutex guards the capture buffer (and the playback queue);
// recordStep runs under its own recorder mutex and takes the caller's state
// mutex and the audio mutex one after the other, never both.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/sync.h"

namespace kestrel {

// The mutex of the capture buffer and the playback queue.
platform::Mutex& audioMutex();

// Settings the upper layers keep: the capture limit in seconds (60 or 300),
// the mute switch, and the volume percent (50, 100, 150, 200) that scales
// captured and played sound.
void setCaptureLimitSeconds(int seconds);
void setMuteSwitch(bool on);
bool muteSwitch();
void setVolumePercent(int percent);
int volumePercent();

// Scales samples to trunc(sample × percent / 100), clamped to 16 bits.
void scaleSamples(int16_t* samples, size_t count, int percent);

// Captured sound before this monotonic tick is thrown away.
void setMicMuteUntil(int64_t tick);

// The microphone's delivery: appends count samples to the capture buffer
// (scaled by the volume) unless the mic is muted, then bounds the buffer to
// max(limit, 60) seconds, dropping the oldest sound.
void captureSamples(const int16_t* samples, size_t count);
// The test line: while it is on, the microphone's own sound is replaced by
// the call speech handed to echoHeard, delivered again delay_ms after it
// came (silence while nothing is due), as a telephone test line plays back
// what it heard. Turning it off forgets what was pending.
void setEchoLine(bool on, int64_t delay_ms = 1000);
bool echoLine();
// Call speech from the peer as PCM (whole samples), for the test line.
void echoHeard(const std::string& pcm);

// Bytes in the capture buffer.
size_t capturedBytes();
void clearCapture();

// Opens the input of the audio_input setting (and the codec) once; true when
// open. closeMicrophone stops it (shutdown).
bool openMicrophone();
void closeMicrophone();

// The call's speech-started flag: set once a chunk held speech, cleared by the
// media loop when no call is connected.
void setCallSpeechStarted(bool started);
bool callSpeechStarted();

// The size bounds of the next call chunk for this state, pace (the media
// loop's send pace in ms) and jobs in flight.
struct ChunkBounds {
    size_t minimum = 0;
    size_t maximum = 0;
};
ChunkBounds chunkBounds(bool speech_started, int64_t pace_ms, int jobs_in_flight);

// The mean |sample| over every step-th sample of pcm (0 for no samples).
double meanLevel(const std::string& pcm, size_t step);

// Takes the next chunk of whole codec blocks within the bounds and answers
// it encoded, or empty when there is too little sound, when the mute switch is
// on (the buffer is cleared) or when the chunk is silence (mean level of
// every 8th sample under 180; it is dropped).
std::string nextCallChunk(int jobs_in_flight, int64_t pace_ms);

// True when one second (16,000 bytes) holds the phone's own ring tone in two
// or more of its quarters (Goertzel test at 440/480 Hz against 200, 700,
// 1200 and 2000 Hz).
bool isRingToneSecond(const std::string& second);

// A message or greeting recording (call fields kept by the caller under its
// state mutex).
struct Recording {
    std::string gsm;
    int seconds = 0;
    bool speech_started = false;
};

// Moves whole seconds from the capture buffer into the recording (at most 20
// for a greeting, 60 for a message in all). With flush, a remainder of at least
// 100 ms is padded with silence to one more second. Ring-tone seconds, and
// silent seconds before the first speech, are dropped. Reports "Recording  N /
// 60" or "Greeting  N / 20" through the status hook for each second kept.
void recordStep(bool flush, bool greeting, Recording& recording, platform::Mutex& state_mutex);

// Where status lines go (the phone's status text); nothing when unset.
void setAudioStatusHook(std::function<void(const std::string&)> hook);

// The tones' sound: one second of 440 + 480 Hz, 450 ms of 880 Hz.
std::string ringTonePcm();
std::string beepPcm();

// Queues the ring tone and mutes the microphone for 1.3 s.
void playRingTone();
// Queues the beep, mutes the microphone for 0.9 s, waits 650 ms, clears the
// capture buffer and keeps the microphone muted 150 ms more.
void playBeep();

} // namespace kestrel
