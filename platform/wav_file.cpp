#include "platform/wav_file.h"

#include <fstream>
#include <sstream>

namespace platform {

namespace {

uint32_t le(const std::string& b, size_t at, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
    return v;
}

void put(std::string& out, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

} // namespace

bool parseWav(const std::string& bytes, WavInfo& info, std::string& error)
{
    info = WavInfo {};
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        error = "not a WAV file (no RIFF/WAVE header)";
        return false;
    }
    bool have_fmt = false;
    bool have_data = false;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const uint64_t size = le(bytes, at + 4, 4);
        const size_t body = at + 8;
        const size_t avail = bytes.size() - body;
        if (id == "fmt ") {
            if (size < 16 || avail < 16) {
                error = "WAV fmt chunk is too short";
                return false;
            }
            info.format_tag = static_cast<uint16_t>(le(bytes, body, 2));
            info.channels = static_cast<uint16_t>(le(bytes, body + 2, 2));
            info.sample_rate = le(bytes, body + 4, 4);
            info.byte_rate = le(bytes, body + 8, 4);
            info.block_align = static_cast<uint16_t>(le(bytes, body + 12, 2));
            info.bits = static_cast<uint16_t>(le(bytes, body + 14, 2));
            if (size >= 20 && avail >= 20 && le(bytes, body + 16, 2) >= 2)
                info.samples_per_block = static_cast<uint16_t>(le(bytes, body + 18, 2));
            have_fmt = true;
        } else if (id == "fact" && size >= 4 && avail >= 4) {
            info.fact_samples = le(bytes, body, 4);
        } else if (id == "data") {
            info.data = bytes.substr(body, static_cast<size_t>(std::min<uint64_t>(size, avail)));
            have_data = true;
            break;
        }
        if (size > avail) break;
        at = body + static_cast<size_t>(size) + (size & 1);
    }
    if (!have_fmt) {
        error = "WAV file has no fmt chunk";
        return false;
    }
    if (!have_data) {
        error = "WAV file has no data chunk";
        return false;
    }
    return true;
}

bool readWavFile(const std::string& path, WavInfo& info, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (!parseWav(all.str(), info, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string wavHeader(const WavInfo& f, uint32_t data_bytes, const std::string& extra)
{
    const uint32_t fmt_size = extra.empty() ? 16 : static_cast<uint32_t>(18 + extra.size());
    const uint32_t fact_size = f.fact_samples != 0 ? 12 : 0;
    std::string h = "RIFF";
    put(h, 4 + (8 + fmt_size) + fact_size + 8 + data_bytes + (data_bytes & 1), 4);
    h += "WAVEfmt ";
    put(h, fmt_size, 4);
    put(h, f.format_tag, 2);
    put(h, f.channels, 2);
    put(h, f.sample_rate, 4);
    put(h, f.byte_rate, 4);
    put(h, f.block_align, 2);
    put(h, f.bits, 2);
    if (!extra.empty()) {
        put(h, static_cast<uint32_t>(extra.size()), 2);
        h += extra;
    }
    if (f.fact_samples != 0) {
        h += "fact";
        put(h, 4, 4);
        put(h, f.fact_samples, 4);
    }
    h += "data";
    put(h, data_bytes, 4);
    return h;
}

std::string describeWavFormat(const WavInfo& info)
{
    std::string kind;
    switch (info.format_tag) {
    case 1:
        kind = "PCM";
        break;
    case 3:
        kind = "float";
        break;
    case 0x31:
        kind = "GSM 6.10";
        break;
    case 0xFFFE:
        kind = "extensible";
        break;
    default:
        kind = "format " + std::to_string(info.format_tag);
        break;
    }
    const std::string layout = info.channels == 1   ? "mono"
                               : info.channels == 2 ? "stereo"
                                                    : std::to_string(info.channels) + " channels";
    return std::to_string(info.sample_rate) + " Hz " + layout + " " + std::to_string(info.bits) + "-bit " + kind;
}

bool isPhonePcm(const WavInfo& info)
{
    return info.format_tag == 1 && info.channels == 1 && info.sample_rate == 8000 && info.bits == 16;
}

bool readPhonePcmWav(const std::string& path, std::string& pcm, std::string& error)
{
    WavInfo info;
    if (!readWavFile(path, info, error)) return false;
    if (!isPhonePcm(info)) {
        error = path + ": expected 8000 Hz mono 16-bit PCM, found " + describeWavFormat(info);
        return false;
    }
    pcm = std::move(info.data);
    pcm.resize(pcm.size() & ~size_t(1));
    return true;
}

bool writePhonePcmWav(const std::string& path, const std::string& pcm)
{
    WavInfo f;
    f.format_tag = 1;
    f.channels = 1;
    f.sample_rate = 8000;
    f.byte_rate = 16000;
    f.block_align = 2;
    f.bits = 16;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << wavHeader(f, static_cast<uint32_t>(pcm.size())) << pcm;
    if (pcm.size() & 1) out.put('\0');
    return static_cast<bool>(out);
}

} // namespace platform
