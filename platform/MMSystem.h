// The multimedia records every audio component shares: the stream format, the buffer header,
// the chunk info of the RIFF reader and four-character codes. Plain structs in native layout.
#pragma once

#include <cstddef>
#include <cstdint>

using FOURCC = uint32_t;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
    return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
           (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}

// Format tags used by the program itself.
constexpr uint16_t WAVE_FORMAT_UNKNOWN = 0x0000;
constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;
constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
constexpr uint16_t WAVE_FORMAT_MPEG = 0x0050;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The stream format record. Packed as in a "fmt " chunk: 18 bytes, then cbSize extra bytes.
#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
using PWaveFormatEx = WAVEFORMATEX*;

// Buffer header flags.
constexpr uint32_t WHDR_DONE = 0x00000001;
constexpr uint32_t WHDR_PREPARED = 0x00000002;
constexpr uint32_t WHDR_BEGINLOOP = 0x00000004;
constexpr uint32_t WHDR_ENDLOOP = 0x00000008;
constexpr uint32_t WHDR_INQUEUE = 0x00000010;

// The buffer header handed to the wave output service. Native layout (64-bit pointers).
struct WAVEHDR {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};
using PWaveHdr = WAVEHDR*;

// Chunk info of the RIFF reader: id, size of the chunk data, form or list type, file offset of
// the chunk data, and reader flags.
struct MMCKINFO {
    FOURCC ckid;
    uint32_t cksize;
    FOURCC fccType;
    uint32_t dwDataOffset;
    uint32_t dwFlags;
};

// Set on a chunk created for writing whose size must be fixed when it is left.
constexpr uint32_t MMIO_DIRTY = 0x10000000;
