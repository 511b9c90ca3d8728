// Helpers of the audio tests: PCM made of samples, tones, speech from
// espeak-ng, and running sox.
#pragma once

#include "platform/wav_file.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace audiotest {

inline std::string pcmOf(const std::vector<int16_t>& samples)
{
    std::string pcm(samples.size() * 2, '\0');
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto v = static_cast<uint16_t>(samples[i]);
        pcm[2 * i] = static_cast<char>(v & 0xFF);
        pcm[2 * i + 1] = static_cast<char>(v >> 8);
    }
    return pcm;
}

inline std::vector<int16_t> samplesOf(const std::string& pcm)
{
    std::vector<int16_t> s(pcm.size() / 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<int16_t>(static_cast<uint8_t>(pcm[2 * i]) | (static_cast<uint8_t>(pcm[2 * i + 1]) << 8));
    return s;
}

// n samples of a constant-level square-ish noise with mean |sample| = level.
inline std::string noisePcm(size_t n, int level, unsigned seed = 1)
{
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<int16_t>(((seed >> 16) & 1) ? level : -level);
    }
    return pcmOf(s);
}

inline std::string sinePcm(size_t n, double hz, double amplitude)
{
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<int16_t>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / 8000));
    return pcmOf(s);
}

inline int run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// Speech at 8 kHz mono 16-bit from espeak-ng, resampled by sox; empty when
// either tool is missing.
inline std::string speechWav(const std::string& folder, const std::string& text)
{
    const std::string raw = folder + "/speech-raw.wav";
    const std::string out = folder + "/speech.wav";
    if (run("espeak-ng -w '" + raw + "' '" + text + "'") != 0) return {};
    if (run("sox '" + raw + "' -r 8000 -c 1 -b 16 -e signed-integer '" + out + "'") != 0) return {};
    return out;
}

// Pearson correlation of two sample runs over their common length.
inline double correlation(const std::vector<int16_t>& a, const std::vector<int16_t>& b)
{
    const size_t n = std::min(a.size(), b.size());
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i];
    ma /= static_cast<double>(n);
    mb /= static_cast<double>(n);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
}

// Signal-to-noise ratio in dB of decoded against original.
inline double snrDb(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded)
{
    const size_t n = std::min(original.size(), decoded.size());
    double signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i) {
        signal += static_cast<double>(original[i]) * original[i];
        const double d = static_cast<double>(original[i]) - decoded[i];
        noise += d * d;
    }
    return 10 * std::log10(signal / std::max(noise, 1.0));
}

} // namespace audiotest
