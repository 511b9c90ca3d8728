#include "audio/gsm_wav.h"

#include "audio/codec.h"
#include "platform/wav_file.h"

#include <fstream>
#include <sstream>

namespace kestrel {

std::string gsmWavBytes(const std::string& gsm)
{
    const size_t blocks = gsm.size() / kGsmBlockBytes;
    platform::WavInfo f;
    f.format_tag = 0x31;
    f.channels = 1;
    f.sample_rate = 8000;
    f.byte_rate = 1625;
    f.block_align = 65;
    f.bits = 0;
    f.fact_samples = static_cast<uint32_t>(blocks * 320);
    const std::string extra {"\x40\x01", 2}; // 320 samples per block
    const auto data = static_cast<uint32_t>(blocks * kGsmBlockBytes);
    std::string out = platform::wavHeader(f, data, extra) + gsm.substr(0, data);
    if (data & 1) out.push_back('\0');
    return out;
}

bool writeGsmWav(const std::string& path, const std::string& gsm)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << gsmWavBytes(gsm);
    return static_cast<bool>(out);
}

bool parseGsmWav(const std::string& bytes, std::string& gsm, std::string& error)
{
    platform::WavInfo info;
    if (!platform::parseWav(bytes, info, error)) return false;
    if (info.format_tag != 0x31 || info.channels != 1 || info.sample_rate != 8000 || info.block_align != 65) {
        error = "expected 8000 Hz mono GSM 6.10 in 65-byte blocks, found " + platform::describeWavFormat(info) +
                " with block align " + std::to_string(info.block_align);
        return false;
    }
    gsm = info.data.substr(0, info.data.size() / kGsmBlockBytes * kGsmBlockBytes);
    return true;
}

bool readGsmWav(const std::string& path, std::string& gsm, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (!parseGsmWav(all.str(), gsm, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace kestrel
