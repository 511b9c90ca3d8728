// The WAV readers on any bytes: never crash or read past the input; a GSM WAV
// that parses holds whole 65-byte blocks and writes back to the same blocks.
#include "audio/gsm_wav.h"
#include "platform/wav_file.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    platform::WavInfo info;
    std::string error;
    if (platform::parseWav(bytes, info, error)) {
        if (info.data.size() > size) std::abort();
        platform::describeWavFormat(info);
    } else if (error.empty()) {
        std::abort();
    }
    std::string gsm;
    if (kestrel::parseGsmWav(bytes, gsm, error)) {
        if (gsm.size() % 65 != 0) std::abort();
        std::string again;
        if (!kestrel::parseGsmWav(kestrel::gsmWavBytes(gsm), again, error) || again != gsm) std::abort();
    }
    return 0;
}
