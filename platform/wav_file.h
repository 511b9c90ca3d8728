// WAV (RIFF) files: reading the format and data of any WAV, and building the
// header of one. Used by the file audio devices and the GSM WAV files.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct WavInfo {
    uint16_t format_tag = 0; // 1 PCM, 3 IEEE float, 0x31 GSM 6.10, 0xFFFE extensible
    uint16_t channels = 0;
    uint32_t sample_rate = 0;
    uint32_t byte_rate = 0;
    uint16_t block_align = 0;
    uint16_t bits = 0;
    uint16_t samples_per_block = 0; // the extra field of GSM 6.10; 0 when absent
    uint32_t fact_samples = 0;      // the fact chunk's sample count; 0 when absent
    std::string data;               // the data chunk's bytes
};

// Parses a WAV held in bytes. Takes the RIFF/WAVE frame, the fmt chunk, an
// optional fact chunk and the data chunk (a data size past the end, as a killed
// writer may leave, is cut to the bytes present). False with a reason in error
// for anything else; never reads past the bytes.
bool parseWav(const std::string& bytes, WavInfo& info, std::string& error);

// Reads and parses a WAV file; false with a reason (naming the path) on failure.
bool readWavFile(const std::string& path, WavInfo& info, std::string& error);

// The header of a WAV (RIFF, fmt with its extra bytes when extra is not empty,
// fact when fact_samples is set, and the data chunk header) whose data holds
// data_bytes bytes. The data follows the header directly.
std::string wavHeader(const WavInfo& format, uint32_t data_bytes, const std::string& extra = {});

// "8000 Hz mono 16-bit PCM": the words a reader shows for a format.
std::string describeWavFormat(const WavInfo& info);

// True for 8000 Hz mono 16-bit PCM, the program's own sound format.
bool isPhonePcm(const WavInfo& info);

// Reads an 8000 Hz mono 16-bit PCM WAV's samples (little-endian bytes). Any
// other format fails with an error naming what was found.
bool readPhonePcmWav(const std::string& path, std::string& pcm, std::string& error);

// Writes pcm (8000 Hz mono 16-bit) as a WAV file; false when it cannot write.
bool writePhonePcmWav(const std::string& path, const std::string& pcm);

} // namespace platform
