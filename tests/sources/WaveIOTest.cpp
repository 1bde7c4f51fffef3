#include "sources/MMWaveIO.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

using testsupport::MakeWave;
using testsupport::PcmFormat;
using testsupport::RampBytes;
using testsupport::ReadFile;
using testsupport::RiffBuilder;
using testsupport::TempDir;

namespace {

constexpr FOURCC WaveForm = mmioFOURCC('W', 'A', 'V', 'E');

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> Le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A sub-chunk of a LIST body, padded to even length.
std::vector<uint8_t> SubChunk(const char* id, const std::vector<uint8_t>& data) {
    auto out = Concat({Bytes(std::string(id, 4)), Le32(static_cast<uint32_t>(data.size())), data});
    if (data.size() % 2 != 0)
        out.push_back(0);
    return out;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, std::size_t at, std::size_t count) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(at),
            bytes.begin() + static_cast<std::ptrdiff_t>(at + count)};
}

const WAVEFORMATEX Stereo16 = PcmFormat(2, 8000, 16); // 4-byte blocks, 32000 bytes/s
const WAVEFORMATEX Mono16 = PcmFormat(1, 8000, 16);

// IMA ADPCM, 8 kHz mono, 256-byte blocks of 505 samples.
WAVEFORMATEX ImaFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 8000;
    format.nAvgBytesPerSec = 4055;
    format.nBlockAlign = 256;
    format.wBitsPerSample = 4;
    format.cbSize = 2;
    return format;
}
const std::vector<uint8_t> ImaExtra = {0xF9, 0x01};

WAVEFORMATEX With(WAVEFORMATEX format, uint16_t blockAlign, uint32_t avgBytes) {
    format.nBlockAlign = blockAlign;
    format.nAvgBytesPerSec = avgBytes;
    return format;
}

// Frees the block on every way out of a test.
struct Block {
    PWaveIOCB block = nullptr;
    ~Block() {
        if (block != nullptr)
            WaveIOFree(block);
    }
    PWaveIOCB operator->() const { return block; }
};

// Reads until the block reports the end; the bytes in order.
std::vector<uint8_t> ReadToEnd(PWaveIOCB block, int32_t readSize) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(static_cast<std::size_t>(readSize));
    for (;;) {
        const int32_t got = WaveIORead(block, buffer.data(), readSize);
        if (got <= 0)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

} // namespace

// ---- parsing ---------------------------------------------------------------------------------

TEST(WaveIOOpen, ParsesCraftedFilesByTheChunkRules) {
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        int result;
        uint32_t dataOffset = 0;
        uint32_t dataBytes = 0;
        uint32_t samples = 0;
        uint16_t blockAlign = 0; // as the block holds it after the open
        uint32_t avgBytes = 0;
    };
    const auto ramp1000 = RampBytes(1000);
    const auto info = Concat({Bytes("INFO"), SubChunk("INAM", Bytes("Name"))});
    const Case cases[] = {
        {"canonical PCM", MakeWave(Stereo16, ramp1000), WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"data declares more than the file holds, part block dropped",
         RiffBuilder().Format(Stereo16).Chunk("data", RampBytes(1003), 100000, false).Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"RIFF size larger than the file",
         RiffBuilder().Format(Stereo16).Chunk("data", ramp1000).Build(1000000), WIOERR_NOERROR, 44,
         1000, 250, 4, 32000},
        {"data ends at the next header; pad byte short of a block dropped",
         RiffBuilder().Format(Stereo16).Chunk("data", RampBytes(1001)).Chunk("LIST", info).Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"pad byte that completes a block is data",
         RiffBuilder().Format(Mono16).Chunk("data", RampBytes(1001)).Chunk("LIST", info).Build(),
         WIOERR_NOERROR, 44, 1002, 501, 2, 16000},
        {"PCM with a wrong block size: cut by it, then repaired",
         RiffBuilder().Format(With(Stereo16, 6, 12345)).Chunk("data", ramp1000).Build(),
         WIOERR_NOERROR, 44, 996, 249, 4, 32000},
        {"PCM with a wrong byte rate is repaired",
         RiffBuilder().Format(With(Stereo16, 4, 11111)).Chunk("data", ramp1000).Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"wrong fact count ignored, non-PCM format kept as stored",
         RiffBuilder()
             .Format(ImaFormat(), ImaExtra)
             .Chunk("fact", Le32(99999))
             .Chunk("data", RampBytes(1024))
             .Build(),
         WIOERR_NOERROR, 60, 1024, 2020, 256, 4055},
        {"second fmt ends parsing, the first counts",
         RiffBuilder()
             .Format(Stereo16)
             .Chunk("data", ramp1000)
             .Format(PcmFormat(1, 8000, 8))
             .Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"second data ends parsing, the first counts",
         RiffBuilder()
             .Format(Stereo16)
             .Chunk("data", ramp1000)
             .Chunk("data", RampBytes(500))
             .Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"data before fmt", RiffBuilder().Chunk("data", ramp1000).Format(Stereo16).Build(),
         WIOERR_NOERROR, 20, 1000, 250, 4, 32000},
        {"chunk past the RIFF end after fmt and data is read as data",
         RiffBuilder()
             .Format(Stereo16)
             .Chunk("data", ramp1000)
             .Chunk("LIST", RampBytes(10), 100000)
             .Build(),
         WIOERR_NOERROR, 44, 1016, 254, 4, 32000},
        {"bytes after the RIFF chunk are data",
         RiffBuilder().Format(Stereo16).Chunk("data", ramp1000).Raw(RampBytes(6, 1)).Build(1036),
         WIOERR_NOERROR, 44, 1004, 251, 4, 32000},
        {"odd chunk without pad at the end, after the data",
         RiffBuilder()
             .Format(Stereo16)
             .Chunk("data", ramp1000)
             .Chunk("junk", {1, 2, 3}, -1, false)
             .Build(),
         WIOERR_NOERROR, 44, 1000, 250, 4, 32000},
        {"data outside a RIFF that ends after fmt: no samples",
         RiffBuilder().Format(Stereo16).Chunk("data", ramp1000).Build(28), WIOERR_NOERROR, 0, 0, 0,
         4, 32000},
        {"odd chunk without pad at the end, before any data",
         RiffBuilder().Format(Stereo16).Chunk("junk", {1, 2, 3}, -1, false).Build(),
         WIOERR_FILEERROR},
        {"no fmt chunk", RiffBuilder().Chunk("data", ramp1000).Build(), WIOERR_ERROR},
        {"PCM block size 0 (checked before the repair)",
         RiffBuilder().Format(With(Stereo16, 0, 32000)).Chunk("data", ramp1000).Build(),
         WIOERR_ERROR},
        {"non-PCM block size 0",
         RiffBuilder().Format(With(ImaFormat(), 0, 4055), ImaExtra).Chunk("data", ramp1000).Build(),
         WIOERR_ERROR},
        {"fmt cut short by the end of the file",
         RiffBuilder().Chunk("fmt ", {1, 0, 2, 0, 0x40, 0x1F}, 16, false).Build(), WIOERR_ERROR},
        {"RIFF of another form",
         RiffBuilder("AVI ").Format(Stereo16).Chunk("data", ramp1000).Build(), WIOERR_FILEERROR},
        {"text file", Bytes("This is not a wave file at all.\n"), WIOERR_FILEERROR},
        {"RIFF header cut short", {'R', 'I', 'F', 'F', 4, 0}, WIOERR_FILEERROR},
        {"empty file", {}, WIOERR_FILEERROR},
    };

    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write("case.wav", c.image);
        Block opened;
        ASSERT_EQ(WaveIOOpen(opened.block, path, WaveForm, RIFFWAVE_PLAIN), c.result);
        EXPECT_EQ(IsValidWaveFile(path, RIFFWAVE_PLAIN), c.result == WIOERR_NOERROR);
        if (c.result != WIOERR_NOERROR) {
            EXPECT_EQ(opened.block, nullptr);
            continue;
        }
        ASSERT_NE(opened.block, nullptr);
        EXPECT_EQ(opened->handle, nullptr); // parsed, then closed again
        EXPECT_EQ(opened->fileSize, c.image.size());
        EXPECT_EQ(opened->dataOffset, c.dataOffset);
        EXPECT_EQ(opened->dataBytes, c.dataBytes);
        EXPECT_EQ(opened->sampleCount, c.samples);
        EXPECT_EQ(opened->rangeStart, 0);
        EXPECT_EQ(opened->rangeEnd, static_cast<int32_t>(c.samples));
        EXPECT_EQ(opened->Format()->nBlockAlign, c.blockAlign);
        EXPECT_EQ(opened->Format()->nAvgBytesPerSec, c.avgBytes);
        if (c.dataBytes > 0) {
            ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
            EXPECT_EQ(ReadToEnd(opened.block, 333), Slice(c.image, c.dataOffset, c.dataBytes));
        }
    }
}

TEST(WaveIOOpen, KeepsStandardInfoEntriesAndDisplayChunks) {
    const auto info =
        Concat({Bytes("INFO"), SubChunk("INAM", Bytes(std::string("Title\0", 6))),
                SubChunk("IXYZ", Bytes("skip")), // not a standard id
                SubChunk("ICMT", Bytes(std::string("Note\0", 5))), SubChunk("IART", Bytes("Me")),
                // reaches past the end of the list: ends the walk
                Bytes("ISFT"), Le32(100), Bytes("x")});
    const auto withFormat =
        RiffBuilder()
            .Format(Stereo16)
            .Chunk("LIST", Bytes("INFO"), 3) // too small to hold entries
            .Chunk("DISP", Concat({Le32(1), Bytes("Pic")}))
            .Chunk("DISP", Le32(8)) // too small to hold data
            .Chunk("LIST", Concat({Bytes("adtl"), SubChunk("INAM", Bytes("no"))}))
            .Chunk("data", RampBytes(400))
            .Chunk("LIST", info)
            .Build();
    const auto withoutFormat = RiffBuilder().Chunk("LIST", info).Build();

    TempDir dir;
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        uint32_t flags;
        int result;
        bool hasFormat;
    };
    const Case cases[] = {
        {"full open", withFormat, RIFFWAVE_PLAIN, WIOERR_NOERROR, true},
        {"info only", withFormat, RIFFWAVE_PLAIN | RIFFWAVE_INFOONLY, WIOERR_NOERROR, false},
        {"info only needs no fmt", withoutFormat, RIFFWAVE_INFOONLY, WIOERR_NOERROR, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Block opened;
        ASSERT_EQ(WaveIOOpen(opened.block, dir.Write("info.wav", c.image), WaveForm, c.flags),
                  c.result);
        EXPECT_EQ(!opened->formatBytes.empty(), c.hasFormat);
        ASSERT_EQ(opened->infoList.size(), 3u);
        EXPECT_EQ(opened->infoList[0].id, mmioFOURCC('I', 'N', 'A', 'M'));
        EXPECT_EQ(opened->infoList[0].text, "Title");
        EXPECT_EQ(opened->infoList[1].id, mmioFOURCC('I', 'C', 'M', 'T'));
        EXPECT_EQ(opened->infoList[1].text, "Note");
        EXPECT_EQ(opened->infoList[2].id, mmioFOURCC('I', 'A', 'R', 'T'));
        EXPECT_EQ(opened->infoList[2].text, "Me");
        if (c.image == withFormat) {
            ASSERT_EQ(opened->dispList.size(), 1u);
            EXPECT_EQ(opened->dispList[0].type, 1u);
            EXPECT_EQ(opened->dispList[0].data, Bytes("Pic"));
        }
        if (c.hasFormat) {
            EXPECT_EQ(opened->dataBytes, 400u);
        }
    }
    Block plain;
    EXPECT_EQ(WaveIOOpen(plain.block, dir.Write("info.wav", withoutFormat), WaveForm, 1),
              WIOERR_ERROR);
}

TEST(WaveIOOpen, RefusesNamesThatAreNoWaveFile) {
    TempDir dir;
    const std::string wave = dir.Write("good.wav", MakeWave(Stereo16, RampBytes(100)));
    EXPECT_TRUE(IsValidWaveFile(wave, RIFFWAVE_PLAIN));
    EXPECT_TRUE(IsValidWaveFile(wave, RIFFWAVE_PLAIN | RIFFWAVE_PLAINFILE));
    EXPECT_FALSE(IsValidWaveFile(wave, RIFFWAVE_RESOURCE));
    EXPECT_FALSE(IsValidWaveFile("", RIFFWAVE_PLAIN));
    EXPECT_FALSE(IsValidWaveFile(dir.Path("missing.wav").string(), RIFFWAVE_PLAIN));
    EXPECT_FALSE(IsValidWaveFile(dir.Path("").string(), RIFFWAVE_PLAIN));

    Block held;
    ASSERT_EQ(WaveIOOpen(held.block, wave, WaveForm, RIFFWAVE_PLAIN), WIOERR_NOERROR);
    PWaveIOCB block = held.block; // a failed open clears whatever the pointer held
    EXPECT_EQ(WaveIOOpen(block, "", WaveForm, RIFFWAVE_PLAIN), WIOERR_BADPARAMS);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(WaveIOFree(block), WIOERR_BADPARAMS);
}

// ---- reading and seeking ---------------------------------------------------------------------

// Every byte of the data arrives once and in order, whatever the buffer and read sizes.
TEST(WaveIORead, ReadsTheWholeDataWithAwkwardSizes) {
    // 40003 data bytes and a pad byte end at the LIST header: 40004 bytes, 10001 samples.
    const auto image = RiffBuilder()
                           .Format(Stereo16)
                           .Chunk("data", RampBytes(40003, 7))
                           .Chunk("LIST", Concat({Bytes("INFO"), SubChunk("INAM", Bytes("x"))}))
                           .Build();
    const auto expected = Slice(image, 44, 40004);
    enum class Source { File, Memory, PlainFile };
    struct Case {
        const char* name;
        Source source;
        int32_t ioBuffer;
        int32_t readSize;
    };
    const Case cases[] = {
        {"file, 8192-byte buffer, 4095-byte reads", Source::File, 8192, 4095},
        {"file, 1-byte buffer, 7-byte reads", Source::File, 1, 7},
        {"file, 7-byte buffer, 1-byte reads", Source::File, 7, 1},
        {"file, 4095-byte buffer, 40005-byte read", Source::File, 4095, 40005},
        {"memory, 4095-byte buffer, 7-byte reads", Source::Memory, 4095, 7},
        {"memory, unbuffered, 4099-byte reads", Source::Memory, 0, 4099},
        {"plain file, 4095-byte reads", Source::PlainFile, 0, 4095},
        {"plain file, 3-byte reads", Source::PlainFile, 0, 3},
    };
    TempDir dir;
    const std::string path = dir.Write("ramp.wav", image);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Block opened;
        switch (c.source) {
        case Source::File:
            ASSERT_EQ(WaveIOOpen(opened.block, path, WaveForm, RIFFWAVE_PLAIN), WIOERR_NOERROR);
            break;
        case Source::Memory:
            ASSERT_EQ(WaveIOOpenMemory(opened.block, image.data(), image.size()), WIOERR_NOERROR);
            break;
        case Source::PlainFile:
            ASSERT_EQ(WaveIOOpen(opened.block, path, WaveForm, RIFFWAVE_PLAIN | RIFFWAVE_PLAINFILE),
                      WIOERR_NOERROR);
            break;
        }
        EXPECT_EQ(WaveIOSetBuffer(opened.block, 8192), WIOERR_ERROR); // nothing open yet
        ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
        const bool plain = c.source == Source::PlainFile;
        EXPECT_EQ(WaveIOSetBuffer(opened.block, c.ioBuffer), plain ? WIOERR_ERROR : WIOERR_NOERROR);
        EXPECT_EQ(WaveIOSetBuffer(opened.block, -1), WIOERR_BADPARAMS);
        EXPECT_EQ(opened->bytesLeft, 40004);

        const auto got = ReadToEnd(opened.block, c.readSize);
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_EQ(got, expected);
        EXPECT_EQ(opened->bytesLeft, 0);
        EXPECT_EQ(opened->currentSample, 10001);
    }
}

TEST(WaveIOSeek, LandsOnWholeSamplesInsideTheRange) {
    const auto data = RampBytes(1000); // 250 samples of 4 bytes
    TempDir dir;
    Block opened;
    ASSERT_EQ(WaveIOOpen(opened.block, dir.Write("seek.wav", MakeWave(Stereo16, data)), WaveForm,
                         RIFFWAVE_PLAIN),
              WIOERR_NOERROR);
    ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
    struct Case {
        int32_t request;
        int32_t current;
        int32_t bytesLeft;
    };
    const Case cases[] = {
        {0, 0, 1000}, {1, 1, 996}, {249, 249, 4}, {250, 249, 4}, {INT_MAX, 249, 4}, {100, 100, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        ASSERT_EQ(WaveIOSeek(opened.block, c.request), WIOERR_NOERROR);
        EXPECT_EQ(opened->currentSample, c.current);
        EXPECT_EQ(opened->bytesLeft, c.bytesLeft);
        uint8_t sample[4] = {};
        ASSERT_EQ(WaveIORead(opened.block, sample, 4), 4);
        EXPECT_EQ(std::vector<uint8_t>(sample, sample + 4), Slice(data, 4u * c.current, 4));
        EXPECT_EQ(opened->currentSample, c.current + 1);
    }
    EXPECT_EQ(WaveIOSeek(opened.block, -1), WIOERR_FILEERROR);
    EXPECT_EQ(opened->currentSample, 101); // unchanged by the refused seek
    EXPECT_EQ(WaveIOSeek(nullptr, 0), WIOERR_FILEERROR);
}

TEST(WaveIOSeek, SnapsCompressedDataToBlockStarts) {
    const auto image =
        RiffBuilder().Format(ImaFormat(), ImaExtra).Chunk("data", RampBytes(1024)).Build();
    Block opened;
    ASSERT_EQ(WaveIOOpenMemory(opened.block, image.data(), image.size()), WIOERR_NOERROR);
    ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
    // Sample 600 lies in the second 256-byte block, which begins at sample 1010 by the byte rate.
    ASSERT_EQ(WaveIOSeek(opened.block, 600), WIOERR_NOERROR);
    EXPECT_EQ(opened->currentSample, 1010);
    EXPECT_EQ(opened->bytesLeft, 512);
    std::vector<uint8_t> block(256);
    ASSERT_EQ(WaveIORead(opened.block, block.data(), 256), 256);
    EXPECT_EQ(block, Slice(image, 48 + 512, 256));
}

TEST(WaveIORead, EndOfRangeClosedFileAndReopenRules) {
    const auto data = RampBytes(1000);
    TempDir dir;
    Block opened;
    ASSERT_EQ(WaveIOOpen(opened.block, dir.Write("rules.wav", MakeWave(Stereo16, data)), WaveForm,
                         RIFFWAVE_PLAIN),
              WIOERR_NOERROR);
    uint8_t buffer[100];
    EXPECT_EQ(WaveIORead(opened.block, buffer, 100), -1); // no file open
    EXPECT_EQ(WaveIORead(nullptr, buffer, 100), -1);

    // A seek while closed moves the read point only; the reopen resumes there.
    ASSERT_EQ(WaveIOSeek(opened.block, 100), WIOERR_NOERROR);
    EXPECT_EQ(opened->currentSample, 100);
    EXPECT_EQ(opened->bytesLeft, 0);
    ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
    ASSERT_EQ(WaveIORead(opened.block, buffer, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), Slice(data, 400, 4));

    // Asking for more than is left returns the rest and ends the range.
    ASSERT_EQ(WaveIOSeek(opened.block, 248), WIOERR_NOERROR);
    EXPECT_EQ(WaveIORead(opened.block, buffer, 100), 8);
    EXPECT_EQ(opened->bytesLeft, 0);
    EXPECT_EQ(opened->currentSample, 250);
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_EQ(WaveIORead(opened.block, buffer, 100), -1);
    EXPECT_EQ(opened->bytesLeft, 0);
    EXPECT_EQ(opened->currentSample, 250);
    EXPECT_EQ(buffer[0], 0xAB);

    // Finishing closes the file and rewinds; the block reopens from the start.
    EXPECT_EQ(WaveIOFinish(opened.block), WIOERR_NOERROR);
    EXPECT_EQ(opened->handle, nullptr);
    EXPECT_EQ(opened->currentSample, 0);
    EXPECT_EQ(WaveIORead(opened.block, buffer, 4), -1);
    ASSERT_EQ(WaveIOReopen(opened.block), WIOERR_NOERROR);
    ASSERT_EQ(WaveIORead(opened.block, buffer, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), Slice(data, 0, 4));
}

// ---- format helpers --------------------------------------------------------------------------

TEST(WaveFormatHelpers, MulDivRoundRoundsHalvesAwayFromZero) {
    struct Case {
        int32_t a, b, c, result;
    };
    const Case cases[] = {
        {5, 1, 2, 3},
        {-5, 1, 2, -3},
        {5, 1, -2, -3},
        {-5, -1, 2, 3},
        {7, 1, 4, 2},
        {-7, 1, 4, -2},
        {5, 1, 4, 1},
        {-5, 1, 4, -1},
        {2, 1, 3, 1},
        {1, 1, 3, 0},
        {123, 456, 0, 0},
        {1 << 30, 6, 8, 805306368},
        {INT_MAX, 2, 1, INT_MAX},
        {INT_MIN, 2, 1, INT_MIN},
        {INT_MIN, -1, 1, INT_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MulDivRound(c.a, c.b, c.c), c.result) << c.a << " * " << c.b << " / " << c.c;
}

TEST(WaveFormatHelpers, ConversionsRoundAndFillBlocks) {
    using Conversion = int32_t (*)(const WAVEFORMATEX*, int32_t);
    const WAVEFORMATEX cd = PcmFormat(2, 44100, 16);
    const WAVEFORMATEX phone = PcmFormat(1, 8000, 8);
    const WAVEFORMATEX ima = ImaFormat();
    struct Case {
        const char* name;
        Conversion convert;
        const WAVEFORMATEX* format;
        int32_t in, out;
    };
    const Case cases[] = {
        {"BytesToSamples", BytesToSamples, &cd, 1000, 250},
        {"BytesToSamples half", BytesToSamples, &cd, 1002, 251},
        {"SamplesToBytes", SamplesToBytes, &cd, 250, 1000},
        {"SamplesToTime", SamplesToTime, &cd, 44100, 1000},
        {"SamplesToTime below half", SamplesToTime, &cd, 22, 0},
        {"SamplesToTime above half", SamplesToTime, &cd, 23, 1},
        {"SamplesToTime half", SamplesToTime, &phone, 4, 1},
        {"SamplesToTime negative half", SamplesToTime, &phone, -4, -1},
        {"TimeToSamples", TimeToSamples, &cd, 1, 44},
        {"TimeToBytes", TimeToBytes, &cd, 1, 176},
        {"TimeToBytes filled to a block", TimeToBytes, &cd, 3, 532},
        {"BytesToTime", BytesToTime, &cd, 176400, 1000},
        {"BytesToTime half rounds", BytesToTime, &cd, 89, 1},
        {"bytes of one compressed sample", SamplesToBytes, &ima, 1, 256},
        {"SamplesToBytes compressed", SamplesToBytes, &ima, 1000, 512},
        {"BytesToSamples compressed", BytesToSamples, &ima, 512, 1010},
        {"TimeToBytes compressed", TimeToBytes, &ima, 1000, 4096},
        {"BytesToTime compressed", BytesToTime, &ima, 4055, 1000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.convert(c.format, c.in), c.out) << c.name;

    const WAVEFORMATEX empty{};
    for (const Conversion convert :
         {BytesToSamples, SamplesToBytes, SamplesToTime, TimeToSamples, TimeToBytes, BytesToTime}) {
        EXPECT_EQ(convert(nullptr, 1000), 0);
        EXPECT_EQ(convert(&empty, 1000), 0);
    }
}

TEST(WaveFormatHelpers, WideConversionsTruncate) {
    using Conversion = int64_t (*)(const WAVEFORMATEX*, int64_t);
    const WAVEFORMATEX cd = PcmFormat(2, 44100, 16);
    const WAVEFORMATEX ima = ImaFormat();
    struct Case {
        const char* name;
        Conversion convert;
        const WAVEFORMATEX* format;
        int64_t in, out;
    };
    const Case cases[] = {
        {"BytesToSamples64 beyond 32 bits", BytesToSamples64, &cd, 1000000000000, 250000000000},
        {"BytesToSamples64 truncates a half", BytesToSamples64, &cd, 1002, 250},
        {"BytesToSamples64 truncates toward zero", BytesToSamples64, &cd, -1002, -250},
        {"SamplesToBytes64 beyond 32 bits", SamplesToBytes64, &cd, 3000000000, 12000000000},
        {"SamplesToBytes64 truncates, then fills the block", SamplesToBytes64, &ima, 1000, 512},
        {"SamplesToBytes64 on a block boundary", SamplesToBytes64, &ima, 2021, 1024},
        {"SamplesToTime64 truncates", SamplesToTime64, &cd, 44099, 999},
        {"SamplesToTime64 beyond 32 bits", SamplesToTime64, &cd, 441000000000, 10000000000},
        {"TimeToSamples64", TimeToSamples64, &cd, 10000000000, 441000000000},
        {"BytesToSamples64 compressed", BytesToSamples64, &ima, 512, 1010},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.convert(c.format, c.in), c.out) << c.name;

    const WAVEFORMATEX empty{};
    for (const Conversion convert :
         {BytesToSamples64, SamplesToBytes64, SamplesToTime64, TimeToSamples64}) {
        EXPECT_EQ(convert(nullptr, 1000), 0);
        EXPECT_EQ(convert(&empty, 1000), 0);
    }
}

TEST(WaveFormatHelpers, FormatNames) {
    const std::pair<uint16_t, const char*> cases[] = {
        {0x0000, "Unknown"},      {0x0001, "PCM"},
        {0x0011, "IMA ADPCM"},    {0x0209, "Dolby AC2"},
        {0x0055, "MPEG Layer-3"}, {0xFFFF, "*DEVELOPMENT ONLY TAG*"},
        {0x1234, "Unknown"},      {0x0003, "Mediavision's ADPCM"},
    };
    for (const auto& [tag, name] : cases)
        EXPECT_EQ(GetFormatName(tag), name) << tag;
}

// ---- recording -------------------------------------------------------------------------------

TEST(WaveIORecording, WrittenFilesReadBackWithTheirChunks) {
    struct Case {
        const char* name;
        WAVEFORMATEX format;
        std::vector<uint8_t> extra;
        std::size_t dataSize;
    };
    const Case cases[] = {
        {"16-bit stereo PCM", Stereo16, {}, 40000},
        {"IMA ADPCM gets a fact chunk", ImaFormat(), ImaExtra, 1024},
        {"24-bit mono, odd data size gets a pad byte", PcmFormat(1, 8000, 24), {}, 999},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto data = RampBytes(c.dataSize, 5);
        std::vector<uint8_t> formatBytes(sizeof(WAVEFORMATEX));
        std::memcpy(formatBytes.data(), &c.format, sizeof(WAVEFORMATEX));
        formatBytes.insert(formatBytes.end(), c.extra.begin(), c.extra.end());
        const std::string path = dir.Path("take.wav").string();

        Block recorded;
        ASSERT_EQ(WaveIOFromFormat(recorded.block,
                                   reinterpret_cast<const WAVEFORMATEX*>(formatBytes.data())),
                  WIOERR_NOERROR);
        ASSERT_EQ(WaveIOCreate(recorded.block, path), WIOERR_NOERROR);
        recorded->infoList.push_back({mmioFOURCC('I', 'N', 'A', 'M'), "Take 1"});
        recorded->dispList.push_back({1, Bytes("Pic")});
        std::size_t at = 0;
        for (int i = 0; at < data.size(); ++i) {
            const auto piece = std::min<std::size_t>(data.size() - at, i % 2 == 0 ? 7 : 4095);
            ASSERT_EQ(WaveIOWrite(recorded.block, data.data() + at, static_cast<int32_t>(piece)),
                      static_cast<int32_t>(piece));
            at += piece;
        }
        ASSERT_EQ(WaveIOFinish(recorded.block), WIOERR_NOERROR);

        const auto image = ReadFile(path);
        EXPECT_EQ(image.size() % 2, 0u);
        EXPECT_EQ(Slice(image, 4, 4), Le32(static_cast<uint32_t>(image.size() - 8)));

        Block parsed;
        ASSERT_EQ(WaveIOOpen(parsed.block, path, WaveForm, RIFFWAVE_PLAIN), WIOERR_NOERROR);
        EXPECT_EQ(parsed->dataBytes, c.dataSize);
        const std::size_t formatSize = c.format.wFormatTag == WAVE_FORMAT_PCM ? 16 : 20;
        EXPECT_EQ(Slice(parsed->formatBytes, 0, formatSize), Slice(formatBytes, 0, formatSize));
        ASSERT_EQ(parsed->infoList.size(), 1u);
        EXPECT_EQ(parsed->infoList[0].text, "Take 1");
        ASSERT_EQ(parsed->dispList.size(), 1u);
        EXPECT_EQ(parsed->dispList[0].data, Bytes("Pic"));

        auto file = MMIOFile::Open(path, MMIOMode::Read);
        ASSERT_NE(file, nullptr);
        MMCKINFO riff{};
        ASSERT_EQ(file->Descend(riff, nullptr, 0), MMIOERR_OK);
        MMCKINFO fact{};
        fact.ckid = mmioFOURCC('f', 'a', 'c', 't');
        if (c.format.wFormatTag == WAVE_FORMAT_PCM) {
            EXPECT_EQ(file->Descend(fact, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
        } else {
            ASSERT_EQ(file->Descend(fact, &riff, MMIO_FINDCHUNK), MMIOERR_OK);
            uint32_t samples = 0;
            ASSERT_EQ(file->Read(&samples, 4), 4);
            EXPECT_EQ(samples, parsed->sampleCount);
        }

        // The finished recording block plays back too.
        ASSERT_EQ(WaveIOReopen(recorded.block), WIOERR_NOERROR);
        EXPECT_EQ(ReadToEnd(recorded.block, 4095), data);
    }
}

TEST(WaveIORecording, EmptyRecordingHoldsFourZeroBytes) {
    TempDir dir;
    const std::string path = dir.Path("empty.wav").string();
    Block recorded;
    ASSERT_EQ(WaveIOFromFormat(recorded.block, &Stereo16), WIOERR_NOERROR);
    ASSERT_EQ(WaveIOCreate(recorded.block, path), WIOERR_NOERROR);
    ASSERT_EQ(WaveIOFinish(recorded.block), WIOERR_NOERROR);
    EXPECT_EQ(WaveIOWrite(recorded.block, "x", 1), -1); // finished

    const auto image = ReadFile(path);
    ASSERT_EQ(image.size(), 48u);
    EXPECT_EQ(Slice(image, 36, 12), Concat({Bytes("data"), Le32(4), Le32(0)}));
    Block parsed;
    ASSERT_EQ(WaveIOOpen(parsed.block, path, WaveForm, RIFFWAVE_PLAIN), WIOERR_NOERROR);
    EXPECT_EQ(parsed->sampleCount, 1u);
}

TEST(WaveIORecording, AppendingExtendsTheDataOnceAndKeepsTheChunks) {
    const auto info = Concat({Bytes("INFO"), SubChunk("INAM", Bytes(std::string("Old\0", 4)))});
    const auto pcmData = RampBytes(1001, 1);
    const auto imaData = RampBytes(512, 2);
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        std::vector<uint8_t> usableData;
        std::size_t appended;
        std::size_t displayChunks;
    };
    const Case cases[] = {
        {"PCM: the part block is dropped, the LIST moves behind the new data",
         RiffBuilder().Format(Stereo16).Chunk("data", pcmData).Chunk("LIST", info).Build(),
         Slice(pcmData, 0, 1000), 400, 0},
        {"IMA ADPCM: fact before the data is updated in place",
         RiffBuilder()
             .Format(ImaFormat(), ImaExtra)
             .Chunk("fact", Le32(1))
             .Chunk("DISP", Concat({Le32(1), Bytes("Pic")}))
             .Chunk("data", imaData)
             .Chunk("LIST", info)
             .Build(),
         imaData, 512, 1},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write("append.wav", c.image);
        Block recorded;
        ASSERT_EQ(WaveIOAppend(recorded.block, path), WIOERR_NOERROR);
        const auto more = RampBytes(c.appended, 3);
        ASSERT_EQ(WaveIOWrite(recorded.block, more.data(), static_cast<int32_t>(more.size())),
                  static_cast<int32_t>(more.size()));
        ASSERT_EQ(WaveIOFinish(recorded.block), WIOERR_NOERROR);

        const auto image = ReadFile(path);
        EXPECT_EQ(Slice(image, 4, 4), Le32(static_cast<uint32_t>(image.size() - 8)));
        Block parsed;
        ASSERT_EQ(WaveIOOpen(parsed.block, path, WaveForm, RIFFWAVE_PLAIN), WIOERR_NOERROR);
        const auto expected = Concat({c.usableData, more});
        EXPECT_EQ(parsed->dataBytes, expected.size());
        ASSERT_EQ(WaveIOReopen(parsed.block), WIOERR_NOERROR);
        EXPECT_EQ(ReadToEnd(parsed.block, 4095), expected);
        ASSERT_EQ(parsed->infoList.size(), 1u);
        EXPECT_EQ(parsed->infoList[0].text, "Old");
        EXPECT_EQ(parsed->dispList.size(), c.displayChunks);

        if (parsed->Format()->wFormatTag != WAVE_FORMAT_PCM) {
            auto file = MMIOFile::Open(path, MMIOMode::Read);
            ASSERT_NE(file, nullptr);
            MMCKINFO riff{};
            ASSERT_EQ(file->Descend(riff, nullptr, 0), MMIOERR_OK);
            MMCKINFO fact{};
            fact.ckid = mmioFOURCC('f', 'a', 'c', 't');
            ASSERT_EQ(file->Descend(fact, &riff, MMIO_FINDCHUNK), MMIOERR_OK);
            uint32_t samples = 0;
            ASSERT_EQ(file->Read(&samples, 4), 4);
            EXPECT_EQ(samples, parsed->sampleCount);
            ASSERT_EQ(file->Ascend(fact), MMIOERR_OK);
            EXPECT_EQ(file->Descend(fact, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
        }
    }

    Block refused;
    EXPECT_EQ(WaveIOAppend(refused.block,
                           dir.Write("nodata.wav", RiffBuilder().Format(Stereo16).Build())),
              WIOERR_ERROR);
    EXPECT_EQ(WaveIOAppend(refused.block, dir.Path("missing.wav").string()), WIOERR_FILEERROR);
    EXPECT_EQ(refused.block, nullptr);
}
