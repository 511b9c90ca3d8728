// The main job without a display, as a newcomer runs it: a devnet of its own,
// echo and voicemail phones, a call to each from a headless phone. What the
// newcomer's speaker file holds is checked here, not taken from the run.
#include "sound.h"
#include "temp_folder.h"
#include "test_support.h"

#include "platform/files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>

using json = nlohmann::json;

namespace {

// Processes whose command line or environment names folder.
std::vector<std::string> processesUsing(const std::string& folder)
{
    std::vector<std::string> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        for (const char* part : {"/cmdline", "/environ"}) {
            std::string text;
            if (platform::readFile("/proc/" + pid + part, text) && text.find(folder) != std::string::npos) {
                std::string command;
                platform::readFile("/proc/" + pid + "/cmdline", command);
                found.push_back(pid + " " + command.substr(0, command.find('\0')));
                break;
            }
        }
    }
    ::closedir(proc);
    return found;
}

// The sentence without the silence spoken before it.
std::vector<double> sentenceEnvelope(const std::string& path)
{
    std::vector<int16_t> samples = wavSamples(path);
    samples.erase(samples.begin(), samples.begin() + std::min<size_t>(samples.size(), 12000));
    return envelope(samples);
}

// How well speaker holds the sentence at path: the mean of its two halves'
// best correlations. Speech that went there and back again has a pause
// wherever a slice came late, which stretches a whole sentence's envelope
// more than either half's.
double heldSentence(const std::string& path, const std::vector<double>& speaker)
{
    const std::vector<double> sentence = sentenceEnvelope(path);
    const auto middle = sentence.begin() + static_cast<std::ptrdiff_t>(sentence.size() / 2);
    return (bestCorrelation({sentence.begin(), middle}, speaker) + bestCorrelation({middle, sentence.end()}, speaker)) /
           2;
}

} // namespace

TEST(MainJob, WithoutADisplayTheNewcomerTalksToEchoAndLeavesVoicemailAMessage)
{
    TempDataFolder temp;
    const std::string folder = temp.root + "/run";
    const std::string summaryFile = temp.root + "/summary.json";
    int status = 0;
    const std::string output = runCommand("DISPLAY= WAYLAND_DISPLAY= node " +
                                              shellQuoted(std::string(KESTREL_SOURCE_DIR) + "/scripts/main-job.mjs") +
                                              " --headless --build " + shellQuoted(KESTREL_BUILD_DIR) + " --folder " +
                                              shellQuoted(folder) + " --summary " + shellQuoted(summaryFile) + " 2>&1",
                                          &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(processesUsing(temp.root).empty()) << "left running: " << processesUsing(temp.root).front();

    std::string text;
    ASSERT_TRUE(platform::readFile(summaryFile, text)) << output;
    const json summary = json::parse(text, nullptr, false);
    ASSERT_TRUE(summary.is_object()) << text;
    const json& files = summary["files"];

    // The newcomer hears the sentence they said, played back by echo; not
    // the voicemail greeting, which is a sentence of the same length.
    const std::vector<double> heard = envelope(wavSamples(files["newcomer_hears_echo"]));
    const double own = heldSentence(files["newcomer_says"], heard);
    const double other = heldSentence(files["voicemail_greeting"], heard);
    std::printf("the newcomer hears their sentence from echo %.2f (the greeting %.2f)\n", own, other);
    EXPECT_GT(own, 0.65) << output;
    EXPECT_GT(own, other + 0.15) << output;
    EXPECT_GE(summary["echo_call"]["connected_s"].get<double>(), 15) << output;
    EXPECT_GE(summary["echo_call"]["callee_sats"].get<int>(), 20) << "the prepayment and a 10-second payment";

    // The greeting reached the caller before the message.
    const double greeting = bestCorrelation(sentenceEnvelope(files["voicemail_greeting"]),
                                            envelope(wavSamples(files["newcomer_hears_voicemail"])));
    EXPECT_GT(greeting, 0.6) << output;

    const json& inbox = summary["voicemail_call"]["inbox"];
    ASSERT_EQ(inbox.size(), 1u) << output;
    EXPECT_EQ(inbox[0]["from"], "newcomer");
    EXPECT_GE(inbox[0]["secs"].get<int>(), 5);
}
