// The GSM 6.10 codec: 8000 Hz mono 16-bit PCM to and from 65-byte WAV49
// blocks (320 samples, 40 ms each; 25 blocks, 1625 bytes, a second), the
// bytes Windows' converter and sox make.
//
// Both directions keep their stream state between calls, under the codec
// mutex; the decoder is reset at the start of every decodeGsm.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

constexpr size_t kPcmBlockBytes = 640; // 320 samples
constexpr size_t kGsmBlockBytes = 65;
constexpr size_t kGsmSecondBytes = 1625;
constexpr size_t kPcmSecondBytes = 16000;

// Opens the encoder and the decoder once; true when both are open.
bool openCodec();
// Closes both (shutdown); a later openCodec opens them again.
void closeCodec();

// Encodes the whole 640-byte blocks of pcm (little-endian samples) into one
// 65-byte block each; a remainder is dropped, under 640 bytes gives nothing.
// Opens the codec when needed; empty when it does not open.
std::string encodePcm(const std::string& pcm);

// Decodes the whole 65-byte blocks of gsm, in pieces of at most 1625 bytes
// (one second): one PCM block per piece. Fewer than 65 bytes, or a codec that
// is not open, give nothing. A trailing partial block is ignored.
std::vector<std::string> decodeGsm(const std::string& gsm);

} // namespace kestrel
