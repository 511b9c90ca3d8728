// Audio commands: the codec on WAV files, a message recording fed from a
// file, and the sound devices this machine offers.
//
// Stable forms: audio-encode → {"blocks"}; audio-decode → {"samples"};
// audio-record → {"seconds", "bytes"}; audio-devices → {"inputs", "outputs",
// "chosen"}. A bad file answers {"error"} with exit status 1.
#include "audio/capture.h"
#include "audio/codec.h"
#include "audio/gsm_wav.h"
#include "audio/playback.h"
#include "platform/audio_device.h"
#include "platform/config.h"
#include "platform/wav_file.h"
#include "tools/kestrel-tool/tool.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace tool {

using json = nlohmann::json;

namespace {

int answerError(const std::string& error)
{
    printJson({{"error", error}});
    return 1;
}

int encode(const Args& args)
{
    if (!requireOptions(args, {"in", "out"}, "audio-encode")) return 1;
    std::string pcm;
    std::string error;
    if (!platform::readPhonePcmWav(args.get("in"), pcm, error)) return answerError(error);
    if (!kestrel::openCodec()) return answerError("the codec does not open");
    const std::string gsm = kestrel::encodePcm(pcm);
    if (!kestrel::writeGsmWav(args.get("out"), gsm)) return answerError("cannot write " + args.get("out"));
    return printJson({{"blocks", gsm.size() / kestrel::kGsmBlockBytes}});
}

int decode(const Args& args)
{
    if (!requireOptions(args, {"in", "out"}, "audio-decode")) return 1;
    std::string gsm;
    std::string error;
    if (!kestrel::readGsmWav(args.get("in"), gsm, error)) return answerError(error);
    if (!kestrel::openCodec()) return answerError("the codec does not open");
    std::string pcm;
    for (const std::string& block : kestrel::decodeGsm(gsm)) pcm += block;
    if (!platform::writePhonePcmWav(args.get("out"), pcm)) return answerError("cannot write " + args.get("out"));
    return printJson({{"samples", pcm.size() / 2}});
}

// Feeds the file through the capture buffer in 200 ms buffers, taking a
// recording step each second as the media loop does, then the flush of the
// hang-up (with --flush).
int record(const Args& args)
{
    if (!requireOptions(args, {"in"}, "audio-record")) return 1;
    std::string pcm;
    std::string error;
    if (!platform::readPhonePcmWav(args.get("in"), pcm, error)) return answerError(error);
    if (!kestrel::openCodec()) return answerError("the codec does not open");
    const bool greeting = args.has("greeting");
    platform::Mutex state;
    kestrel::Recording recording;
    kestrel::clearCapture();
    kestrel::setAudioStatusHook([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    const size_t buffer = 3200;
    for (size_t at = 0; at < pcm.size(); at += buffer) {
        const std::string piece = pcm.substr(at, buffer);
        std::vector<int16_t> samples(piece.size() / 2);
        std::memcpy(samples.data(), piece.data(), samples.size() * 2);
        kestrel::captureSamples(samples.data(), samples.size());
        if ((at / buffer) % 5 == 4) kestrel::recordStep(false, greeting, recording, state);
    }
    kestrel::recordStep(args.has("flush"), greeting, recording, state);
    return printJson({{"seconds", recording.seconds}, {"bytes", recording.gsm.size()}});
}

int devices(const Args&)
{
    const platform::Config c = platform::config();
    json outputs = json::array();
    const std::vector<kestrel::OutputDevice> list = kestrel::listOutputs();
    for (const kestrel::OutputDevice& d : list) outputs.push_back({{"id", d.id}, {"label", d.label}, {"name", d.name}});
    return printJson({{"inputs", platform::listAudioInputs(c.audio_input)},
                      {"outputs", outputs},
                      {"chosen", kestrel::chooseOutput(list, kestrel::chosenOutput())}});
}

} // namespace

std::vector<Command> audioCommands()
{
    return {
        {"audio-encode", "--in PCM.wav --out GSM.wav", "encode 8 kHz mono 16-bit PCM as a GSM 6.10 WAV", encode},
        {"audio-decode", "--in GSM.wav --out PCM.wav", "decode a GSM 6.10 WAV to 8 kHz mono 16-bit PCM", decode},
        {"audio-record", "--in PCM.wav [--greeting] [--flush]",
         "record a message (or greeting) from a PCM WAV as the phone would", record},
        {"audio-devices", "", "the sound inputs and outputs, and the chosen output", devices},
    };
}

} // namespace tool
