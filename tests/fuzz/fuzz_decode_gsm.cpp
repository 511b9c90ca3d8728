// The GSM decoder on any bytes: never crashes, and answers one PCM block per
// second or less, 640 bytes for each whole 65-byte block.
#include "audio/codec.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool open = kestrel::openCodec();
    if (!open) std::abort();
    const std::string gsm(reinterpret_cast<const char*>(data), size);
    size_t pcm = 0;
    for (const std::string& block : kestrel::decodeGsm(gsm)) {
        if (block.empty() || block.size() > 16000 || block.size() % 640 != 0) std::abort();
        pcm += block.size();
    }
    if (pcm != size / 65 * 640) std::abort();
    return 0;
}
