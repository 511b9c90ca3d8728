#include "audio/capture.h"
#include "audio/codec.h"
#include "audio/playback.h"
#include "audio_test_util.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/wav_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

using namespace audiotest;

TEST(Outputs, LabelsAndFilters)
{
    using Raw = kestrel::RawOutput;
    struct Case {
        std::vector<Raw> raw;
        std::vector<std::string> labels;
    };
    const std::vector<Case> cases = {
        {{{"a", "Speakers (Realtek Audio)", 1}, {"b", "Speakers (USB Audio)", 1}},
         {"Speakers (Realtek Audio)", "Speakers (USB Audio)"}},
        {{{"a", "Speakers (Realtek Audio)", 1}}, {"Speakers"}},
        {{{"a", "NVIDIA High Definition Audio", 1}, {"b", "Digital Audio (S/PDIF)", 1}, {"c", "Headphones", 3}},
         {"Headphones"}},
        {{{"a", "AVerMedia Line", 2}, {"b", "SPDIF Out", 1}}, {}},
        {{{"a", "", 1}, {"b", " (odd)", 5}, {"c", "Handset (USB)", 6}}, {"Speakers", " (odd)", "Handset"}},
        {{{"a", "Remote", 0}, {"b", "Mic", 4}, {"c", "Other", 7}, {"d", "Line (X)", 2}}, {"Line"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> labels;
        for (const auto& d : kestrel::filterOutputs(c.raw)) labels.push_back(d.label);
        EXPECT_EQ(labels, c.labels);
    }
}

TEST(Outputs, ChoiceRules)
{
    const auto list =
        kestrel::filterOutputs({{"h", "Headphones", 3}, {"m", "Main Speaker (Dock)", 1}, {"s", "Speakers", 1}});
    struct Case {
        std::string chosen;
        int index;
    };
    for (const Case& c : {Case {"", 1}, Case {"s", 2}, Case {"h", 0}, Case {"gone", 1}})
        EXPECT_EQ(kestrel::chooseOutput(list, c.chosen), c.index) << c.chosen;
    EXPECT_EQ(kestrel::chooseOutput(kestrel::filterOutputs({{"h", "Headphones", 3}, {"s", "Speakers", 1}}), ""), 0);
    EXPECT_EQ(kestrel::chooseOutput({}, ""), -1);
    EXPECT_EQ(kestrel::chooseOutput({}, "x"), -1);
}

TEST(Conversion, SizesForEveryFormat)
{
    const std::string second = sinePcm(8000, 300, 8000);
    struct Case {
        platform::AudioFormat format;
        size_t pcm_bytes;
        size_t bytes;
    };
    const std::vector<Case> cases = {
        {{44100, 2, 32, true}, 16000, 44100u * 8},
        {{48000, 2, 16, false}, 16000, 48000u * 4},
        {{8000, 1, 16, false}, 16000, 16000},
        {{44100, 1, 24, false}, 16000, 44100u * 3},
        {{16000, 6, 32, false}, 16000, 16000u * 24},
        {{22050, 1, 16, false}, 2, 4}, // one sample: ⌊22050 / 8000⌋ frames
        {{8000, 2, 16, false}, 0, 4},  // nothing still gives one frame
        {{11025, 1, 16, false}, 640, 882},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kestrel::convertBlock(second.substr(0, c.pcm_bytes), c.format).size(), c.bytes)
            << c.format.rate << " " << c.format.channels << " " << c.format.bits;
}

TEST(Conversion, ValuesInterpolateAndScaleToTheSampleFormat)
{
    const std::string pcm = pcmOf({1000, -2000, 3000});
    EXPECT_EQ(kestrel::convertBlock(pcm, {8000, 1, 16, false}), pcm);

    // Twice the rate: every other frame lies halfway; the last repeats.
    const std::string out = kestrel::convertBlock(pcm, {16000, 2, 16, false});
    EXPECT_EQ(samplesOf(out),
              (std::vector<int16_t> {1000, 1000, -500, -500, -2000, -2000, 500, 500, 3000, 3000, 3000, 3000}));

    const std::string s24 = kestrel::convertBlock(pcm, {8000, 1, 24, false});
    EXPECT_EQ(s24.substr(0, 3), std::string("\x00\xE8\x03", 3)); // 1000 × 256
    const std::string s32 = kestrel::convertBlock(pcm, {8000, 1, 32, false});
    int32_t v32;
    std::memcpy(&v32, s32.data() + 4, 4);
    EXPECT_EQ(v32, -2000 * 65536);
    const std::string f32 = kestrel::convertBlock(pcm, {8000, 1, 32, true});
    float f;
    std::memcpy(&f, f32.data() + 8, 4);
    EXPECT_FLOAT_EQ(f, 3000.0f / 32768.0f);
}

// Playback into a file output in moved time.
struct Playback : ::testing::Test {
    TempDataFolder temp;
    platform::Config saved = platform::config();
    std::string path;
    int ended = 0;
    int controls = 0;
    void SetUp() override
    {
        ASSERT_TRUE(kestrel::openCodec());
        platform::setMockTime(1'700'000'000'000);
        path = temp.root + "/out.wav";
        platform::Config c = saved;
        c.audio_output = "file:" + path + "?rate=16000&channels=2";
        platform::setConfig(c);
        kestrel::setChosenOutput("");
        kestrel::closeOutputs();
        kestrel::stopPlayback();
        kestrel::setVolumePercent(100);
        kestrel::setPlaybackHooks({[this] { ++ended; }, [this] { ++controls; }});
        controls = 0;
    }
    void TearDown() override
    {
        kestrel::setPlaybackHooks({});
        kestrel::closeOutputs();
        kestrel::clearPlaybackQueue();
        platform::setConfig(saved);
        platform::setMockTime(0);
    }
    // Render steps in 20 ms of moved time until the message ends.
    int renderUntilEnded(int most_steps)
    {
        for (int step = 0; step < most_steps; ++step) {
            kestrel::renderStep();
            if (ended) return step;
            platform::advanceMockTime(20);
            std::this_thread::yield();
        }
        return -1;
    }
};

TEST_F(Playback, MessagePlaysIntoTheOutputAndEndsOnce)
{
    EXPECT_EQ(kestrel::outputLabelText(), "Output: " + path);
    EXPECT_TRUE(kestrel::hasOutput());
    const std::string gsm = kestrel::encodePcm(sinePcm(16000, 440, 9000)); // 2 s
    ASSERT_TRUE(kestrel::queueForPlayback(gsm));
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 2u);
    EXPECT_FALSE(kestrel::queueForPlayback(std::string(64, '\0')));
    kestrel::setMessagePlaying(true);
    EXPECT_GE(renderUntilEnded(100000), 0);
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(kestrel::messagePlaying());
    kestrel::closeOutputs();

    platform::WavInfo info;
    std::string error;
    ASSERT_TRUE(platform::readWavFile(path, info, error)) << error;
    EXPECT_EQ(info.sample_rate, 16000u);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.bits, 16);
    // The file is a timeline: at least the two seconds that were played.
    ASSERT_GE(info.data.size(), 2u * 16000 * 4);
    const std::vector<int16_t> samples = samplesOf(info.data);
    double loud = 0;
    for (int16_t s : samples) loud += std::abs(s);
    // Silence may lie between blocks, but all of the two seconds were played
    // (a 9000-amplitude sine has a mean level near 5700).
    EXPECT_GT(loud / (2.0 * 16000 * 2), 4000) << samples.size() << " samples";
}

TEST_F(Playback, PauseHoldsTheQueueAndCountsPausedSeconds)
{
    kestrel::togglePause(); // no message: nothing
    EXPECT_FALSE(kestrel::playbackPaused());
    kestrel::queuePcm(sinePcm(8000, 300, 5000));
    kestrel::setMessagePlaying(true);
    kestrel::togglePause();
    EXPECT_TRUE(kestrel::playbackPaused());
    kestrel::renderStep();
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 1u);
    platform::advanceMockTime(5000);
    kestrel::togglePause();
    EXPECT_FALSE(kestrel::playbackPaused());
    EXPECT_EQ(kestrel::pausedSecondsTotal(), 5);
    EXPECT_EQ(controls, 2);
    kestrel::renderStep();
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 0u);
}

TEST_F(Playback, StopDropsEverythingAndMovesTheGeneration)
{
    kestrel::queuePcm(sinePcm(8000, 300, 5000));
    kestrel::queuePcm(sinePcm(8000, 300, 5000));
    kestrel::setMessagePlaying(true);
    kestrel::renderStep();
    kestrel::togglePause();
    const uint32_t generation = kestrel::playbackGeneration();
    kestrel::stopPlayback();
    EXPECT_EQ(kestrel::playbackGeneration(), generation + 1);
    EXPECT_EQ(kestrel::playbackQueueBlocks(), 0u);
    EXPECT_FALSE(kestrel::messagePlaying());
    EXPECT_FALSE(kestrel::playbackPaused());
    EXPECT_EQ(kestrel::pausedSecondsTotal(), 0);
    // Nothing more plays and no end is reported for a stopped message.
    EXPECT_EQ(renderUntilEnded(200), -1);
    EXPECT_EQ(ended, 0);
}

TEST_F(Playback, ChoosingAnotherOutputReopens)
{
    kestrel::queuePcm(sinePcm(800, 300, 5000));
    kestrel::renderStep();
    kestrel::setChosenOutput("nothing-by-this-id"); // falls back to the automatic choice
    kestrel::queuePcm(sinePcm(800, 300, 5000));
    kestrel::renderStep();
    EXPECT_TRUE(kestrel::reopenOutput());
    kestrel::setChosenOutput("");
}

} // namespace
