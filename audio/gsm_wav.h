// GSM WAV files: WAV format 0x0031 holding 65-byte GSM 6.10 blocks (block
// align 65, 320 samples a block, 1625 bytes a second, extra size 2 with the
// samples per block, a fact chunk with the sample count), as sox and other
// players read them.
#pragma once

#include <string>

namespace kestrel {

// The whole file for gsm (whole 65-byte blocks; a partial block is dropped).
std::string gsmWavBytes(const std::string& gsm);
bool writeGsmWav(const std::string& path, const std::string& gsm);

// The blocks of a GSM WAV held in bytes or read from path. False with a reason
// in error when it is not a WAV, or not 8000 Hz mono GSM 6.10 in 65-byte blocks.
bool parseGsmWav(const std::string& bytes, std::string& gsm, std::string& error);
bool readGsmWav(const std::string& path, std::string& gsm, std::string& error);

} // namespace kestrel
