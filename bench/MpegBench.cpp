// Decoding speed of the MPEG reader against its decoder alone, for a five-minute MP3 and MP2
// made at run time with sox, lame and twolame (skipped with a message when they are missing).
// Prints one line per file: both speeds as multiples of real time, and their ratio.
//   tessaro_bench_mpeg [FILE]    (FILE: measure that file instead)
#include "platform/MpegDecoder.h"
#include "sources/MMMPEG.h"

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

// The decode loop through the platform decoder: the least the reader can cost.
double DecoderSeconds(const std::string& path) {
    int32_t code = 0;
    TMpegHandle handle = mpeg_Init(code, nullptr, nullptr);
    if (handle == nullptr || mpeg_SetFileName(handle, path) != 0 || mpeg_OpenFile(handle) != 0) {
        std::fprintf(stderr, "MpegBench: the decoder refused %s\n", path.c_str());
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

// The same stream pulled through the reader as the chain pulls it.
double ReaderSeconds(const std::string& path) {
    TMMComponentOwner owner;
    auto* reader = new TMMMPEGFile(&owner);
    reader->SetFileName(path);
    reader->SetBufferSize(BufferBytes);
    reader->Open();
    reader->Start();
    std::vector<char> buffer(BufferBytes);
    TMMChainHdr header{};
    header.lpData = buffer.data();
    const auto start = Clock::now();
    for (;;) {
        header.dwBufferLength = static_cast<uint32_t>(reader->GetBufferSize());
        header.dwBytesRecorded = 0;
        bool more = false;
        reader->BufferLoad(&header, more);
        if (header.dwBytesRecorded == 0 || !more)
            break;
    }
    return SecondsSince(start);
}

void Report(const char* label, const std::string& path, double audioSeconds = Seconds) {
    double decoder = 1e9;
    double reader = 1e9;
    for (int run = 0; run < Runs; ++run) {
        decoder = std::min(decoder, DecoderSeconds(path));
        reader = std::min(reader, ReaderSeconds(path));
    }
    std::printf("%s: decoder %.1fx real time, reader %.1fx real time, reader/decoder speed %.3f\n",
                label, audioSeconds / decoder, audioSeconds / reader, decoder / reader);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        // A file of the caller's: its own length.
        TMMComponentOwner owner;
        auto* reader = new TMMMPEGFile(&owner);
        reader->SetFileName(argv[1]);
        if (reader->IsEmpty()) {
            std::fprintf(stderr, "MpegBench: %s holds no MPEG audio\n", argv[1]);
            return 1;
        }
        Report(argv[1], argv[1], reader->GetTime() / 1000.0);
        return 0;
    }
    if (!Run("command -v sox") || !Run("command -v lame") || !Run("command -v twolame")) {
        std::printf("MpegBench: skipped, it needs sox, lame and twolame to make its files\n");
        return 0;
    }
    char pattern[] = "/tmp/tessaro-mpeg-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("MpegBench: mkdtemp");
        return 1;
    }
    const std::filesystem::path folder = pattern;
    const std::string source44 = (folder / "source44.wav").string();
    const std::string source48 = (folder / "source48.wav").string();
    const std::string mp3 = (folder / "five-minutes.mp3").string();
    const std::string mp2 = (folder / "five-minutes.mp2").string();
    // Pink noise under a tone: every band in use, as in music.
    const std::string synth =
        " synth " + std::to_string(Seconds) + " pinknoise sine 1000 remix 1,2v0.5 2,1v0.5 vol 0.4";
    const bool made = Run("sox -n -r 44100 -c 2 -b 16 " + source44 + synth) &&
                      Run("sox -n -r 48000 -c 2 -b 16 " + source48 + synth) &&
                      Run("lame --quiet -b 192 " + source44 + " " + mp3) &&
                      Run("twolame --quiet -b 256 " + source48 + " " + mp2);
    if (made) {
        Report("MP3 44.1 kHz stereo 192 kbit/s", mp3);
        Report("MP2 48 kHz stereo 256 kbit/s", mp2);
    } else {
        std::fprintf(stderr, "MpegBench: making the files failed\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return made ? 0 : 1;
}
