#include "sources/MMWaveIO.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

// Chunk fields and the format record are copied straight from the file.
static_assert(std::endian::native == std::endian::little, "RIFF fields are little-endian");

namespace {

constexpr FOURCC RiffId = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC WaveId = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC FormatId = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC DataId = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC FactId = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC ListId = mmioFOURCC('L', 'I', 'S', 'T');
constexpr FOURCC InfoId = mmioFOURCC('I', 'N', 'F', 'O');
constexpr FOURCC DisplayId = mmioFOURCC('D', 'I', 'S', 'P');

constexpr int64_t ChunkHeaderBytes = 8;
constexpr int64_t Int32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t Int32Min = std::numeric_limits<int32_t>::min();

// The standard RIFF info ids; entries with other ids are not kept.
constexpr std::array<FOURCC, 23> InfoEntryIds = {
    mmioFOURCC('I', 'A', 'R', 'L'), mmioFOURCC('I', 'A', 'R', 'T'), mmioFOURCC('I', 'C', 'M', 'S'),
    mmioFOURCC('I', 'C', 'M', 'T'), mmioFOURCC('I', 'C', 'O', 'P'), mmioFOURCC('I', 'C', 'R', 'D'),
    mmioFOURCC('I', 'C', 'R', 'P'), mmioFOURCC('I', 'D', 'I', 'M'), mmioFOURCC('I', 'D', 'P', 'I'),
    mmioFOURCC('I', 'E', 'N', 'G'), mmioFOURCC('I', 'G', 'N', 'R'), mmioFOURCC('I', 'K', 'E', 'Y'),
    mmioFOURCC('I', 'L', 'G', 'T'), mmioFOURCC('I', 'M', 'E', 'D'), mmioFOURCC('I', 'N', 'A', 'M'),
    mmioFOURCC('I', 'P', 'L', 'T'), mmioFOURCC('I', 'P', 'R', 'D'), mmioFOURCC('I', 'S', 'B', 'J'),
    mmioFOURCC('I', 'S', 'F', 'T'), mmioFOURCC('I', 'S', 'H', 'P'), mmioFOURCC('I', 'S', 'R', 'C'),
    mmioFOURCC('I', 'S', 'R', 'F'), mmioFOURCC('I', 'T', 'C', 'H'),
};

// The offset behind a chunk's data and its pad byte.
int64_t ChunkEnd(const MMCKINFO& chunk) {
    return static_cast<int64_t>(chunk.dwDataOffset) + chunk.cksize + (chunk.cksize & 1);
}

int32_t SaturateToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp(value, Int32Min, Int32Max));
}

// product / divisor rounded to nearest, halves away from zero; divisor 0 gives 0. The callers
// keep |product| below 2^63 and |divisor| below 2^33, so 2 * remainder cannot overflow.
int64_t RoundedQuotient(int64_t product, int64_t divisor) {
    if (divisor == 0)
        return 0;
    const int64_t quotient = product / divisor;
    const int64_t remainder = product % divisor;
    return quotient + (2 * remainder) / divisor;
}

// a * b / c for a 32-bit count and two unsigned 32-bit format fields (or constants).
int32_t MulDivField(int32_t a, uint32_t b, uint32_t c) {
    return SaturateToInt32(RoundedQuotient(static_cast<int64_t>(a) * b, c));
}

// Rounds up to whole blocks in unsigned 32-bit arithmetic; a block size of 0 gives 0.
int32_t RoundUpToBlocks(int32_t bytes, uint16_t blockAlign) {
    if (blockAlign == 0)
        return 0;
    uint32_t value = static_cast<uint32_t>(bytes);
    value = (value + blockAlign - 1u) / blockAlign * blockAlign;
    return static_cast<int32_t>(value);
}

// trunc(n * multiplier / divisor) in extended precision, saturated to the 64-bit range.
int64_t TruncatedQuotient(int64_t n, uint32_t multiplier, uint32_t divisor) {
    if (divisor == 0)
        return 0;
    const long double quotient =
        std::trunc(static_cast<long double>(n) * multiplier / static_cast<long double>(divisor));
    constexpr long double Limit = 9223372036854775808.0L; // 2^63
    if (quotient >= Limit)
        return std::numeric_limits<int64_t>::max();
    if (quotient < -Limit)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(quotient);
}

const WAVEFORMATEX* FormatOf(const TWaveIOBlock& block) {
    return block.formatBytes.size() >= sizeof(WAVEFORMATEX) ? block.Format() : nullptr;
}

uint16_t BlockAlignOf(const TWaveIOBlock& block) {
    const WAVEFORMATEX* format = FormatOf(block);
    return format != nullptr ? format->nBlockAlign : 0;
}

// Reads exactly `count` bytes; the reader takes at most 2 GiB per call.
bool ReadExact(MMIOFile& file, void* buffer, std::size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const auto part = static_cast<int32_t>(std::min<std::size_t>(count, Int32Max));
        if (file.Read(out, part) != part)
            return false;
        out += part;
        count -= static_cast<std::size_t>(part);
    }
    return true;
}

bool WriteAll(MMIOFile& file, const void* buffer, std::size_t count) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        const auto part = static_cast<int32_t>(std::min<std::size_t>(count, Int32Max));
        if (file.Write(in, part) != part)
            return false;
        in += part;
        count -= static_cast<std::size_t>(part);
    }
    return true;
}

// Keeps the standard entries of a LIST/INFO chunk; the reader stands just behind "INFO".
int ReadInfoList(MMIOFile& file, const MMCKINFO& chunk, std::vector<TWaveInfoEntry>& list) {
    if (chunk.cksize < 5)
        return WIOERR_NOERROR;
    std::vector<uint8_t> bytes(chunk.cksize - 4);
    if (!ReadExact(file, bytes.data(), bytes.size()))
        return WIOERR_FILEERROR;
    const std::size_t end = bytes.size();
    std::size_t at = 0; // never more than end + 1 (a pad byte past the last entry)
    while (at + ChunkHeaderBytes <= end) {
        FOURCC id = 0;
        uint32_t size = 0;
        std::memcpy(&id, bytes.data() + at, sizeof id);
        std::memcpy(&size, bytes.data() + at + 4, sizeof size);
        const std::size_t textAt = at + ChunkHeaderBytes;
        if (size > end - textAt)
            break;
        if (std::find(InfoEntryIds.begin(), InfoEntryIds.end(), id) != InfoEntryIds.end()) {
            const auto* text = reinterpret_cast<const char*>(bytes.data() + textAt);
            // Info texts end with a NUL inside their size; the NUL is not part of the text.
            list.push_back({id, std::string(text, strnlen(text, size))});
        }
        at = textAt + size + (size & 1);
    }
    return WIOERR_NOERROR;
}

int ReadDisplayChunk(MMIOFile& file, const MMCKINFO& chunk, std::vector<TWaveDispEntry>& list) {
    if (chunk.cksize < 5)
        return WIOERR_NOERROR;
    TWaveDispEntry entry{};
    entry.data.resize(chunk.cksize - 4);
    if (!ReadExact(file, &entry.type, sizeof entry.type) ||
        !ReadExact(file, entry.data.data(), entry.data.size()))
        return WIOERR_FILEERROR;
    list.push_back(std::move(entry));
    return WIOERR_NOERROR;
}

// Walks the chunks of an opened RIFF WAVE source into `block`. The source is closed on return.
int ParseWave(TWaveIOBlock& block, const std::string& name, FOURCC formType, uint32_t flags) {
    std::unique_ptr<MMIOFile> file;
    MMCKINFO riff{};
    if (const int result = WaveIOOpenRiff(file, riff, flags, formType, name))
        return result;

    const int64_t fileSize = file->Seek(0, SEEK_END);
    if (fileSize < 0 || file->Seek(static_cast<int64_t>(riff.dwDataOffset) + 4, SEEK_SET) < 0)
        return WIOERR_FILEERROR;
    if (static_cast<int64_t>(riff.dwDataOffset) + riff.cksize > fileSize)
        riff.cksize = static_cast<uint32_t>(fileSize - riff.dwDataOffset);
    const int64_t riffEnd = static_cast<int64_t>(riff.dwDataOffset) + riff.cksize;

    // The sample data runs from the "data" chunk's data to the header of the chunk after it,
    // or to the end of the file; its declared size does not count.
    int64_t dataEnd = fileSize;
    bool formatFound = false;
    bool dataFound = false;
    bool afterData = false;
    int32_t factSamples = -1; // read for completeness; the sample count is always computed
    uint32_t declaredDataBytes = 0;
    MMCKINFO dataChunk{};

    for (;;) {
        MMCKINFO chunk{};
        if (file->Descend(chunk, &riff, 0) != MMIOERR_OK)
            break;
        const int64_t chunkEnd = static_cast<int64_t>(chunk.dwDataOffset) + chunk.cksize;
        if (chunkEnd > riffEnd) {
            if (formatFound && dataFound)
                break;
            if (chunkEnd > fileSize)
                chunk.cksize = static_cast<uint32_t>(fileSize - chunk.dwDataOffset);
        }
        if (afterData) {
            dataEnd = static_cast<int64_t>(chunk.dwDataOffset) - ChunkHeaderBytes;
            afterData = false;
        }

        if (chunk.ckid == ListId && chunk.fccType == InfoId) {
            if (const int result = ReadInfoList(*file, chunk, block.infoList))
                return result;
        } else if (chunk.ckid == DisplayId) {
            if (const int result = ReadDisplayChunk(*file, chunk, block.dispList))
                return result;
        } else if (chunk.ckid == FormatId) {
            if (formatFound)
                break;
            block.formatBytes.assign(std::max<std::size_t>(chunk.cksize, sizeof(WAVEFORMATEX)), 0);
            if (!ReadExact(*file, block.formatBytes.data(), chunk.cksize))
                return WIOERR_FILEERROR;
            formatFound = true;
        } else if (chunk.ckid == DataId) {
            if (declaredDataBytes != 0)
                break;
            declaredDataBytes = chunk.cksize;
            dataChunk = chunk;
            afterData = true;
            dataFound = true;
        } else if (chunk.ckid == FactId) {
            if (factSamples != -1)
                break;
            uint8_t value[4] = {}; // a fact chunk cut short by the end of the file reads as 0
            if (file->Read(value, sizeof value) < 0)
                return WIOERR_FILEERROR;
            std::memcpy(&factSamples, value, sizeof factSamples);
        }

        if (file->Ascend(chunk) != MMIOERR_OK) {
            if (declaredDataBytes != 0)
                break;
            return WIOERR_FILEERROR;
        }
    }

    block.flags = flags;
    block.fileSize = static_cast<uint32_t>(std::min<int64_t>(fileSize, UINT32_MAX));
    if (flags & RIFFWAVE_INFOONLY) {
        block.formatBytes.clear();
        block.size = sizeof(TWaveIOBlock);
        return WIOERR_NOERROR;
    }
    if (!formatFound)
        return WIOERR_ERROR;
    WAVEFORMATEX* format = block.Format();
    const uint16_t storedBlockAlign = format->nBlockAlign;
    if (storedBlockAlign == 0)
        return WIOERR_ERROR;

    int64_t dataBytes = dataFound ? std::max<int64_t>(dataEnd - dataChunk.dwDataOffset, 0) : 0;
    // Byte counts travel as 32-bit signed values; anything past 2 GiB cannot be addressed.
    dataBytes = std::min(dataBytes, Int32Max);
    dataBytes = dataBytes / storedBlockAlign * storedBlockAlign;

    // PCM headers are often written wrong; the block size and byte rate follow from the rest.
    if (format->wFormatTag == WAVE_FORMAT_PCM) {
        const uint32_t bitsPerBlock = static_cast<uint32_t>(format->wBitsPerSample) *
                                      static_cast<uint32_t>(format->nChannels);
        format->nBlockAlign = static_cast<uint16_t>(bitsPerBlock >> 3);
        format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
    }

    const int32_t sampleCount = BytesToSamples(format, static_cast<int32_t>(dataBytes));
    block.size = static_cast<uint32_t>(sizeof(TWaveIOBlock) + block.formatBytes.size());
    block.riffInfo = riff;
    block.dataInfo = dataChunk;
    block.dataBytes = static_cast<uint32_t>(dataBytes);
    block.dataOffset = dataChunk.dwDataOffset;
    block.sampleCount = static_cast<uint32_t>(sampleCount);
    block.rangeStart = 0;
    block.rangeEnd = sampleCount;
    block.bytesLeft = 0;
    block.currentSample = 0;
    return WIOERR_NOERROR;
}

// Opens the source for reads that bypass the buffer and the chunk structure.
std::unique_ptr<MMIOFile> OpenPlain(const TWaveIOBlock& block) {
    auto file = (block.flags & RIFFWAVE_MEMORY)
                    ? MMIOFile::OpenMemory(block.name.data(), block.name.size())
                    : MMIOFile::Open(block.name, MMIOMode::Read);
    if (file != nullptr && file->SetBuffer(0) != MMIOERR_OK)
        file.reset();
    return file;
}

bool WriteChunk(MMIOFile& file, FOURCC id, const void* first, std::size_t firstCount,
                const void* second, std::size_t secondCount) {
    MMCKINFO chunk{};
    chunk.ckid = id;
    return file.CreateChunk(chunk, 0) == MMIOERR_OK && WriteAll(file, first, firstCount) &&
           WriteAll(file, second, secondCount) && file.Ascend(chunk) == MMIOERR_OK;
}

// Completes a recorded file: the data size, "fact", the kept chunks, then the RIFF size.
int CompleteRecording(TWaveIOBlock& block) {
    MMIOFile& file = *block.handle;
    const WAVEFORMATEX* format = block.Format();
    if (block.bytesWritten == 0) {
        // An empty "data" chunk is refused by some readers; four bytes of zeros stand in.
        const uint8_t zeros[4] = {};
        if (file.Write(zeros, sizeof zeros) != static_cast<int32_t>(sizeof zeros))
            return WIOERR_FILEERROR;
        block.bytesWritten = sizeof zeros;
    }
    if (file.Ascend(block.dataInfo) != MMIOERR_OK)
        return WIOERR_FILEERROR;

    const uint16_t blockAlign = format->nBlockAlign;
    const int64_t usable =
        blockAlign != 0 ? std::min<int64_t>(block.bytesWritten, Int32Max) / blockAlign * blockAlign
                        : 0;
    const int32_t sampleCount = BytesToSamples(format, static_cast<int32_t>(usable));
    if (format->wFormatTag != WAVE_FORMAT_PCM) {
        // A file recorded into again may hold a "fact" chunk before its data: it is updated in
        // place, as a second one would end the parsing of the chunks behind it.
        constexpr uint32_t FirstChunk = 12; // behind "RIFF", its size and "WAVE"
        const int64_t behindData = file.Position();
        MMCKINFO beforeData{};
        beforeData.dwDataOffset = FirstChunk;
        beforeData.cksize = block.dataInfo.dwDataOffset - FirstChunk - ChunkHeaderBytes;
        MMCKINFO fact{};
        fact.ckid = FactId;
        if (block.dataInfo.dwDataOffset >= FirstChunk + ChunkHeaderBytes &&
            file.Seek(FirstChunk, SEEK_SET) >= 0 &&
            file.Descend(fact, &beforeData, MMIO_FINDCHUNK) == MMIOERR_OK && fact.cksize >= 4) {
            if (file.Write(&sampleCount, sizeof sampleCount) !=
                    static_cast<int32_t>(sizeof sampleCount) ||
                file.Seek(behindData, SEEK_SET) < 0)
                return WIOERR_FILEERROR;
        } else if (file.Seek(behindData, SEEK_SET) < 0 ||
                   !WriteChunk(file, FactId, &sampleCount, sizeof sampleCount, nullptr, 0)) {
            return WIOERR_FILEERROR;
        }
    }
    for (const TWaveDispEntry& entry : block.dispList) {
        if (!WriteChunk(file, DisplayId, &entry.type, sizeof entry.type, entry.data.data(),
                        entry.data.size()))
            return WIOERR_FILEERROR;
    }
    if (!block.infoList.empty()) {
        MMCKINFO list{};
        list.fccType = InfoId;
        if (file.CreateChunk(list, MMIO_CREATELIST) != MMIOERR_OK)
            return WIOERR_FILEERROR;
        for (const TWaveInfoEntry& entry : block.infoList) {
            // Written with the NUL that ends an info text.
            if (!WriteChunk(file, entry.id, entry.text.c_str(), entry.text.size() + 1, nullptr, 0))
                return WIOERR_FILEERROR;
        }
        if (file.Ascend(list) != MMIOERR_OK)
            return WIOERR_FILEERROR;
    }
    if (file.Ascend(block.riffInfo) != MMIOERR_OK || file.Flush() != MMIOERR_OK)
        return WIOERR_FILEERROR;

    block.fileSize = static_cast<uint32_t>(std::min<int64_t>(file.Size(), UINT32_MAX));
    block.dataOffset = block.dataInfo.dwDataOffset;
    block.dataBytes = static_cast<uint32_t>(usable);
    block.sampleCount = static_cast<uint32_t>(sampleCount);
    block.rangeStart = 0;
    block.rangeEnd = sampleCount;
    return WIOERR_NOERROR;
}

} // namespace

// ---- conversions ---------------------------------------------------------------------------

int32_t MulDivRound(int32_t a, int32_t b, int32_t c) {
    return SaturateToInt32(RoundedQuotient(static_cast<int64_t>(a) * b, c));
}

int32_t BytesToSamples(const WAVEFORMATEX* format, int32_t bytes) {
    if (format == nullptr)
        return 0;
    return MulDivField(bytes, format->nSamplesPerSec, format->nAvgBytesPerSec);
}

int32_t SamplesToBytes(const WAVEFORMATEX* format, int32_t samples) {
    if (format == nullptr)
        return 0;
    return RoundUpToBlocks(MulDivField(samples, format->nAvgBytesPerSec, format->nSamplesPerSec),
                           format->nBlockAlign);
}

int32_t SamplesToTime(const WAVEFORMATEX* format, int32_t samples) {
    if (format == nullptr)
        return 0;
    return MulDivField(samples, 1000, format->nSamplesPerSec);
}

int32_t TimeToSamples(const WAVEFORMATEX* format, int32_t ms) {
    if (format == nullptr)
        return 0;
    return MulDivField(ms, format->nSamplesPerSec, 1000);
}

int32_t TimeToBytes(const WAVEFORMATEX* format, int32_t ms) {
    if (format == nullptr)
        return 0;
    return RoundUpToBlocks(MulDivField(ms, format->nAvgBytesPerSec, 1000), format->nBlockAlign);
}

int32_t BytesToTime(const WAVEFORMATEX* format, int32_t bytes) {
    if (format == nullptr)
        return 0;
    return MulDivField(bytes, 1000, format->nAvgBytesPerSec);
}

int64_t BytesToSamples64(const WAVEFORMATEX* format, int64_t bytes) {
    if (format == nullptr)
        return 0;
    return TruncatedQuotient(bytes, format->nSamplesPerSec, format->nAvgBytesPerSec);
}

int64_t SamplesToBytes64(const WAVEFORMATEX* format, int64_t samples) {
    if (format == nullptr || format->nBlockAlign == 0)
        return 0;
    auto value = static_cast<uint64_t>(
        TruncatedQuotient(samples, format->nAvgBytesPerSec, format->nSamplesPerSec));
    value = (value + format->nBlockAlign - 1u) / format->nBlockAlign * format->nBlockAlign;
    return static_cast<int64_t>(value);
}

int64_t SamplesToTime64(const WAVEFORMATEX* format, int64_t samples) {
    if (format == nullptr)
        return 0;
    return TruncatedQuotient(samples, 1000, format->nSamplesPerSec);
}

int64_t TimeToSamples64(const WAVEFORMATEX* format, int64_t ms) {
    if (format == nullptr)
        return 0;
    return TruncatedQuotient(ms, format->nSamplesPerSec, 1000);
}

std::string GetFormatName(uint16_t formatTag) {
    struct FormatName {
        uint16_t tag;
        const char* name;
    };
    // Searched in order, so the first of two names for one tag wins.
    static constexpr FormatName Names[] = {
        {0x0000, "Unknown"},
        {0x0001, "PCM"},
        {0x020C, "PCM 32"},
        {0x0002, "Microsoft ADPCM"},
        {0x0003, "Mediavision's ADPCM"},
        {0x0005, "IBM CVSD"},
        {0x0006, "CCITT A-Law"},
        {0x0007, "CCITT mu-Law"},
        {0x0010, "OKI ADPCM"},
        {0x0011, "IMA ADPCM"},
        {0x0011, "DVI ADPCM"},
        {0x0012, "Mediaspace's ADPCM"},
        {0x0013, "Sierra's ADPCM"},
        {0x0014, "CCITT G.723 ADPCM"},
        {0x0015, "Digisound DIGISTD"},
        {0x0016, "Digisound DIGIFIX"},
        {0x0017, "Dialogic OKI ADPCM"},
        {0x0020, "Yamaha ADPCM"},
        {0x0021, "Sonarc"},
        {0x0022, "DSP Group's Truespeech"},
        {0x0023, "Echo SC1"},
        {0x0024, "Audiofile AF36"},
        {0x0025, "Audio Processing Technology"},
        {0x0026, "Audiofile AF10"},
        {0x0030, "Dolby AC2"},
        {0x0209, "Dolby AC2"},
        {0x0031, "GSM 6.10"},
        {0x0033, "Antex ADPCME"},
        {0x0039, "CS IMA ADPCM"},
        {0x0040, "CCITT G.721 ADPCM"},
        {0x0050, "MPEG 1"},
        {0x0055, "MPEG Layer-3"},
        {0x0200, "Creative's ADPCM"},
        {0x1001, "Olivetti's ADPCM"},
        {0x0204, "CDI-C"},
        {0x0205, "CDI-B"},
        {0x0206, "Antex-DVI-OKI ADPCME"},
        {0xFFFF, "*DEVELOPMENT ONLY TAG*"},
    };
    for (const FormatName& entry : Names) {
        if (entry.tag == formatTag)
            return entry.name;
    }
    return "Unknown";
}

// ---- the wave file I/O layer ---------------------------------------------------------------

int WaveIOOpenRiff(std::unique_ptr<MMIOFile>& handle, MMCKINFO& riffInfo, uint32_t flags,
                   FOURCC formType, const std::string& name) {
    handle.reset();
    if (flags & RIFFWAVE_RESOURCE)
        return WIOERR_FILEERROR;
    // A file is only ever read here: the program never writes a file it plays.
    auto file = (flags & RIFFWAVE_MEMORY) ? MMIOFile::OpenMemory(name.data(), name.size())
                                          : MMIOFile::Open(name, MMIOMode::Read);
    if (file == nullptr)
        return WIOERR_FILEERROR;
    MMCKINFO riff{};
    if (file->Descend(riff, nullptr, 0) != MMIOERR_OK || riff.ckid != RiffId ||
        riff.fccType != formType)
        return WIOERR_FILEERROR;
    handle = std::move(file);
    riffInfo = riff;
    return WIOERR_NOERROR;
}

int WaveIOOpen(PWaveIOCB& block, const std::string& name, FOURCC formType, uint32_t flags) {
    block = nullptr;
    if (name.empty() && !(flags & RIFFWAVE_MEMORY))
        return WIOERR_BADPARAMS;
    try {
        auto parsed = std::make_unique<TWaveIOBlock>();
        parsed->name = name;
        if (const int result = ParseWave(*parsed, name, formType, flags))
            return result;
        block = parsed.release();
        return WIOERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return WIOERR_NOMEM;
    } catch (const std::length_error&) {
        return WIOERR_NOMEM;
    }
}

int WaveIOOpenMemory(PWaveIOCB& block, const void* data, std::size_t size) {
    block = nullptr;
    if (data == nullptr && size > 0)
        return WIOERR_BADPARAMS;
    try {
        const std::string image =
            data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
        return WaveIOOpen(block, image, WaveId, RIFFWAVE_PLAIN | RIFFWAVE_MEMORY);
    } catch (const std::bad_alloc&) {
        return WIOERR_NOMEM;
    }
}

int WaveIOReopen(PWaveIOCB block) {
    if (block == nullptr)
        return WIOERR_BADPARAMS;
    if (block->writing)
        return WIOERR_FILEERROR; // a recording is read back only once it is finished
    if (block->handle == nullptr) {
        if (block->flags & RIFFWAVE_PLAINFILE)
            block->handle = OpenPlain(*block);
        else
            WaveIOOpenRiff(block->handle, block->riffInfo, block->flags, WaveId, block->name);
    }
    if (block->handle == nullptr)
        return WIOERR_FILEERROR;
    if (WaveIOSeek(block, block->currentSample) != WIOERR_NOERROR) {
        block->handle.reset();
        return WIOERR_FILEERROR;
    }
    return WIOERR_NOERROR;
}

int WaveIOSeek(PWaveIOCB block, int32_t sample) {
    // Moving the write point of a recording would overwrite its data.
    if (block == nullptr || sample < 0 || block->writing)
        return WIOERR_FILEERROR;
    const WAVEFORMATEX* format = FormatOf(*block);
    const int64_t rangeSamples = static_cast<int64_t>(block->rangeEnd) - block->rangeStart;
    const int64_t target = std::max<int64_t>(std::min<int64_t>(sample, rangeSamples - 1), 0);
    int64_t bytes = SamplesToBytes(format, SaturateToInt32(block->rangeStart + target));

    if (block->handle != nullptr) {
        const uint16_t blockAlign = BlockAlignOf(*block);
        bytes = std::clamp<int64_t>(bytes, 0, block->dataBytes);
        bytes = blockAlign != 0 ? bytes / blockAlign * blockAlign : 0;
        MMIOFile& file = *block->handle;
        const int64_t dataOffset = block->dataOffset;
        if (block->flags & RIFFWAVE_PLAINFILE) {
            if (file.Seek(dataOffset + bytes, SEEK_SET) < 0)
                return WIOERR_FILEERROR;
        } else {
            MMCKINFO chunk{};
            if (dataOffset < ChunkHeaderBytes ||
                file.Seek(dataOffset - ChunkHeaderBytes, SEEK_SET) < 0 ||
                file.Descend(chunk, nullptr, 0) != MMIOERR_OK || chunk.ckid != DataId)
                return WIOERR_FILEERROR;
            block->dataInfo = chunk;
            if (file.Seek(bytes, SEEK_CUR) < 0)
                return WIOERR_FILEERROR;
        }
        block->bytesLeft =
            SaturateToInt32(static_cast<int64_t>(SamplesToBytes(format, block->rangeEnd)) - bytes);
    }
    block->currentSample = SaturateToInt32(
        static_cast<int64_t>(BytesToSamples(format, SaturateToInt32(bytes))) - block->rangeStart);
    return WIOERR_NOERROR;
}

int32_t WaveIORead(PWaveIOCB block, void* buffer, int32_t count) {
    if (block == nullptr || block->handle == nullptr || block->writing)
        return -1;
    if (block->bytesLeft <= 0)
        return -1;
    const int32_t wanted = std::min(count, block->bytesLeft);
    const int32_t got = block->handle->Read(buffer, wanted);
    if (got < 0)
        return -1;
    if (got < count)
        block->bytesLeft = 0; // the range or the file is exhausted
    if (got == 0)
        return 0;
    block->bytesLeft = std::max(block->bytesLeft - got, 0);
    block->currentSample =
        SaturateToInt32(static_cast<int64_t>(block->rangeEnd) - block->rangeStart -
                        BytesToSamples(FormatOf(*block), block->bytesLeft));
    return got;
}

int WaveIOSetBuffer(PWaveIOCB block, int32_t size) {
    if (block == nullptr || size < 0)
        return WIOERR_BADPARAMS;
    // A plain file has no buffer to size.
    if (block->handle == nullptr || (block->flags & RIFFWAVE_PLAINFILE))
        return WIOERR_ERROR;
    switch (block->handle->SetBuffer(size)) {
    case MMIOERR_OK:
        return WIOERR_NOERROR;
    case MMIOERR_OUTOFMEMORY:
        return WIOERR_NOMEM;
    default:
        return WIOERR_FILEERROR;
    }
}

int WaveIOFinish(PWaveIOCB block) {
    if (block == nullptr)
        return WIOERR_BADPARAMS;
    int result = WIOERR_NOERROR;
    if (block->handle != nullptr && block->writing) {
        try {
            result = CompleteRecording(*block);
        } catch (const std::bad_alloc&) {
            result = WIOERR_NOMEM;
        }
    }
    block->handle.reset();
    block->writing = false;
    block->bytesLeft = 0;
    block->currentSample = 0;
    return result;
}

int WaveIOFree(PWaveIOCB& block) {
    if (block == nullptr)
        return WIOERR_BADPARAMS;
    // The block goes either way; a recording that could not be completed is still reported.
    const int result = WaveIOFinish(block);
    delete block;
    block = nullptr;
    return result;
}

bool IsValidWaveFile(const std::string& name, uint32_t flags) {
    if (name.empty())
        return false;
    PWaveIOCB block = nullptr;
    if (WaveIOOpen(block, name, WaveId, flags) != WIOERR_NOERROR)
        return false;
    WaveIOFree(block);
    return true;
}

int WaveIOFromFormat(PWaveIOCB& block, const WAVEFORMATEX* format) {
    block = nullptr;
    if (format == nullptr)
        return WIOERR_BADPARAMS;
    try {
        auto created = std::make_unique<TWaveIOBlock>();
        const bool pcm = format->wFormatTag == WAVE_FORMAT_PCM;
        const std::size_t size = sizeof(WAVEFORMATEX) + (pcm ? 0 : format->cbSize);
        const auto* bytes = reinterpret_cast<const uint8_t*>(format);
        created->formatBytes.assign(bytes, bytes + size);
        if (pcm)
            created->Format()->cbSize = 0;
        created->size = static_cast<uint32_t>(sizeof(TWaveIOBlock) + size);
        created->flags = RIFFWAVE_PLAIN;
        block = created.release();
        return WIOERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return WIOERR_NOMEM;
    }
}

int WaveIOCreate(PWaveIOCB block, const std::string& name) {
    if (block == nullptr || name.empty() || FormatOf(*block) == nullptr)
        return WIOERR_BADPARAMS;
    if (block->handle != nullptr)
        return WIOERR_ERROR;
    try {
        const bool pcm = block->Format()->wFormatTag == WAVE_FORMAT_PCM;
        // PCM keeps the 16-byte chunk without cbSize; other formats carry their extra bytes.
        const std::size_t formatSize = pcm ? 16 : sizeof(WAVEFORMATEX) + block->Format()->cbSize;
        if (block->formatBytes.size() < formatSize)
            block->formatBytes.resize(formatSize, 0);

        auto file = MMIOFile::Open(name, MMIOMode::Create);
        if (file == nullptr)
            return WIOERR_FILEERROR;
        MMCKINFO riff{};
        riff.fccType = WaveId;
        MMCKINFO format{};
        format.ckid = FormatId;
        MMCKINFO data{};
        data.ckid = DataId;
        if (file->CreateChunk(riff, MMIO_CREATERIFF) != MMIOERR_OK ||
            file->CreateChunk(format, 0) != MMIOERR_OK ||
            !WriteAll(*file, block->formatBytes.data(), formatSize) ||
            file->Ascend(format) != MMIOERR_OK || file->CreateChunk(data, 0) != MMIOERR_OK)
            return WIOERR_FILEERROR;

        block->handle = std::move(file);
        block->name = name;
        block->flags = RIFFWAVE_PLAIN;
        block->riffInfo = riff;
        block->dataInfo = data;
        block->dataOffset = data.dwDataOffset;
        block->dataBytes = 0;
        block->sampleCount = 0;
        block->rangeStart = 0;
        block->rangeEnd = 0;
        block->bytesLeft = 0;
        block->currentSample = 0;
        block->bytesWritten = 0;
        block->writing = true;
        return WIOERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return WIOERR_NOMEM;
    }
}

int WaveIOAppend(PWaveIOCB& block, const std::string& name) {
    block = nullptr;
    PWaveIOCB parsedBlock = nullptr;
    if (const int result = WaveIOOpen(parsedBlock, name, WaveId, RIFFWAVE_PLAIN))
        return result;
    std::unique_ptr<TWaveIOBlock> parsed(parsedBlock);
    if (parsed->dataInfo.ckid != DataId)
        return WIOERR_ERROR;
    try {
        auto file = MMIOFile::Open(name, MMIOMode::ReadWrite);
        if (file == nullptr)
            return WIOERR_FILEERROR;
        // The kept chunks before the data stay where they are; only those behind it are
        // written again after the new samples.
        parsed->dispList.clear();
        parsed->infoList.clear();
        MMCKINFO riff = parsed->riffInfo;
        if (file->Seek(ChunkEnd(parsed->dataInfo), SEEK_SET) >= 0) {
            MMCKINFO chunk{};
            while (file->Descend(chunk, &riff, 0) == MMIOERR_OK) {
                int result = WIOERR_NOERROR;
                if (chunk.ckid == ListId && chunk.fccType == InfoId)
                    result = ReadInfoList(*file, chunk, parsed->infoList);
                else if (chunk.ckid == DisplayId)
                    result = ReadDisplayChunk(*file, chunk, parsed->dispList);
                if (result != WIOERR_NOERROR || file->Ascend(chunk) != MMIOERR_OK)
                    break;
            }
        }
        const int64_t dataEnd = static_cast<int64_t>(parsed->dataOffset) + parsed->dataBytes;
        if (file->Truncate(dataEnd) != MMIOERR_OK || file->Seek(dataEnd, SEEK_SET) < 0)
            return WIOERR_FILEERROR;

        parsed->riffInfo.dwDataOffset = ChunkHeaderBytes;
        parsed->riffInfo.dwFlags = MMIO_DIRTY;
        parsed->dataInfo.dwFlags = MMIO_DIRTY;
        parsed->handle = std::move(file);
        parsed->writing = true;
        parsed->bytesWritten = parsed->dataBytes;
        parsed->bytesLeft = 0;
        parsed->currentSample = 0;
        block = parsed.release();
        return WIOERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return WIOERR_NOMEM;
    }
}

int32_t WaveIOWrite(PWaveIOCB block, const void* data, int32_t count) {
    if (block == nullptr || block->handle == nullptr || !block->writing || count < 0)
        return -1;
    // Chunk sizes are 32-bit: the file cannot grow past 4 GiB.
    if (block->handle->Position() + count > std::numeric_limits<uint32_t>::max())
        return -1;
    const int32_t written = block->handle->Write(data, count);
    if (written < 0)
        return -1;
    block->bytesWritten += static_cast<uint32_t>(written);
    return written;
}
