#include "platform/audio_device.h"
#include "platform/clock.h"
#include "platform/wav_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string pcmOf(const std::vector<int16_t>& samples)
{
    std::string pcm(samples.size() * 2, '\0');
    std::memcpy(pcm.data(), samples.data(), pcm.size());
    return pcm;
}

template <typename Done> void waitFor(Done done)
{
    while (!done()) std::this_thread::yield();
}

struct Devices : ::testing::Test {
    TempDataFolder temp;
    void SetUp() override { platform::setMockTime(1'700'000'000'000); }
    void TearDown() override { platform::setMockTime(0); }
};

TEST_F(Devices, FileInputIsPacedByTheClockThenSilent)
{
    std::vector<int16_t> samples(4000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i + 1);
    const std::string path = temp.root + "/in.wav";
    ASSERT_TRUE(platform::writePhonePcmWav(path, pcmOf(samples)));
    std::mutex m;
    std::vector<int16_t> got;
    std::string error;
    auto input = platform::openAudioInput(
        "file:" + path,
        [&](const int16_t* s, size_t n) {
            std::lock_guard lock(m);
            got.insert(got.end(), s, s + n);
        },
        error);
    ASSERT_TRUE(input) << error;
    EXPECT_EQ(platform::audioInputBuffers(*input), 0);
    platform::advanceMockTime(200);
    waitFor([&] { return platform::audioInputBuffers(*input) == 1; });
    platform::advanceMockTime(1000);
    waitFor([&] { return platform::audioInputBuffers(*input) == 6; });
    input.reset();
    ASSERT_EQ(got.size(), 6u * 1600);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i < samples.size() ? samples[i] : 0) << i;
}

// A sped-up file input delivers the same samples, speed buffers every 200 ms;
// a speed out of range does not open.
TEST_F(Devices, SpedUpFileInputDeliversSoonerInOrder)
{
    std::vector<int16_t> samples(8000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i + 1);
    const std::string path = temp.root + "/in.wav";
    ASSERT_TRUE(platform::writePhonePcmWav(path, pcmOf(samples)));
    std::mutex m;
    std::vector<int16_t> got;
    std::string error;
    auto input = platform::openAudioInput(
        "file:" + path + "?speed=4",
        [&](const int16_t* s, size_t n) {
            std::lock_guard lock(m);
            got.insert(got.end(), s, s + n);
        },
        error);
    ASSERT_TRUE(input) << error;
    platform::advanceMockTime(200);
    waitFor([&] { return platform::audioInputBuffers(*input) == 4; });
    platform::advanceMockTime(200);
    waitFor([&] { return platform::audioInputBuffers(*input) == 8; });
    input.reset();
    ASSERT_EQ(got.size(), 8u * 1600);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i < samples.size() ? samples[i] : 0) << i;

    for (const char* speed : {"0", "21", "2x"}) {
        error.clear();
        EXPECT_FALSE(platform::openAudioInput(
            "file:" + path + "?speed=" + speed, [](const int16_t*, size_t) {}, error))
            << speed;
        EXPECT_NE(error.find("speed"), std::string::npos) << speed << ": " << error;
    }
}

TEST_F(Devices, BadWavIsRejectedWithItsReason)
{
    platform::WavInfo f;
    f.format_tag = 1;
    f.channels = 2;
    f.sample_rate = 44100;
    f.bits = 16;
    f.block_align = 4;
    f.byte_rate = 176400;
    const std::string stereo = temp.root + "/stereo.wav";
    std::ofstream(stereo, std::ios::binary) << platform::wavHeader(f, 8) << std::string(8, '\0');
    const std::string junk = temp.root + "/junk.wav";
    std::ofstream(junk, std::ios::binary) << std::string("RIFF\x10\0\0\0WAVEjunk\x04\0\0\0abcd", 24);
    struct Case {
        std::string device;
        std::string reason;
    };
    for (const Case& c :
         {Case {"file:" + stereo, "found 44100 Hz stereo 16-bit PCM"}, Case {"file:" + junk, "no fmt chunk"},
          Case {"file:" + temp.root + "/none.wav", "cannot read"},
          Case {"file:" + temp.root + "/x.wav?format=u8", "unknown output file sample format"}}) {
        std::string error;
        if (c.device.find('?') == std::string::npos) {
            EXPECT_FALSE(platform::openAudioInput(
                c.device, [](const int16_t*, size_t) {}, error));
        } else {
            EXPECT_FALSE(platform::openAudioOutput(c.device, "", error));
        }
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.device << ": " << error;
    }
}

TEST_F(Devices, FileOutputPlaysInRealTimeAndWritesSilenceBetween)
{
    const std::string path = temp.root + "/out.wav";
    std::string error;
    auto out = platform::openAudioOutput("file:" + path + "?rate=16000&channels=2&format=f32", "", error);
    ASSERT_TRUE(out) << error;
    const platform::AudioFormat f = platform::audioOutputFormat(*out);
    EXPECT_EQ(f.rate, 16000);
    EXPECT_EQ(f.channels, 2);
    EXPECT_TRUE(f.is_float);
    EXPECT_EQ(platform::audioOutputBufferFrames(*out), 16000);
    EXPECT_EQ(platform::audioOutputFreeFrames(*out), 16000);
    const std::string frames(8000 * 8, '\x3f');
    ASSERT_TRUE(platform::audioOutputWrite(*out, frames.data(), 8000));
    EXPECT_EQ(platform::audioOutputFreeFrames(*out), 8000);
    const int64_t start = platform::tickMillis();
    platform::advanceMockTime(250);
    waitFor([&] { return platform::audioOutputPlayedTick(*out) == start + 250; });
    EXPECT_EQ(platform::audioOutputPlayedFrames(*out), 4000);
    EXPECT_EQ(platform::audioOutputFreeFrames(*out), 12000);
    platform::audioOutputPause(*out);
    platform::advanceMockTime(1000);
    waitFor([&] { return platform::audioOutputPlayedTick(*out) == start + 1250; });
    EXPECT_EQ(platform::audioOutputPlayedFrames(*out), 4000);
    platform::audioOutputResume(*out);
    platform::advanceMockTime(1000);
    waitFor([&] { return platform::audioOutputPlayedTick(*out) == start + 2250; });
    EXPECT_EQ(platform::audioOutputPlayedFrames(*out), 20000);
    out.reset();
    platform::WavInfo info;
    ASSERT_TRUE(platform::readWavFile(path, info, error)) << error;
    EXPECT_EQ(info.format_tag, 3);
    ASSERT_EQ(info.data.size(), 20000u * 8);
    EXPECT_EQ(info.data.substr(0, frames.size()), frames);
    EXPECT_EQ(info.data.substr(frames.size()), std::string(12000 * 8, '\0'));
}

TEST_F(Devices, FileHeaderIsValidAfterTheWriterIsKilled)
{
    const std::string path = temp.root + "/killed.wav";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto out = platform::openAudioOutput("file:" + path, "", error);
        if (!out) _exit(3);
        const std::string frames(8000 * 2, '\x11');
        platform::audioOutputWrite(*out, frames.data(), 8000);
        const int64_t start = platform::tickMillis();
        platform::advanceMockTime(2500);
        while (platform::audioOutputPlayedTick(*out) != start + 2500) std::this_thread::yield();
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    platform::WavInfo info;
    std::string error;
    ASSERT_TRUE(platform::readWavFile(path, info, error)) << error;
    EXPECT_TRUE(platform::isPhonePcm(info)) << platform::describeWavFormat(info);
    EXPECT_EQ(info.data.size(), 2500u * 16);
    EXPECT_EQ(info.data.substr(0, 16000), std::string(16000, '\x11'));
}

TEST_F(Devices, NullDevicesArePacedToo)
{
    std::string error;
    std::atomic<int64_t> loud {0};
    auto in = platform::openAudioInput(
        "null",
        [&](const int16_t* s, size_t n) {
            for (size_t i = 0; i < n; ++i) loud += s[i] != 0;
        },
        error);
    ASSERT_TRUE(in) << error;
    auto out = platform::openAudioOutput("null", "", error);
    ASSERT_TRUE(out) << error;
    const std::string frames(8000 * 2, '\x11');
    platform::audioOutputWrite(*out, frames.data(), 8000);
    EXPECT_EQ(platform::audioOutputFreeFrames(*out), 0);
    const int64_t start = platform::tickMillis();
    platform::advanceMockTime(400);
    waitFor(
        [&] { return platform::audioInputBuffers(*in) == 2 && platform::audioOutputPlayedTick(*out) == start + 400; });
    EXPECT_EQ(loud.load(), 0);
    EXPECT_EQ(platform::audioOutputFreeFrames(*out), 3200);
    EXPECT_EQ(platform::listAudioOutputs("null").size(), 1u);
}

} // namespace

namespace {

// PortAudio against ALSA's null device (this machine has no sound card): the
// default devices open, and the output list offers the default first. HOME is
// moved before the sound system first starts in this process.
TEST(PortAudioDevices, DefaultDevicesOpenOnTheNullCard)
{
    TempDataFolder temp;
    const char* old_home = std::getenv("HOME");
    const std::string saved_home = old_home ? old_home : "";
    std::ofstream(temp.root + "/.asoundrc") << "pcm.!default { type null }\nctl.!default { type hw card 0 }\n";
    ::setenv("HOME", temp.root.c_str(), 1);
    const auto outputs = platform::listAudioOutputs("");
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(outputs.front().id, "default");
    for (const auto& o : outputs) {
        EXPECT_EQ(o.name.rfind("dmix", 0), std::string::npos) << o.name;
        EXPECT_EQ(o.name.rfind("surround", 0), std::string::npos) << o.name;
    }
    std::string error;
    auto out = platform::openAudioOutput("", "", error);
    ASSERT_TRUE(out) << error;
    const platform::AudioFormat f = platform::audioOutputFormat(*out);
    EXPECT_GT(f.rate, 0);
    EXPECT_GE(platform::audioOutputBufferFrames(*out), f.rate / 10);
    const int64_t free = platform::audioOutputFreeFrames(*out);
    ASSERT_GT(free, 0);
    const std::string frames(static_cast<size_t>(std::min<int64_t>(free, 800)) * f.blockAlign(), '\0');
    EXPECT_TRUE(platform::audioOutputWrite(*out, frames.data(), frames.size() / f.blockAlign()));
    out.reset();
    std::atomic<int64_t> got {0};
    auto in = platform::openAudioInput(
        "", [&](const int16_t*, size_t n) { got += static_cast<int64_t>(n); }, error);
    EXPECT_TRUE(in) << error;
    in.reset();
    if (saved_home.empty())
        ::unsetenv("HOME");
    else
        ::setenv("HOME", saved_home.c_str(), 1);
}

} // namespace
