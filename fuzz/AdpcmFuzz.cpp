// Feeds arbitrary format records and data through the converters of the audio file source: the
// ADPCM converter's own decoders where it takes the format, the compression service where it
// does not, pulled with odd buffer sizes from a source that hands out odd pieces, with a reset
// on the way; and the same data through a conversion stream to the mixer's format. Whatever the
// record claims and the data holds, every call must stay inside its buffers and come to an end.
//
// Input: byte 0 picks the format family (below), byte 1 the channel count, bytes 2-3 the block
// size, byte 4 the sample rate, byte 5 the bits (for the families that take them raw), byte 6
// the piece and buffer sizes; byte 7 is the length of extra format bytes taken from the data
// that follows (families that take them raw), then the data.
//   tessaro_fuzz_adpcm fuzz/corpus/adpcm -max_total_time=60
#include "chain/MMMsgs.h"
#include "sources/MMACMCvt.h"
#include "sources/MMADCvt.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t HeaderBytes = 8;

// Hands out the data in pieces of changing sizes.
class PieceSource : public TMMDSPComponent {
public:
    PieceSource(TMMComponentOwner* owner, const WAVEFORMATEX* format, const uint8_t* data,
                std::size_t size, unsigned seed)
        : TMMDSPComponent(owner), data_(data), size_(size), seed_(seed) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(format);
    }
    const char* ClassName() const override { return "PieceSource"; }
    void Rewind() { at_ = 0; }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        static constexpr std::array<std::size_t, 5> pieces{1, 3, 512, 4096, 65536};
        const std::size_t count = std::min({static_cast<std::size_t>(header->dwBufferLength),
                                            size_ - at_, pieces[(seed_ + calls_++) % 5]});
        std::memcpy(header->lpData, data_ + at_, count);
        at_ += count;
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = at_ < size_;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    unsigned seed_;
    unsigned calls_ = 0;
};

class Sink : public TMMDSPComponent {
public:
    explicit Sink(TMMComponentOwner* owner) : TMMDSPComponent(owner) { SetPublishedLinks(plInput); }
    const char* ClassName() const override { return "Sink"; }
};

void Put16(std::vector<uint8_t>& out, unsigned value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The format record of an input: 18 bytes and the extra bytes, kept in one block.
std::vector<uint8_t> MakeFormat(const uint8_t* header, const uint8_t*& data, std::size_t& size) {
    static constexpr std::array<uint32_t, 8> rates{8000,  11025, 22050, 44100,
                                                   48000, 96000, 1,     400000};
    static constexpr std::array<int16_t, 14> standard{256, 0,   512, -256, 0,    0,   192,
                                                      64,  240, 0,   460,  -208, 392, -232};
    static constexpr std::array<uint16_t, 12> tags{
        WAVE_FORMAT_ADPCM,        WAVE_FORMAT_ADPCM,
        WAVE_FORMAT_ANTEX_ADPCME, WAVE_FORMAT_ANTEX_DVI_ADPCME,
        WAVE_FORMAT_IEEE_FLOAT,   WAVE_FORMAT_IEEE_FLOAT,
        WAVE_FORMAT_IMA_ADPCM,    WAVE_FORMAT_GSM610,
        WAVE_FORMAT_ALAW,         WAVE_FORMAT_MPEGLAYER3,
        WAVE_FORMAT_IEEE_FLOAT,   WAVE_FORMAT_EXTENSIBLE};
    const unsigned family = header[0] % tags.size();
    WAVEFORMATEX format{};
    format.wFormatTag = tags[family];
    format.nChannels = static_cast<uint16_t>(header[1] % 10);
    format.nBlockAlign = static_cast<uint16_t>(header[2] | header[3] << 8);
    format.nSamplesPerSec = rates[header[4] % rates.size()];
    format.nAvgBytesPerSec = format.nSamplesPerSec * std::max<uint16_t>(format.nChannels, 1) / 2;
    const uint16_t bitsByFamily[] = {4, 4, 4, 4, 4, 32, 4, 0, 8, 0, header[5], header[5]};
    format.wBitsPerSample = bitsByFamily[family];
    std::vector<uint8_t> extra;
    if (family == 0) {
        // Microsoft ADPCM with the standard table: the converter's own decoder.
        Put16(extra, header[5] | header[3] << 8);
        Put16(extra, 7);
        for (int16_t value : standard)
            Put16(extra, static_cast<uint16_t>(value));
    } else if (family == 1 || family >= 9) {
        const std::size_t count = std::min<std::size_t>(header[7], size);
        extra.assign(data, data + count);
        data += count;
        size -= count;
    } else if (family == 6) {
        Put16(extra, header[5] | header[3] << 8);
    } else if (family == 7) {
        Put16(extra, 320);
    }
    format.cbSize = static_cast<uint16_t>(extra.size());
    std::vector<uint8_t> record(sizeof format + extra.size());
    std::memcpy(record.data(), &format, sizeof format);
    if (!extra.empty())
        std::memcpy(record.data() + sizeof format, extra.data(), extra.size());
    return record;
}

void PlayThroughChain(const WAVEFORMATEX* format, const uint8_t* data, std::size_t size,
                      unsigned seed) {
    static std::vector<char> buffer(65536);
    static constexpr std::array<uint32_t, 4> bufferSizes{1, 7, 4095, 65536};
    TMMComponentOwner owner;
    auto* source = new PieceSource(&owner, format, data, size, seed);
    auto* adpcm = new TMMADPCMConverter(&owner);
    auto* pcm = new TMMPCMConverter(&owner);
    auto* sink = new Sink(&owner);
    pcm->SetOutput(sink);
    adpcm->SetOutput(pcm);
    adpcm->SetInput(source);
    adpcm->SetEnabled(adpcm->CanTakeInput());
    if ((seed & 0x10) != 0)
        adpcm->SetBitLength(b8Bit);
    TMMDSPComponent* const links[] = {source, adpcm, pcm, sink};
    try {
        for (TMMDSPComponent* link : links)
            link->Open();
        for (TMMDSPComponent* link : links)
            link->Start();
        TMMChainHdr header{};
        for (int pull = 0; pull < 64; ++pull) {
            if (pull == 3) {
                // A seek back to the start, as a loop of the audio file source does it.
                source->Rewind();
                adpcm->Reset();
                pcm->Reset();
            }
            header.lpData = buffer.data();
            header.dwBufferLength = bufferSizes[(seed + static_cast<unsigned>(pull)) % 4];
            header.dwBytesRecorded = 0;
            bool more = false;
            sink->BufferLoad(&header, more);
            if (header.dwBytesRecorded > header.dwBufferLength)
                __builtin_trap();
            if (header.dwBytesRecorded == 0 || !more)
                break;
        }
    } catch (const EMMError&) {
        // Refused formats and data that never decodes raise the converters' own errors.
    }
}

void ConvertToMixFormat(const WAVEFORMATEX* format, const uint8_t* data, std::size_t size) {
    WAVEFORMATEX mix{};
    mix.wFormatTag = WAVE_FORMAT_PCM;
    mix.nChannels = 2;
    mix.nSamplesPerSec = 44100;
    mix.wBitsPerSample = 16;
    mix.nBlockAlign = 4;
    mix.nAvgBytesPerSec = 176400;
    PMMConversionStream stream = OpenConversion(format, &mix, nullptr, true, 8192);
    if (stream == nullptr)
        return;
    std::size_t at = 0;
    for (int call = 0; call < 64 && at < size; ++call) {
        const std::size_t count =
            std::min({size - at, static_cast<std::size_t>(stream->SourceBlockSize),
                      static_cast<std::size_t>(call % 2 == 0 ? 4097 : 1)});
        std::memcpy(stream->SourceBlock, data + at, count);
        at += count;
        if (Convert(stream, static_cast<int32_t>(count)) < 0)
            break;
        stream->Taken = stream->Produced;
    }
    for (int call = 0; call < 64 && FlushConversion(stream, 0) > 0; ++call)
        stream->Taken = stream->Produced;
    CloseConversion(stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
    if (length < HeaderBytes)
        return 0;
    const uint8_t* data = input + HeaderBytes;
    std::size_t size = length - HeaderBytes;
    const std::vector<uint8_t> record = MakeFormat(input, data, size);
    const auto* format = reinterpret_cast<const WAVEFORMATEX*>(record.data());
    PlayThroughChain(format, data, size, input[6]);
    ConvertToMixFormat(format, data, size);
    return 0;
}
