// Feeds arbitrary bytes to the MPEG reader as a file: the class check, loading, then playing to
// the end with a buffer that divides no frame size, and seeks into the middle and past the end.
// Whatever the stream holds, every call must stay inside its buffers and come to an end.
#include "chain/MMMsgs.h"
#include "sources/MMMPEG.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A file of this process in the temporary folder, removed at exit. Plain storage, so that it
// outlives every destructor that runs at exit.
const char* ScratchPath() {
    static char path[4096] = {};
    if (path[0] == '\0') {
        const auto file = std::filesystem::temp_directory_path() /
                          ("tessaro-fuzz-mpeg-" + std::to_string(getpid()) + ".mp3");
        std::snprintf(path, sizeof path, "%s", file.c_str());
        std::atexit([] { unlink(path); });
    }
    return path;
}

// Pulls until the reader ends its stream, a bounded number of times.
void PullToTheEnd(TMMMPEGFile& reader, std::vector<char>& buffer, int maxPulls) {
    TMMChainHdr header{};
    header.lpData = buffer.data();
    for (int i = 0; i < maxPulls; ++i) {
        header.dwBufferLength = static_cast<uint32_t>(reader.GetBufferSize());
        header.dwBytesRecorded = 0;
        bool more = false;
        reader.BufferLoad(&header, more);
        if (header.dwBytesRecorded == 0 || !more)
            return;
    }
}

void Play(const std::string& path, std::size_t seed) {
    TMMComponentOwner owner;
    auto* reader = new TMMMPEGFile(&owner);
    reader->SetFileName(path);
    reader->SetChannelMode(static_cast<TChannelMode>(seed % 4));
    reader->SetBufferSize(4099);
    reader->Open();
    reader->Start();
    static std::vector<char> buffer(4099);
    // A whole stream of the largest input libFuzzer makes here decodes in far fewer pulls.
    PullToTheEnd(*reader, buffer, 20000);
    const int32_t frames = reader->Frames();
    reader->SetPosition(frames / 2);
    PullToTheEnd(*reader, buffer, 3);
    reader->SetPosition(frames + 3);
    PullToTheEnd(*reader, buffer, 3);
    reader->Close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(ScratchPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    if (!TMMMPEGFile::CanLoadFile(ScratchPath()))
        return 0;
    try {
        Play(ScratchPath(), size);
    } catch (const EMMMpegError&) {
        // A file the decoder refuses, or a stream that fails while playing, raises this; both
        // are answers, not faults.
    }
    return 0;
}
