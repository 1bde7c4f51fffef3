// Feeds arbitrary bytes to the wave parser and reader. Every open, seek and read must stay
// inside its buffers and come to an end, whatever the chunk sizes claim.
#include "sources/MMWaveIO.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr FOURCC WaveForm = mmioFOURCC('W', 'A', 'V', 'E');

// Reads with sizes that do not divide any block size, seeks into the middle and past the end.
void PlayThrough(PWaveIOCB block, std::size_t seed) {
    if (WaveIOReopen(block) != WIOERR_NOERROR)
        return;
    const int32_t bufferSizes[] = {1, 7, 4095};
    WaveIOSetBuffer(block, bufferSizes[seed % 3]);
    static std::vector<uint8_t> buffer(4099);
    const int32_t readSizes[] = {1, 7, 4095, 4099};
    for (int i = 0; i < 6; ++i) {
        if (WaveIORead(block, buffer.data(), readSizes[(seed + i) % 4]) <= 0)
            break;
    }
    WaveIOSeek(block, static_cast<int32_t>(block->sampleCount / 2));
    WaveIORead(block, buffer.data(), 7);
    WaveIOSeek(block, INT32_MAX);
    WaveIORead(block, buffer.data(), 4099);
    WaveIORead(block, buffer.data(), 1);
    WaveIOFinish(block);
}

// A file of this process in the temporary folder, removed at exit. Plain storage, so that it
// outlives every destructor that runs at exit.
const char* ScratchPath() {
    static char path[4096] = {};
    if (path[0] == '\0') {
        const auto file = std::filesystem::temp_directory_path() /
                          ("tessaro-fuzz-waveio-" + std::to_string(getpid()) + ".wav");
        std::snprintf(path, sizeof path, "%s", file.c_str());
        std::atexit([] { unlink(path); });
    }
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PWaveIOCB block = nullptr;
    if (WaveIOOpenMemory(block, data, size) == WIOERR_NOERROR) {
        PlayThrough(block, size);
        WaveIOFree(block);
    }
    const std::string image(reinterpret_cast<const char*>(data), size);
    if (WaveIOOpen(block, image, WaveForm, RIFFWAVE_MEMORY | RIFFWAVE_INFOONLY) == WIOERR_NOERROR)
        WaveIOFree(block);

    // Every eighth input also goes through a real file, once on each data path.
    if (size % 8 == 0) {
        {
            std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
            out.write(image.data(), static_cast<std::streamsize>(image.size()));
        }
        for (const uint32_t flags : {RIFFWAVE_PLAIN, RIFFWAVE_PLAIN | RIFFWAVE_PLAINFILE}) {
            if (WaveIOOpen(block, ScratchPath(), WaveForm, flags) == WIOERR_NOERROR) {
                PlayThrough(block, size / 8);
                WaveIOFree(block);
            }
        }
    }
    return 0;
}
