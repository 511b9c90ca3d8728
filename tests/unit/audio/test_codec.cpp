#include "audio/codec.h"
#include "audio/gsm_wav.h"
#include "audio_test_util.h"
#include "platform/wav_file.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

namespace {

using namespace audiotest;

std::string joined(const std::vector<std::string>& blocks)
{
    std::string all;
    for (const auto& b : blocks) all += b;
    return all;
}

TEST(Codec, EncodeSizes)
{
    ASSERT_TRUE(kestrel::openCodec());
    struct Case {
        size_t pcm_bytes;
        size_t gsm_bytes;
    };
    for (const Case c : {Case {0, 0}, Case {639, 0}, Case {640, 65}, Case {1000, 65}, Case {1280, 130},
                         Case {16000, 1625}, Case {16639, 1625}}) {
        EXPECT_EQ(kestrel::encodePcm(sinePcm(c.pcm_bytes / 2, 300, 8000) + std::string(c.pcm_bytes % 2, '\0')).size(),
                  c.gsm_bytes)
            << c.pcm_bytes;
    }
}

TEST(Codec, DecodePiecesOfOneSecondAtMost)
{
    ASSERT_TRUE(kestrel::openCodec());
    const std::string gsm = kestrel::encodePcm(sinePcm(8000 * 3, 300, 8000)); // 3 s = 4875 bytes
    struct Case {
        size_t gsm_bytes;
        std::vector<size_t> pcm_blocks;
    };
    const std::vector<Case> cases = {
        {64, {}},
        {65, {640}},
        {129, {640}},
        {1625, {16000}},
        {1690, {16000, 640}},
        {3250, {16000, 16000}},
        {3315, {16000, 16000, 640}},
        {4875, {16000, 16000, 16000}},
    };
    for (const Case& c : cases) {
        const auto blocks = kestrel::decodeGsm(gsm.substr(0, c.gsm_bytes));
        std::vector<size_t> sizes;
        for (const auto& b : blocks) sizes.push_back(b.size());
        EXPECT_EQ(sizes, c.pcm_blocks) << c.gsm_bytes;
    }
}

TEST(Codec, DecodeIsTheSameForEveryCall)
{
    // The decoder starts afresh each time, so equal input gives equal sound.
    ASSERT_TRUE(kestrel::openCodec());
    const std::string gsm = kestrel::encodePcm(sinePcm(8000, 440, 9000));
    EXPECT_EQ(joined(kestrel::decodeGsm(gsm)), joined(kestrel::decodeGsm(gsm)));
}

TEST(GsmWav, HeaderAndRoundTrip)
{
    const std::string gsm(65 * 3, '\x11');
    const std::string bytes = kestrel::gsmWavBytes(gsm + "xy");
    platform::WavInfo info;
    std::string error;
    ASSERT_TRUE(platform::parseWav(bytes, info, error)) << error;
    EXPECT_EQ(info.format_tag, 0x31);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.sample_rate, 8000u);
    EXPECT_EQ(info.byte_rate, 1625u);
    EXPECT_EQ(info.block_align, 65);
    EXPECT_EQ(info.samples_per_block, 320);
    EXPECT_EQ(info.fact_samples, 960u);
    std::string back;
    ASSERT_TRUE(kestrel::parseGsmWav(bytes, back, error)) << error;
    EXPECT_EQ(back, gsm);
}

TEST(GsmWav, RejectsOtherFormatsWithTheirDescription)
{
    TempDataFolder temp;
    const std::string pcm_path = temp.root + "/pcm.wav";
    ASSERT_TRUE(platform::writePhonePcmWav(pcm_path, sinePcm(800, 300, 1000)));
    std::string gsm, error;
    EXPECT_FALSE(kestrel::readGsmWav(pcm_path, gsm, error));
    EXPECT_NE(error.find("8000 Hz mono 16-bit PCM"), std::string::npos) << error;
    EXPECT_FALSE(kestrel::parseGsmWav("RIFF", gsm, error));
    EXPECT_NE(error.find("not a WAV"), std::string::npos) << error;
}

// Interoperability with sox on speech: our blocks decode in sox to our own
// decode, sox's blocks decode in our code to sox's decode, and the speech
// survives the round trip.
struct SoxInterop : ::testing::Test {
    TempDataFolder temp;
    std::string speech;
    void SetUp() override
    {
        speech = speechWav(temp.root, "Hello, this is the Kestrel telephone. Please leave a message after the tone.");
        ASSERT_FALSE(speech.empty()) << "espeak-ng and sox are needed (scripts/install-deps)";
        ASSERT_TRUE(kestrel::openCodec());
    }
    std::string path(const std::string& name) const { return temp.root + "/" + name; }
    std::string pcmOfWav(const std::string& file) const
    {
        std::string pcm, error;
        EXPECT_TRUE(platform::readPhonePcmWav(file, pcm, error)) << error;
        return pcm;
    }
};

TEST_F(SoxInterop, OurBlocksDecodeInSoxToOurDecode)
{
    const std::string pcm = pcmOfWav(speech);
    const std::string gsm = kestrel::encodePcm(pcm);
    ASSERT_FALSE(gsm.empty());
    ASSERT_TRUE(kestrel::writeGsmWav(path("ours.wav"), gsm));
    ASSERT_EQ(run("sox '" + path("ours.wav") + "' -e signed-integer -b 16 '" + path("sox.wav") + "'"), 0);
    const std::string by_sox = pcmOfWav(path("sox.wav"));
    const std::string by_us = joined(kestrel::decodeGsm(gsm));
    EXPECT_EQ(by_sox.size(), gsm.size() / 65 * 640);
    EXPECT_TRUE(by_sox == by_us) << "sox and our decoder disagree";
}

TEST_F(SoxInterop, SoxBlocksDecodeInOurCodeToSoxDecode)
{
    ASSERT_EQ(run("sox '" + speech + "' -e gsm-full-rate '" + path("soxgsm.wav") + "'"), 0);
    std::string gsm, error;
    ASSERT_TRUE(kestrel::readGsmWav(path("soxgsm.wav"), gsm, error)) << error;
    ASSERT_EQ(run("sox '" + path("soxgsm.wav") + "' -e signed-integer -b 16 '" + path("soxdec.wav") + "'"), 0);
    const std::string by_sox = pcmOfWav(path("soxdec.wav"));
    const std::string by_us = joined(kestrel::decodeGsm(gsm));
    ASSERT_FALSE(by_us.empty());
    EXPECT_TRUE(by_sox == by_us) << "sox " << by_sox.size() << " bytes, ours " << by_us.size();
}

TEST_F(SoxInterop, SpeechSurvivesTheRoundTrip)
{
    const std::vector<int16_t> original = samplesOf(pcmOfWav(speech));
    const std::vector<int16_t> decoded = samplesOf(joined(kestrel::decodeGsm(kestrel::encodePcm(pcmOfWav(speech)))));
    ASSERT_GT(decoded.size(), 8000u);
    const double r = correlation(original, decoded);
    const double snr = snrDb(original, decoded);
    std::printf("speech round trip: correlation %.3f, SNR %.1f dB\n", r, snr);
    EXPECT_GT(r, 0.8);
    EXPECT_GT(snr, 5.0);
}

} // namespace
