// Wave format helpers (conversions between samples, bytes and milliseconds; format names) and
// the wave file I/O layer: a RIFF WAVE file parsed into one TWaveIOBlock, then read by sample.
//
// Threading: the functions take no lock; a block is used by one reader at a time.
#pragma once

#include "platform/MMIO.h"
#include "platform/MMSystem.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---- conversions ---------------------------------------------------------------------------

// a*b/c with a 64-bit product, rounded to nearest, halves away from zero. c = 0 gives 0; a
// quotient beyond the 32-bit range saturates.
int32_t MulDivRound(int32_t a, int32_t b, int32_t c);

// All answer 0 for an absent format (or a zero divisor in it).
int32_t BytesToSamples(const WAVEFORMATEX* format, int32_t bytes);
int32_t SamplesToBytes(const WAVEFORMATEX* format, int32_t samples); // rounded up to blocks
int32_t SamplesToTime(const WAVEFORMATEX* format, int32_t samples);  // milliseconds
int32_t TimeToSamples(const WAVEFORMATEX* format, int32_t ms);
int32_t TimeToBytes(const WAVEFORMATEX* format, int32_t ms); // rounded up to blocks
int32_t BytesToTime(const WAVEFORMATEX* format, int32_t bytes);

// 64-bit variants for position counters: extended-precision quotient, truncated.
int64_t BytesToSamples64(const WAVEFORMATEX* format, int64_t bytes);
int64_t SamplesToBytes64(const WAVEFORMATEX* format, int64_t samples); // rounded up to blocks
int64_t SamplesToTime64(const WAVEFORMATEX* format, int64_t samples);
int64_t TimeToSamples64(const WAVEFORMATEX* format, int64_t ms);

// The name of a format tag ("PCM", "Microsoft ADPCM", ...; "Unknown" when not listed).
std::string GetFormatName(uint16_t formatTag);

// ---- the wave file I/O layer ---------------------------------------------------------------

// Result codes.
constexpr int WIOERR_NOERROR = 0;
constexpr int WIOERR_ERROR = 101;     // no "fmt " chunk, bad handle for the buffer size
constexpr int WIOERR_BADPARAMS = 104; // missing block or name
constexpr int WIOERR_FILEERROR = 106; // cannot open, not RIFF WAVE, read or seek failed
constexpr int WIOERR_NOMEM = 107;

// Open flags.
constexpr uint32_t RIFFWAVE_PLAIN = 1;    // plain read
constexpr uint32_t RIFFWAVE_RESOURCE = 2; // not supported here: fails with 106
constexpr uint32_t RIFFWAVE_MEMORY = 4;   // Name is a memory image (see WaveIOOpenMemory)
constexpr uint32_t RIFFWAVE_INFOONLY = 8; // read only the LIST/DISP chunks
constexpr uint32_t RIFFWAVE_PLAINFILE =
    16; // data read with plain file I/O instead of the RIFF reader

struct TWaveInfoEntry {
    FOURCC id;
    std::string text;
};

struct TWaveDispEntry {
    uint32_t type;
    std::vector<uint8_t> data;
};

// One parsed RIFF WAVE file.
struct TWaveIOBlock {
    uint32_t size = 0;                // bytes held for the block including the whole format chunk
    uint32_t flags = 0;               // open flags
    std::unique_ptr<MMIOFile> handle; // open reader or nullptr while closed
    MMCKINFO riffInfo{};              // the outer RIFF chunk as found (size clamped)
    MMCKINFO dataInfo{};              // the "data" chunk; re-entered on every seek
    uint32_t fileSize = 0;
    uint32_t dataBytes = 0; // usable sample data bytes (whole blocks)
    uint32_t dataOffset = 0;
    uint32_t sampleCount = 0;
    int32_t rangeStart = 0;    // first sample of the play range
    int32_t rangeEnd = 0;      // end sample of the play range, exclusive
    int32_t bytesLeft = 0;     // bytes readable up to the range end from the read point
    int32_t currentSample = 0; // read point, counted from range start
    std::string name;          // the file name; for a memory image, its bytes
    std::vector<TWaveDispEntry> dispList;
    std::vector<TWaveInfoEntry> infoList;
    // Recording: the file was created here and must be completed when finished.
    bool writing = false;
    uint32_t bytesWritten = 0;
    std::vector<uint8_t> formatBytes; // the "fmt " chunk, at least 18 bytes

    WAVEFORMATEX* Format() { return reinterpret_cast<WAVEFORMATEX*>(formatBytes.data()); }
    const WAVEFORMATEX* Format() const {
        return reinterpret_cast<const WAVEFORMATEX*>(formatBytes.data());
    }
};
using PWaveIOCB = TWaveIOBlock*;

// Parses a RIFF WAVE file (always opened read-only) into a new block whose file is closed again.
// 0; 101 without a "fmt " chunk or with a block size of 0 in it; 104 for an empty name; 106
// when the file cannot be opened or read or is not RIFF of `formType`; 107 out of memory. On
// failure `block` is nullptr. A file without a "data" chunk opens with no samples.
int WaveIOOpen(PWaveIOCB& block, const std::string& name, FOURCC formType, uint32_t flags);
int WaveIOOpenRiff(std::unique_ptr<MMIOFile>& handle, MMCKINFO& riffInfo, uint32_t flags,
                   FOURCC formType, const std::string& name);
// Parses a RIFF WAVE image in memory; the block keeps a copy of the bytes as its name.
int WaveIOOpenMemory(PWaveIOCB& block, const void* data, std::size_t size);
// Opens the file of a parsed block again (when closed) and seeks to its current sample; 0 or 106.
int WaveIOReopen(PWaveIOCB block);
// sample counts from the range start and is clamped into the range; 0 or 106.
int WaveIOSeek(PWaveIOCB block, int32_t sample);
// The bytes read, 0 at the end of the file, -1 without an open file or with nothing left.
int32_t WaveIORead(PWaveIOCB block, void* buffer, int32_t count);
// 0; 101 without an open buffered file; 104 for a negative size; 107 out of memory.
int WaveIOSetBuffer(PWaveIOCB block, int32_t size);
// Closes the file, completing a recording first; the block stays valid for WaveIOReopen.
int WaveIOFinish(PWaveIOCB block);
// Finishes and deletes the block and sets it to nullptr; 104 for nullptr.
int WaveIOFree(PWaveIOCB& block);
bool IsValidWaveFile(const std::string& name, uint32_t flags);

// Recording: a block made from a format, a new file holding RIFF/WAVE, "fmt " and the "data"
// header, the samples appended, then WaveIOFinish.
int WaveIOFromFormat(PWaveIOCB& block, const WAVEFORMATEX* format);
int WaveIOCreate(PWaveIOCB block, const std::string& name);
// Opens an existing wave file to record more samples behind its data. Whatever follows the
// usable data is cut off; "DISP" and "LIST"/"INFO" chunks that followed it are written back by
// WaveIOFinish, other chunks there are lost. 0, or the results of WaveIOOpen (101 also for a
// file without a "data" chunk).
int WaveIOAppend(PWaveIOCB& block, const std::string& name);
// The bytes written, or -1.
int32_t WaveIOWrite(PWaveIOCB block, const void* data, int32_t count);
