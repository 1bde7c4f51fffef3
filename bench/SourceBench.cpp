// Decoding through the audio file source against the decoder alone, for a five-minute WAV, MP3
// and MP2 made at run time with sox, lame and twolame (skipped with a message when they are
// missing). The source adds its reader class, the converters' pass-through and its envelope;
// the figure is the source's speed as a share of the decoder's.
//   tessaro_bench_source [FILE]    (FILE: measure that WAV or MPEG file instead)
#include "platform/MpegDecoder.h"
#include "sources/MMAudio.h"
#include "sources/MMWaveIO.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Seconds = 300;
constexpr int32_t BufferBytes = 4096;
constexpr int Runs = 3;

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The wave file I/O layer reading the data to its end.
double WaveDecoderSeconds(const std::string& path) {
    PWaveIOCB block = nullptr;
    if (WaveIOOpen(block, path, mmioFOURCC('W', 'A', 'V', 'E'), RIFFWAVE_PLAIN) != 0 ||
        WaveIOReopen(block) != 0 || WaveIOSetBuffer(block, 32768) != 0) {
        std::fprintf(stderr, "SourceBench: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<char> buffer(BufferBytes);
    const auto start = Clock::now();
    WaveIOSeek(block, 0);
    while (WaveIORead(block, buffer.data(), BufferBytes) > 0) {
    }
    const double seconds = SecondsSince(start);
    WaveIOFree(block);
    return seconds;
}

// The MPEG decoder reading the stream to its end.
double MpegDecoderSeconds(const std::string& path) {
    int32_t code = 0;
    TMpegHandle handle = mpeg_Init(code, nullptr, nullptr);
    if (handle == nullptr || mpeg_SetFileName(handle, path) != 0 || mpeg_OpenFile(handle) != 0) {
        std::fprintf(stderr, "SourceBench: the decoder refused %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<char> buffer(BufferBytes);
    const auto start = Clock::now();
    while (mpeg_ReadDataBytes(handle, buffer.data(), BufferBytes) > 0) {
    }
    const double seconds = SecondsSince(start);
    mpeg_Done(handle);
    return seconds;
}

// The same file pulled through the audio file source as the mixer pulls it.
double SourceSeconds(const std::string& path) {
    TMMComponentOwner owner;
    auto* source = new TMMAudioFile(&owner);
    auto* driver = new TMMSectionDriver(&owner);
    source->SetOutput(driver);
    source->SetFileName(path);
    driver->SetBufferSize(BufferBytes);
    driver->Open();
    driver->Start();
    std::vector<char> buffer(BufferBytes);
    TMMChainHdr header{};
    header.lpData = buffer.data();
    const auto start = Clock::now();
    for (;;) {
        header.dwBufferLength = BufferBytes;
        header.dwBytesRecorded = 0;
        bool more = false;
        source->BufferLoad(&header, more);
        if (header.dwBytesRecorded == 0 || !more)
            break;
    }
    return SecondsSince(start);
}

void Report(const char* label, const std::string& path, double (*decoder)(const std::string&),
            double audioSeconds = Seconds) {
    double alone = 1e9;
    double through = 1e9;
    for (int run = 0; run < Runs; ++run) {
        alone = std::min(alone, decoder(path));
        through = std::min(through, SourceSeconds(path));
    }
    std::printf("%s: decoder %.1fx real time, audio file source %.1fx real time, "
                "source/decoder speed %.3f\n",
                label, audioSeconds / alone, audioSeconds / through, alone / through);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        // A file of the caller's, at its own length.
        TMMComponentOwner owner;
        auto* source = new TMMAudioFile(&owner);
        source->SetFileName(argv[1]);
        if (source->IsEmpty()) {
            std::fprintf(stderr, "SourceBench: %s is not an audio file\n", argv[1]);
            return 1;
        }
        const bool wave = source->GetFileType() == ftWave;
        Report(argv[1], argv[1], wave ? WaveDecoderSeconds : MpegDecoderSeconds,
               source->Duration() / 1000.0);
        return 0;
    }
    if (!Run("command -v sox") || !Run("command -v lame") || !Run("command -v twolame")) {
        std::printf("SourceBench: skipped, it needs sox, lame and twolame to make its files\n");
        return 0;
    }
    char pattern[] = "/tmp/tessaro-source-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("SourceBench: mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = pattern;
    const std::string wav = (folder / "five-minutes.wav").string();
    const std::string wav48 = (folder / "five-minutes-48k.wav").string();
    const std::string mp3 = (folder / "five-minutes.mp3").string();
    const std::string mp2 = (folder / "five-minutes.mp2").string();
    // Pink noise under a tone: every band in use, as in music.
    const std::string synth =
        " synth " + std::to_string(Seconds) + " pinknoise sine 1000 remix 1,2v0.5 2,1v0.5 vol 0.4";
    const bool made = Run("sox -n -r 44100 -c 2 -b 16 " + wav + synth) &&
                      Run("sox -n -r 48000 -c 2 -b 16 " + wav48 + synth) &&
                      Run("lame --quiet -b 192 " + wav + " " + mp3) &&
                      Run("twolame --quiet -b 256 " + wav48 + " " + mp2);
    if (made) {
        Report("WAV 44.1 kHz stereo 16-bit", wav, WaveDecoderSeconds);
        Report("MP3 44.1 kHz stereo 192 kbit/s", mp3, MpegDecoderSeconds);
        Report("MP2 48 kHz stereo 256 kbit/s", mp2, MpegDecoderSeconds);
    } else {
        std::fprintf(stderr, "SourceBench: making the files failed\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return made ? 0 : 1;
}
