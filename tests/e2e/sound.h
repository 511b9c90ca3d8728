// Speech for the phones' file microphones, and how much of a sentence a
// speaker file holds: espeak-ng speaks, sox makes 8000 Hz mono 16-bit WAVs,
// and the sentence's loudness envelope is slid along the speaker's to find
// the best normalised correlation.
#pragma once

#include "platform/files.h"
#include "platform/wav_file.h"
#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Speaks text into path as 8000 Hz mono 16-bit PCM; true when it worked.
inline bool speak(const std::string& text, const std::string& path)
{
    const std::string raw = path + ".espeak.wav";
    int status = 0;
    runCommand("espeak-ng -s 150 -w " + shellQuoted(raw) + " " + shellQuoted(text) + " 2>/dev/null", &status);
    if (status != 0) return false;
    runCommand("sox " + shellQuoted(raw) + " -r 8000 -c 1 -b 16 -e signed-integer " + shellQuoted(path) +
                   " 2>/dev/null",
               &status);
    return status == 0;
}

// A microphone file: times copies of the sentence, each after
// silenceSeconds of silence.
inline bool microphoneFile(const std::string& sentencePath, double silenceSeconds, int times, const std::string& path)
{
    const std::string padded = path + ".one.wav";
    int status = 0;
    runCommand("sox " + shellQuoted(sentencePath) + " " + shellQuoted(padded) + " pad " +
                   std::to_string(silenceSeconds) + " 2>/dev/null",
               &status);
    if (status != 0) return false;
    std::string parts;
    for (int i = 0; i < times; ++i) parts += " " + shellQuoted(padded);
    runCommand("sox" + parts + " " + shellQuoted(path) + " 2>/dev/null", &status);
    return status == 0;
}

// The samples of an 8000 Hz mono 16-bit WAV; empty when it does not read.
inline std::vector<int16_t> wavSamples(const std::string& path)
{
    std::string pcm, error;
    if (!platform::readPhonePcmWav(path, pcm, error)) return {};
    std::vector<int16_t> samples(pcm.size() / 2);
    std::memcpy(samples.data(), pcm.data(), samples.size() * 2);
    return samples;
}

// Root mean square of each 50 ms (400 samples).
inline std::vector<double> envelope(const std::vector<int16_t>& samples)
{
    std::vector<double> out;
    for (size_t i = 0; i + 400 <= samples.size(); i += 400) {
        double sum = 0;
        for (size_t j = i; j < i + 400; ++j) sum += double(samples[j]) * samples[j];
        out.push_back(std::sqrt(sum / 400));
    }
    return out;
}

// The best normalised correlation of the sentence's envelope against any
// stretch of the speaker's envelope (1: the same shape; near 0: unrelated).
inline double bestCorrelation(const std::vector<double>& sentence, const std::vector<double>& speaker)
{
    if (sentence.empty() || speaker.size() < sentence.size()) return 0;
    const size_t n = sentence.size();
    double meanA = 0;
    for (double v : sentence) meanA += v;
    meanA /= n;
    double normA = 0;
    for (double v : sentence) normA += (v - meanA) * (v - meanA);
    double best = 0;
    for (size_t lag = 0; lag + n <= speaker.size(); ++lag) {
        double meanB = 0;
        for (size_t i = 0; i < n; ++i) meanB += speaker[lag + i];
        meanB /= n;
        double dot = 0, normB = 0;
        for (size_t i = 0; i < n; ++i) {
            const double b = speaker[lag + i] - meanB;
            dot += (sentence[i] - meanA) * b;
            normB += b * b;
        }
        if (normA > 0 && normB > 0) best = std::max(best, dot / std::sqrt(normA * normB));
    }
    return best;
}

// How well a speaker holds a sentence that went there and back again (a
// test line's echo): the mean of the best correlations of its two halves.
// Such speech has a pause wherever a slice came late on either way, which
// stretches a whole sentence's envelope more than either half's.
inline double bestCorrelationByHalves(const std::vector<double>& sentence, const std::vector<double>& speaker)
{
    const auto middle = sentence.begin() + static_cast<std::ptrdiff_t>(sentence.size() / 2);
    return (bestCorrelation({sentence.begin(), middle}, speaker) + bestCorrelation({middle, sentence.end()}, speaker)) /
           2;
}
