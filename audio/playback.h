// Playback: the queue of 8000 Hz mono PCM blocks, the output choice, and the
// render step that converts each block to the open stream's format and feeds
// the device every 20 ms.
//
// Locks: the output mutex guards the open streams and the chosen output; it is
// taken before the audio mutex (audio/capture.h), as platform/sync.h orders.
#pragma once

#include "platform/audio_device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {

struct OutputDevice {
    std::string id;
    std::string label;
    std::string name;
};

// An output as a device layer reports it; form factor as the sound system
// names it (1 speakers, 2 line level, 3 headphones, 5 headset, 6 handset).
struct RawOutput {
    std::string id;
    std::string name;
    int form_factor = 1;
};

// The outputs worth offering: kept form factors only, names without nvidia,
// avermedia, spdif, s/pdif or digital audio; label = the name before " (",
// "Speakers" for an empty name; labels that occur twice become full names.
std::vector<OutputDevice> filterOutputs(const std::vector<RawOutput>& raw);

// The machine's outputs for the audio_output setting (sound-system outputs
// count as speakers).
std::vector<OutputDevice> listOutputs();

// The entry whose id is chosen_id; else the first whose label contains "main
// speaker" (any case); else the first; -1 for an empty list.
int chooseOutput(const std::vector<OutputDevice>& list, const std::string& chosen_id);

// The chosen output id (the "output" setting; empty = automatic). Choosing
// another closes the open streams.
void setChosenOutput(const std::string& id);
std::string chosenOutput();

// "Output: " + the chosen entry's label, or "Output: none".
std::string outputLabelText();
bool hasOutput();
// Closes the open streams and opens the chosen output; true when it opened.
bool reopenOutput();
void closeOutputs();

// Appends a PCM block to the playback queue.
void queuePcm(const std::string& pcm);
// Opens the codec when needed, decodes gsm and queues every block; false when
// the codec does not open or nothing decodes.
bool queueForPlayback(const std::string& gsm);
// The peer's speech in a call: queued as queueForPlayback does, and handed
// to the test line (echoHeard) when it is on.
bool queueCallAudio(const std::string& gsm);
void clearPlaybackQueue();
size_t playbackQueueBlocks();

// One 8000 Hz block converted to format by linear interpolation: ⌊rate ×
// samples / 8000⌋ frames (at least 1) of format.blockAlign() bytes.
std::string convertBlock(const std::string& pcm, const platform::AudioFormat& format);

// One render step (the render thread runs one every 20 ms).
void renderStep();
void startRenderThread();
void stopRenderThread(); // joins it

// Message playback: the card marks a message as playing; the render step
// reports its end through the ended hook.
void setMessagePlaying(bool playing);
bool messagePlaying();
bool playbackPaused();
int64_t pausedSecondsTotal();
uint32_t playbackGeneration();
void togglePause();
// Drops everything queued and pending, empties the device buffers, and ends
// message playback (generation moves on).
void stopPlayback();

struct PlaybackHooks {
    std::function<void()> ended;            // a playing message has finished
    std::function<void()> controls_changed; // paused or stopped: redraw the controls
};
void setPlaybackHooks(PlaybackHooks hooks);

} // namespace kestrel
