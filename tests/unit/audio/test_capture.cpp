#include "audio/capture.h"
#include "audio/codec.h"
#include "audio/playback.h"
#include "audio_test_util.h"
#include "platform/clock.h"
#include "platform/wav_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace audiotest;

void feed(const std::string& pcm)
{
    const std::vector<int16_t> s = samplesOf(pcm);
    for (size_t at = 0; at < s.size(); at += 1600)
        kestrel::captureSamples(s.data() + at, std::min<size_t>(1600, s.size() - at));
}

struct Capture : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(kestrel::openCodec());
        platform::setMockTime(1'700'000'000'000);
        kestrel::clearCapture();
        kestrel::clearPlaybackQueue();
        kestrel::setMuteSwitch(false);
        kestrel::setVolumePercent(100);
        kestrel::setCaptureLimitSeconds(60);
        kestrel::setMicMuteUntil(0);
        kestrel::setCallSpeechStarted(false);
        kestrel::setEchoLine(false);
        kestrel::setAudioStatusHook([this](const std::string& line) { status.push_back(line); });
    }
    void TearDown() override
    {
        kestrel::setAudioStatusHook(nullptr);
        kestrel::clearCapture();
        kestrel::clearPlaybackQueue();
        platform::setMockTime(0);
    }
    std::vector<std::string> status;
};

TEST_F(Capture, VolumeScalesAndClamps)
{
    struct Case {
        int percent;
        int16_t in;
        int16_t out;
    };
    for (const Case c : {Case {200, 20000, 32767}, Case {200, -20000, -32768}, Case {200, 1000, 2000}, Case {150, 3, 4},
                         Case {150, -3, -4}, Case {50, 3, 1}, Case {50, -3, -1}, Case {100, -32768, -32768}}) {
        int16_t scaled = c.in;
        kestrel::scaleSamples(&scaled, 1, c.percent);
        EXPECT_EQ(scaled, c.out) << c.percent << " " << c.in;
    }
    // Captured sound is scaled: noise of level 100 at 200 % is loud enough to send.
    kestrel::setVolumePercent(200);
    feed(noisePcm(1600, 100));
    EXPECT_EQ(kestrel::nextCallChunk(0, 1000).size(), 3200u / 640 * 65);
}

TEST_F(Capture, BufferKeepsTheNewestSecondsOfItsLimit)
{
    struct Case {
        int limit;
        size_t fed_seconds;
        size_t kept_bytes;
    };
    for (const Case c : {Case {60, 61, 61 * 16000}, Case {60, 63, 60 * 16000 + 12800}, Case {300, 120, 120 * 16000},
                         Case {10, 63, 60 * 16000 + 12800}}) {
        kestrel::clearCapture();
        kestrel::setCaptureLimitSeconds(c.limit);
        for (size_t s = 0; s < c.fed_seconds; ++s) feed(std::string(16000, '\x01'));
        EXPECT_EQ(kestrel::capturedBytes(), c.kept_bytes) << c.limit << " " << c.fed_seconds;
    }
}

TEST_F(Capture, MicMuteDropsSoundUntilItsTick)
{
    kestrel::setMicMuteUntil(platform::tickMillis() + 500);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
    platform::advanceMockTime(500);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 3200u);
}

TEST(ChunkBounds, ByPaceAndJobsInFlight)
{
    struct Case {
        bool speech;
        int64_t pace;
        int jobs;
        size_t minimum;
        size_t maximum;
    };
    const std::vector<Case> cases = {
        {false, 0, 0, 1920, 32000},    {false, 5000, 3, 1920, 32000}, {true, 1000, 0, 12800, 32000},
        {true, 1200, 2, 12800, 32000}, {true, 1201, 0, 19200, 64000}, {true, 2000, 0, 32000, 64000},
        {true, 2000, 1, 16000, 64000}, {true, 3000, 1, 23680, 64000}, {true, 9000, 0, 64000, 64000},
        {true, 9000, 2, 64000, 64000}, {true, 1300, 1, 12800, 64000},
    };
    for (const Case& c : cases) {
        const kestrel::ChunkBounds b = kestrel::chunkBounds(c.speech, c.pace, c.jobs);
        EXPECT_EQ(b.minimum, c.minimum) << c.speech << " " << c.pace << " " << c.jobs;
        EXPECT_EQ(b.maximum, c.maximum) << c.speech << " " << c.pace << " " << c.jobs;
    }
}

TEST_F(Capture, RoomNoiseIsNeverSentAndSpeechIs)
{
    feed(noisePcm(16000, 100)); // 2 s of noise at mean amplitude 100
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty());
    EXPECT_EQ(kestrel::capturedBytes(), 0u) << "the silent chunk is taken and dropped";
    EXPECT_FALSE(kestrel::callSpeechStarted());

    feed(sinePcm(3000, 300, 6000) + noisePcm(500, 100)); // 3500 samples = 7000 bytes
    const std::string gsm = kestrel::nextCallChunk(0, 1000);
    EXPECT_EQ(gsm.size(), 7000 / 640 * 65) << "whole codec blocks only";
    EXPECT_EQ(kestrel::capturedBytes(), 7000u % 640);
    EXPECT_TRUE(kestrel::callSpeechStarted());

    // After speech a chunk waits for 800 ms.
    feed(sinePcm(4000, 300, 6000));
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty());
}

TEST_F(Capture, TheEchoLinePlaysBackCallSpeechASecondLaterInsteadOfTheMicrophone)
{
    const std::string said = sinePcm(8000, 300, 6000);
    const std::string gsm = kestrel::encodePcm(said);
    ASSERT_FALSE(gsm.empty());
    const auto decoded = [](const std::string& chunk) {
        std::string pcm;
        for (const std::string& block : kestrel::decodeGsm(chunk)) pcm += block;
        return pcm;
    };
    kestrel::setEchoLine(true, 1000);

    // The room is not sent: the line replaces it with silence.
    feed(noisePcm(8000, 3000));
    EXPECT_EQ(kestrel::capturedBytes(), 16000u);
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty());

    // Message and greeting playback is not call speech and never comes back.
    ASSERT_TRUE(kestrel::queueForPlayback(gsm));
    platform::advanceMockTime(1000);
    feed(noisePcm(8000, 3000));
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty());

    // Call speech comes back after the delay, as it was heard.
    ASSERT_TRUE(kestrel::queueCallAudio(gsm));
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 2 * kestrel::decodeGsm(gsm).size()) << "it is played as well";
    platform::advanceMockTime(999);
    feed(noisePcm(8000, 3000));
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty()) << "not yet due";
    platform::advanceMockTime(1);
    feed(noisePcm(8000, 3000));
    const std::string echoed = decoded(kestrel::nextCallChunk(0, 1000));
    const std::string heard = decoded(gsm);
    ASSERT_EQ(echoed.size(), heard.size());
    EXPECT_GT(correlation(samplesOf(echoed), samplesOf(heard)), 0.95) << "the sound heard, coded a second time";

    // Off: the microphone is back, and nothing pending is said.
    ASSERT_TRUE(kestrel::queueCallAudio(gsm));
    kestrel::setEchoLine(false);
    platform::advanceMockTime(1000);
    kestrel::clearCapture();
    feed(said);
    const std::string spoken = decoded(kestrel::nextCallChunk(0, 1000));
    EXPECT_GT(correlation(samplesOf(spoken), samplesOf(said)), 0.9);
}

TEST_F(Capture, ToneOnTheSamplingGridIsSound)
{
    // A 1 kHz test tone starting at phase 0 is zero at every 8th sample.
    feed(sinePcm(8000, 1000, 6000));
    EXPECT_FALSE(kestrel::nextCallChunk(0, 1000).empty());
    EXPECT_TRUE(kestrel::callSpeechStarted());
}

TEST_F(Capture, MuteSwitchClearsAndSendsNothing)
{
    feed(sinePcm(8000, 300, 6000));
    kestrel::setMuteSwitch(true);
    EXPECT_TRUE(kestrel::nextCallChunk(0, 1000).empty());
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
}

struct Recorder : Capture {
    kestrel::Recording rec;
    platform::Mutex state;
};

TEST_F(Recorder, FlushPadsARemainderOfATenthOfASecond)
{
    struct Case {
        size_t leftover_samples;
        bool flush;
        int seconds;
    };
    for (const Case c :
         {Case {400, true, 1}, Case {799, true, 1}, Case {800, true, 2}, Case {1600, true, 2}, Case {1600, false, 1}}) {
        kestrel::clearCapture();
        rec = {};
        feed(sinePcm(8000 + c.leftover_samples, 300, 6000));
        kestrel::recordStep(c.flush, false, rec, state);
        EXPECT_EQ(rec.seconds, c.seconds) << c.leftover_samples << " " << c.flush;
        EXPECT_EQ(rec.gsm.size(), static_cast<size_t>(c.seconds) * 1625);
    }
}

TEST_F(Recorder, MessageStopsAtSixtySecondsAndGreetingAtTwenty)
{
    struct Case {
        bool greeting;
        int limit;
    };
    for (const Case c : {Case {false, 60}, Case {true, 20}}) {
        kestrel::clearCapture();
        rec = {};
        status.clear();
        for (int s = 0; s < c.limit + 5; ++s) {
            feed(sinePcm(8000, 300, 6000));
            kestrel::recordStep(false, c.greeting, rec, state);
        }
        kestrel::recordStep(true, c.greeting, rec, state);
        EXPECT_EQ(rec.seconds, c.limit);
        EXPECT_EQ(rec.gsm.size(), static_cast<size_t>(c.limit) * 1625);
        ASSERT_EQ(status.size(), static_cast<size_t>(c.limit));
        EXPECT_EQ(status.front(), c.greeting ? "Greeting  1 / 20" : "Recording  1 / 60");
        EXPECT_EQ(status.back(), c.greeting ? "Greeting  20 / 20" : "Recording  60 / 60");
    }
}

TEST_F(Recorder, RingToneAndLeadingSilenceAreDroppedSpeechKept)
{
    TempDataFolder temp;
    const std::string wav = speechWav(temp.root, "Hello, please call me back tomorrow morning.");
    ASSERT_FALSE(wav.empty());
    std::string speech, error;
    ASSERT_TRUE(platform::readPhonePcmWav(wav, speech, error)) << error;
    speech.resize(speech.size() / 16000 * 16000);
    ASSERT_GE(speech.size(), 32000u);

    EXPECT_TRUE(kestrel::isRingToneSecond(kestrel::ringTonePcm()));
    EXPECT_FALSE(kestrel::isRingToneSecond(speech.substr(0, 16000)));

    // Silence, speech, the phone's own ring tone at full level, speech again.
    feed(noisePcm(8000, 100) + speech.substr(0, 16000) + kestrel::ringTonePcm() + kestrel::ringTonePcm() +
         speech.substr(16000));
    kestrel::recordStep(true, false, rec, state);
    EXPECT_EQ(rec.seconds, static_cast<int>(speech.size() / 16000));
    EXPECT_TRUE(rec.speech_started);
    // What was kept is the speech: it decodes close to the speech alone.
    std::string decoded;
    for (const auto& b : kestrel::decodeGsm(rec.gsm)) decoded += b;
    EXPECT_GT(correlation(samplesOf(speech), samplesOf(decoded)), 0.8);
}

TEST_F(Recorder, MuteSwitchClearsTheBuffer)
{
    feed(sinePcm(16000, 300, 6000));
    kestrel::setMuteSwitch(true);
    kestrel::recordStep(true, false, rec, state);
    EXPECT_EQ(rec.seconds, 0);
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
}

TEST_F(Capture, TonesQueueTheirSoundAndMuteTheMicrophone)
{
    const std::string ring = kestrel::ringTonePcm();
    const std::string beep = kestrel::beepPcm();
    EXPECT_EQ(ring.size(), 16000u);
    EXPECT_EQ(beep.size(), 7200u);
    EXPECT_EQ(samplesOf(ring)[0], 0);
    EXPECT_EQ(samplesOf(ring)[401], static_cast<int16_t>((std::sin(2 * std::numbers::pi * 440 * 401 / 8000.0) +
                                                          std::sin(2 * std::numbers::pi * 480 * 401 / 8000.0)) *
                                                         0.25 * 28000));

    kestrel::playRingTone();
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 1u);
    feed(std::string(3200, '\x01'));
    platform::advanceMockTime(1299);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
    platform::advanceMockTime(1);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 3200u);

    // The beep waits 650 ms, then clears what was captured and mutes 150 ms more.
    // Moved in small steps: the beeper may start its wait after any of them.
    std::atomic<bool> done {false};
    std::thread beeper([&] {
        kestrel::playBeep();
        done = true;
    });
    while (kestrel::playbackQueueBlocks() < 2) std::this_thread::yield();
    while (!done) {
        platform::advanceMockTime(1);
        std::this_thread::yield();
    }
    beeper.join();
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 0u);
    platform::advanceMockTime(150);
    feed(std::string(3200, '\x01'));
    EXPECT_EQ(kestrel::capturedBytes(), 3200u);
}

} // namespace
