// GSM 6.10 speed: seconds of audio encoded and decoded per second of CPU, by
// our codec and by sox converting the same file, side by side, with ratios.
//
// usage: bench_audio SPEECH.wav (8000 Hz mono 16-bit PCM; bench/run-audio-bench
// makes one from espeak-ng)
#include "audio/codec.h"
#include "audio/gsm_wav.h"
#include "platform/wav_file.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

double processCpu()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double childrenCpu()
{
    rusage u {};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs work until it has used at least a second of CPU; answers CPU seconds per run.
template <typename Work> double cpuPerRun(Work work, double (*clock)())
{
    int runs = 0;
    const double start = clock();
    double used = 0;
    while (used < 1.0 || runs < 3) {
        work();
        ++runs;
        used = clock() - start;
    }
    return used / runs;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_audio SPEECH.wav\n");
        return 2;
    }
    const std::string in = argv[1];
    std::string pcm, error;
    if (!platform::readPhonePcmWav(in, pcm, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!kestrel::openCodec()) return 1;
    const double seconds = static_cast<double>(pcm.size()) / 16000.0;
    const std::string work = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/bench-audio-" +
                             std::to_string(getpid());
    const std::string gsm_path = work + "-gsm.wav";
    const std::string out_path = work + "-pcm.wav";

    std::string gsm;
    const double our_encode = cpuPerRun([&] { gsm = kestrel::encodePcm(pcm); }, processCpu);
    kestrel::writeGsmWav(gsm_path, gsm);
    size_t decoded = 0;
    const double our_decode = cpuPerRun(
        [&] {
            decoded = 0;
            for (const auto& b : kestrel::decodeGsm(gsm)) decoded += b.size();
        },
        processCpu);

    const std::string sox_encode_cmd = "sox '" + in + "' -e gsm-full-rate '" + work + "-sox.wav'";
    const std::string sox_decode_cmd = "sox '" + gsm_path + "' -e signed-integer -b 16 '" + out_path + "'";
    bool sox_ok = true;
    const double sox_encode =
        cpuPerRun([&] { sox_ok = sox_ok && std::system(sox_encode_cmd.c_str()) == 0; }, childrenCpu);
    const double sox_decode =
        cpuPerRun([&] { sox_ok = sox_ok && std::system(sox_decode_cmd.c_str()) == 0; }, childrenCpu);
    std::remove(gsm_path.c_str());
    std::remove(out_path.c_str());
    std::remove((work + "-sox.wav").c_str());
    if (!sox_ok) {
        std::fprintf(stderr, "sox failed\n");
        return 1;
    }

    std::printf("speech: %.1f s of audio (%zu bytes PCM, %zu bytes GSM, %zu bytes decoded)\n", seconds, pcm.size(),
                gsm.size(), decoded);
    std::printf("%-8s %22s %22s\n", "", "encode (audio s/CPU s)", "decode (audio s/CPU s)");
    std::printf("%-8s %22.0f %22.0f\n", "kestrel", seconds / our_encode, seconds / our_decode);
    std::printf("%-8s %22.0f %22.0f\n", "sox", seconds / sox_encode, seconds / sox_decode);
    std::printf("%-8s %22.2f %22.2f\n", "ratio", sox_encode / our_encode, sox_decode / our_decode);
    std::printf("(sox figures include starting the sox process and its file input and output)\n");
    return 0;
}
