#include "audio/codec.h"

#include <gsm.h>

#include <cstdint>

#include "platform/sync.h"

namespace kestrel {

namespace {

struct Codec {
    platform::Mutex mutex;
    gsm encoder GUARDED_BY(mutex) = nullptr;
    gsm decoder GUARDED_BY(mutex) = nullptr;
};

Codec& codec()
{
    static Codec c;
    return c;
}

gsm openWav49()
{
    gsm g = gsm_create();
    if (!g) return nullptr;
    int one = 1;
    gsm_option(g, GSM_OPT_WAV49, &one);
    return g;
}

bool openLocked(Codec& c) REQUIRES(c.mutex)
{
    if (!c.encoder) c.encoder = openWav49();
    if (!c.decoder) c.decoder = openWav49();
    return c.encoder && c.decoder;
}

// Decodes whole blocks of piece into one PCM block.
std::string decodePiece(gsm g, const uint8_t* piece, size_t blocks)
{
    std::string pcm(blocks * kPcmBlockBytes, '\0');
    gsm_signal samples[320];
    for (size_t b = 0; b < blocks; ++b) {
        // A WAV49 block is two frames: 33 bytes at 0, then the rest at 33.
        gsm_byte frame[kGsmBlockBytes];
        std::copy(piece + b * kGsmBlockBytes, piece + (b + 1) * kGsmBlockBytes, frame);
        const bool ok = gsm_decode(g, frame, samples) == 0 && gsm_decode(g, frame + 33, samples + 160) == 0;
        if (!ok) std::fill(std::begin(samples), std::end(samples), 0);
        for (size_t s = 0; s < 320; ++s) {
            const auto v = static_cast<uint16_t>(samples[s]);
            pcm[b * kPcmBlockBytes + 2 * s] = static_cast<char>(v & 0xFF);
            pcm[b * kPcmBlockBytes + 2 * s + 1] = static_cast<char>(v >> 8);
        }
    }
    return pcm;
}

} // namespace

bool openCodec()
{
    Codec& c = codec();
    platform::LockGuard lock(c.mutex);
    return openLocked(c);
}

void closeCodec()
{
    Codec& c = codec();
    platform::LockGuard lock(c.mutex);
    if (c.encoder) gsm_destroy(c.encoder);
    if (c.decoder) gsm_destroy(c.decoder);
    c.encoder = c.decoder = nullptr;
}

std::string encodePcm(const std::string& pcm)
{
    const size_t blocks = pcm.size() / kPcmBlockBytes;
    if (blocks == 0) return {};
    Codec& c = codec();
    platform::LockGuard lock(c.mutex);
    if (!openLocked(c)) return {};
    std::string out(blocks * kGsmBlockBytes, '\0');
    gsm_signal samples[320];
    for (size_t b = 0; b < blocks; ++b) {
        for (size_t s = 0; s < 320; ++s) {
            const auto lo = static_cast<uint8_t>(pcm[b * kPcmBlockBytes + 2 * s]);
            const auto hi = static_cast<uint8_t>(pcm[b * kPcmBlockBytes + 2 * s + 1]);
            samples[s] = static_cast<gsm_signal>(static_cast<int16_t>(lo | (hi << 8)));
        }
        // The encoder writes 32 bytes for the first frame and 33 for the
        // second; the second call may touch the whole 65-byte buffer.
        gsm_byte block[kGsmBlockBytes] = {};
        gsm_encode(c.encoder, samples, block);
        gsm_encode(c.encoder, samples + 160, block + 32);
        std::copy(block, block + kGsmBlockBytes, out.begin() + static_cast<std::ptrdiff_t>(b * kGsmBlockBytes));
    }
    return out;
}

std::vector<std::string> decodeGsm(const std::string& gsm_bytes)
{
    std::vector<std::string> out;
    if (gsm_bytes.size() < kGsmBlockBytes) return out;
    Codec& c = codec();
    platform::LockGuard lock(c.mutex);
    if (!c.decoder) return out;
    // A fresh stream for every call, as the converter is reset.
    gsm_destroy(c.decoder);
    c.decoder = openWav49();
    if (!c.decoder) return out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(gsm_bytes.data());
    size_t at = 0;
    while (gsm_bytes.size() - at >= kGsmBlockBytes) {
        const size_t left = gsm_bytes.size() - at;
        const size_t piece = left >= kGsmSecondBytes + 1 ? kGsmSecondBytes : left / kGsmBlockBytes * kGsmBlockBytes;
        out.push_back(decodePiece(c.decoder, bytes + at, piece / kGsmBlockBytes));
        at += piece;
    }
    return out;
}

} // namespace kestrel
