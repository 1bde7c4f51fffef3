// Known signals, small encoders for the compressed wave formats the converters decode, measures
// of a decoded tone, and the file chain the audio file source builds (wave reader, ADPCM
// converter, PCM converter) with a sink to pull from.
//
// The encoders track what a decoder of the published algorithm reconstructs, so a decoder can be
// checked sample for sample; where the decoder is the codec library's, the decoded signal is
// compared with the source signal instead.
#pragma once

#include "sources/MMACMCvt.h"
#include "sources/MMADCvt.h"
#include "sources/MMWave.h"
#include "support/WavFixture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// ---- signals --------------------------------------------------------------------------------

// Interleaved frames of a sine per channel; channel c runs at frequency * (1 + c / 2).
inline std::vector<double> SineFrames(int frames, int channels, double rate, double frequency,
                                      double amplitude) {
    std::vector<double> samples(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            samples[static_cast<std::size_t>(i) * channels + c] =
                amplitude * std::sin(2 * M_PI * frequency * (1 + c / 2.0) * i / rate);
    return samples;
}

inline std::vector<int16_t> ToInt16(const std::vector<double>& samples) {
    std::vector<int16_t> out(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        out[i] =
            static_cast<int16_t>(std::clamp(std::lround(samples[i] * 32768.0), -32768L, 32767L));
    return out;
}

template <typename T> std::vector<uint8_t> Bytes(const std::vector<T>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

inline std::vector<int16_t> Samples16(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// One channel of interleaved samples.
inline std::vector<double> Channel(const std::vector<int16_t>& samples, int channels, int c) {
    std::vector<double> out;
    for (std::size_t i = static_cast<std::size_t>(c); i < samples.size(); i += channels)
        out.push_back(samples[i] / 32768.0);
    return out;
}

inline double Rms(const std::vector<double>& x) {
    double sum = 0;
    for (double v : x)
        sum += v * v;
    return x.empty() ? 0 : std::sqrt(sum / static_cast<double>(x.size()));
}

// The frequency of a tone from its rising zero crossings (interpolated), skipping the edges.
inline double ToneFrequency(const std::vector<double>& x, double rate) {
    std::vector<double> crossings;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0 && x[i] >= 0)
            crossings.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
    if (crossings.size() < 4)
        return 0;
    return rate * static_cast<double>(crossings.size() - 3) /
           (crossings[crossings.size() - 2] - crossings[1]);
}

// RMS of (decoded - reference) relative to the RMS of reference, over the common length.
inline double RelativeError(const std::vector<double>& decoded,
                            const std::vector<double>& reference) {
    const std::size_t n = std::min(decoded.size(), reference.size());
    double error = 0;
    double signal = 0;
    for (std::size_t i = 0; i < n; ++i) {
        error += (decoded[i] - reference[i]) * (decoded[i] - reference[i]);
        signal += reference[i] * reference[i];
    }
    return signal > 0 ? std::sqrt(error / signal) : 1;
}

// Writes a failed comparison beside the expected signal, so that both can be listened to.
inline std::string KeepForListening(const std::string& name, const WAVEFORMATEX& format,
                                    const std::vector<uint8_t>& actual) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("tessaro-" + name + "-actual.wav")).string();
    std::ofstream out(path, std::ios::binary);
    const auto image = MakeWave(format, actual);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    return "actual output written to " + path;
}

// ---- format records -------------------------------------------------------------------------

// A format record with its extra bytes, kept in one block as the chain keeps it.
struct FormatRecord {
    std::vector<uint8_t> bytes;
    const WAVEFORMATEX* get() const { return reinterpret_cast<const WAVEFORMATEX*>(bytes.data()); }
    WAVEFORMATEX header() const { return *get(); }
    std::vector<uint8_t> extra() const { return {bytes.begin() + 18, bytes.end()}; }
};

inline FormatRecord MakeRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                               uint16_t blockAlign, uint32_t avgBytes,
                               const std::vector<uint8_t>& extra = {}) {
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec = avgBytes;
    format.nBlockAlign = blockAlign;
    format.wBitsPerSample = bits;
    format.cbSize = static_cast<uint16_t>(extra.size());
    FormatRecord record;
    record.bytes.assign(18 + extra.size(), 0);
    std::memcpy(record.bytes.data(), &format, 18);
    if (!extra.empty())
        std::memcpy(record.bytes.data() + 18, extra.data(), extra.size());
    return record;
}

inline void Put16(std::vector<uint8_t>& out, int value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

// WAVE_FORMAT_EXTENSIBLE with a sub-format of the wave-tag family.
inline FormatRecord ExtensibleRecord(uint16_t subTag, uint16_t channels, uint32_t rate,
                                     uint16_t bits, uint32_t channelMask) {
    std::vector<uint8_t> extra;
    Put16(extra, bits);
    for (int i = 0; i < 4; ++i)
        extra.push_back(static_cast<uint8_t>(channelMask >> (8 * i)));
    Put16(extra, subTag);
    const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    extra.insert(extra.end(), tail, tail + 14);
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return MakeRecord(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits, align, rate * align, extra);
}

// ---- IMA ADPCM (tag 0x11), encoded as the reference encoder does ----------------------------

constexpr std::array<int, 89> ImaStepTable{
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr std::array<int, 8> ImaIndexChange{-1, -1, -1, -1, 2, 4, 6, 8};

struct ImaState {
    int predictor = 0;
    int index = 0;
};

inline int ImaEncodeSample(ImaState& state, int sample) {
    int step = ImaStepTable[static_cast<std::size_t>(state.index)];
    int difference = sample - state.predictor;
    int code = 0;
    if (difference < 0) {
        code = 8;
        difference = -difference;
    }
    int change = step >> 3;
    for (int bit = 4; bit >= 1; bit >>= 1, step >>= 1)
        if (difference >= step) {
            code |= bit;
            difference -= step;
            change += step;
        }
    state.predictor = std::clamp(state.predictor + ((code & 8) ? -change : change), -32768, 32767);
    state.index =
        std::clamp(state.index + ImaIndexChange[static_cast<std::size_t>(code & 7)], 0, 88);
    return code;
}

struct Encoded {
    FormatRecord format;
    std::vector<uint8_t> data;
    std::vector<int16_t> decoded; // what a decoder of the algorithm gives (when known)
};

inline Encoded EncodeImaWav(const std::vector<int16_t>& samples, int channels, uint32_t rate,
                            int blockAlign) {
    const int perBlock = (blockAlign - 4 * channels) * 8 / (4 * channels) + 1;
    const int frames = static_cast<int>(samples.size()) / channels;
    Encoded out;
    std::vector<uint8_t> extra;
    Put16(extra, perBlock);
    out.format = MakeRecord(
        0x0011, static_cast<uint16_t>(channels), rate, 4, static_cast<uint16_t>(blockAlign),
        static_cast<uint32_t>(static_cast<int64_t>(rate) * blockAlign / perBlock), extra);
    std::vector<ImaState> states(static_cast<std::size_t>(channels));
    for (int start = 0; start < frames; start += perBlock) {
        std::vector<uint8_t> block(static_cast<std::size_t>(blockAlign), 0);
        auto at = [&](int frame, int c) -> int {
            const int i = std::min(start + frame, frames - 1);
            return samples[static_cast<std::size_t>(i) * channels + c];
        };
        for (int c = 0; c < channels; ++c) {
            states[static_cast<std::size_t>(c)].predictor = at(0, c);
            block[static_cast<std::size_t>(4 * c)] = static_cast<uint8_t>(at(0, c) & 0xFF);
            block[static_cast<std::size_t>(4 * c + 1)] =
                static_cast<uint8_t>((at(0, c) >> 8) & 0xFF);
            block[static_cast<std::size_t>(4 * c + 2)] =
                static_cast<uint8_t>(states[static_cast<std::size_t>(c)].index);
        }
        for (int frame = 1; frame < perBlock; ++frame) {
            const int group = (frame - 1) / 8;
            const int within = (frame - 1) % 8;
            for (int c = 0; c < channels; ++c) {
                const int code = ImaEncodeSample(states[static_cast<std::size_t>(c)], at(frame, c));
                const std::size_t byte = static_cast<std::size_t>(
                    4 * channels + group * 4 * channels + 4 * c + within / 2);
                block[byte] |= static_cast<uint8_t>(within % 2 == 0 ? code : code << 4);
            }
        }
        out.data.insert(out.data.end(), block.begin(), block.end());
    }
    return out;
}

// ---- Microsoft ADPCM (tag 2) ----------------------------------------------------------------

constexpr std::array<int, 14> MsCoefficients{256, 0,   512, -256, 0,    0,   192,
                                             64,  240, 0,   460,  -208, 392, -232};
constexpr std::array<int, 16> MsAdaptation{230, 230, 230, 230, 307, 409, 512, 614,
                                           768, 614, 512, 409, 307, 230, 230, 230};

// The "fmt " extra bytes: samples per block, the coefficient count and the pairs.
inline std::vector<uint8_t> MsExtra(int samplesPerBlock, const std::vector<int>& coefficients) {
    std::vector<uint8_t> extra;
    Put16(extra, samplesPerBlock);
    Put16(extra, static_cast<int>(coefficients.size() / 2));
    for (int value : coefficients)
        Put16(extra, value);
    return extra;
}

struct MsChannelCode {
    std::vector<int> codes;
    std::vector<int16_t> decoded;
    int delta = 16;
    double error = 0;
};

inline MsChannelCode MsEncodeChannel(const std::vector<int>& x, int predictor) {
    MsChannelCode out;
    const int c1 = MsCoefficients[static_cast<std::size_t>(2 * predictor)];
    const int c2 = MsCoefficients[static_cast<std::size_t>(2 * predictor + 1)];
    int delta = std::max(16, std::abs(x.size() > 2 ? x[2] - x[1] : 0) / 2);
    out.delta = delta;
    int s2 = x[0];
    int s1 = x.size() > 1 ? x[1] : x[0];
    out.decoded = {static_cast<int16_t>(s2), static_cast<int16_t>(s1)};
    for (std::size_t i = 2; i < x.size(); ++i) {
        const int prediction = (s1 * c1 + s2 * c2) >> 8;
        const double wanted = static_cast<double>(x[i] - prediction) / delta;
        const int code = std::clamp(static_cast<int>(std::lround(wanted)), -8, 7);
        const int sample = std::clamp(prediction + code * delta, -32768, 32767);
        out.error += static_cast<double>(sample - x[i]) * (sample - x[i]);
        s2 = s1;
        s1 = sample;
        out.codes.push_back(code & 0x0F);
        out.decoded.push_back(static_cast<int16_t>(sample));
        delta = std::max(16, (MsAdaptation[static_cast<std::size_t>(code & 0x0F)] * delta) >> 8);
    }
    return out;
}

// Encodes with the best of the seven standard predictors per block and channel; extraPairs are
// appended to the coefficient table of the record (a non-standard table when given).
inline Encoded EncodeMsAdpcm(const std::vector<int16_t>& samples, int channels, uint32_t rate,
                             int blockAlign, const std::vector<int>& extraPairs = {}) {
    const int perBlock = 2 + (blockAlign - 7 * channels) * 2 / channels;
    const int frames = static_cast<int>(samples.size()) / channels;
    std::vector<int> table(MsCoefficients.begin(), MsCoefficients.end());
    table.insert(table.end(), extraPairs.begin(), extraPairs.end());
    Encoded out;
    out.format =
        MakeRecord(WAVE_FORMAT_ADPCM, static_cast<uint16_t>(channels), rate, 4,
                   static_cast<uint16_t>(blockAlign),
                   static_cast<uint32_t>(static_cast<int64_t>(rate) * blockAlign / perBlock),
                   MsExtra(perBlock, table));
    for (int start = 0; start < frames; start += perBlock) {
        const int count = std::min(perBlock, frames - start);
        std::vector<MsChannelCode> best(static_cast<std::size_t>(channels));
        std::vector<int> chosen(static_cast<std::size_t>(channels));
        for (int c = 0; c < channels; ++c) {
            std::vector<int> x(static_cast<std::size_t>(perBlock));
            for (int i = 0; i < perBlock; ++i)
                x[static_cast<std::size_t>(i)] =
                    samples[static_cast<std::size_t>(std::min(start + i, frames - 1)) * channels +
                            c];
            for (int p = 0; p < 7; ++p) {
                MsChannelCode trial = MsEncodeChannel(x, p);
                if (p == 0 || trial.error < best[static_cast<std::size_t>(c)].error) {
                    best[static_cast<std::size_t>(c)] = std::move(trial);
                    chosen[static_cast<std::size_t>(c)] = p;
                }
            }
        }
        std::vector<uint8_t> block;
        for (int c = 0; c < channels; ++c)
            block.push_back(static_cast<uint8_t>(chosen[static_cast<std::size_t>(c)]));
        for (int c = 0; c < channels; ++c)
            Put16(block, best[static_cast<std::size_t>(c)].delta);
        for (int c = 0; c < channels; ++c)
            Put16(block, best[static_cast<std::size_t>(c)].decoded[1]);
        for (int c = 0; c < channels; ++c)
            Put16(block, best[static_cast<std::size_t>(c)].decoded[0]);
        int nibble = 0;
        for (int i = 0; i < perBlock - 2; ++i)
            for (int c = 0; c < channels; ++c, ++nibble) {
                const int code =
                    best[static_cast<std::size_t>(c)].codes[static_cast<std::size_t>(i)];
                if (nibble % 2 == 0)
                    block.push_back(static_cast<uint8_t>(code << 4));
                else
                    block.back() |= static_cast<uint8_t>(code);
            }
        block.resize(static_cast<std::size_t>(blockAlign), 0);
        out.data.insert(out.data.end(), block.begin(), block.end());
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c)
                out.decoded.push_back(
                    best[static_cast<std::size_t>(c)].decoded[static_cast<std::size_t>(i)]);
    }
    return out;
}

// ---- headerless 4-bit ADPCM of the Antex variants and of tag 3 ------------------------------

struct NibbleState {
    int predictor = 0;
    int index = 0;
};

// One decoder step as the format defines it; tag3 selects the wrapping variant.
inline int NibbleDecode(NibbleState& state, int code, bool tag3) {
    if (tag3) {
        const int difference = Tag3Difference(state.index, code & 7);
        state.predictor = static_cast<int16_t>(
            static_cast<uint16_t>(state.predictor + ((code & 8) ? -difference : difference)));
    } else {
        const int difference = std::min(
            (2 * (code & 7) + 1) * ImaStepTable[static_cast<std::size_t>(state.index)] / 8, 32767);
        state.predictor =
            std::clamp(state.predictor + ((code & 8) ? -difference : difference), -32768, 32767);
    }
    state.index =
        std::clamp(state.index + ImaIndexChange[static_cast<std::size_t>(code & 7)], 0, 88);
    return state.predictor;
}

// The code whose decoded sample comes closest to the wanted one.
inline int NibbleEncode(NibbleState& state, int wanted, bool tag3) {
    int bestCode = 0;
    long bestError = -1;
    for (int code = 0; code < 16; ++code) {
        NibbleState trial = state;
        const long error = std::labs(NibbleDecode(trial, code, tag3) - wanted);
        if (bestError < 0 || error < bestError) {
            bestError = error;
            bestCode = code;
        }
    }
    NibbleDecode(state, bestCode, tag3);
    return bestCode;
}

// Antex (tags 0x33, 0x206): mono high nibble first; stereo one byte per frame (left code high),
// the bytes of each 16-bit word swapped.
inline Encoded EncodeAntex(uint16_t tag, const std::vector<int16_t>& samples, int channels,
                           uint32_t rate) {
    Encoded out;
    out.format = MakeRecord(tag, static_cast<uint16_t>(channels), rate, 4,
                            static_cast<uint16_t>(channels), rate * channels / 2);
    NibbleState states[2];
    std::vector<uint8_t> bytes;
    if (channels == 1) {
        for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
            const int high = NibbleEncode(states[0], samples[i], false);
            out.decoded.push_back(static_cast<int16_t>(states[0].predictor));
            const int low = NibbleEncode(states[0], samples[i + 1], false);
            out.decoded.push_back(static_cast<int16_t>(states[0].predictor));
            bytes.push_back(static_cast<uint8_t>(high << 4 | low));
        }
    } else {
        for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
            const int left = NibbleEncode(states[0], samples[i], false);
            const int right = NibbleEncode(states[1], samples[i + 1], false);
            out.decoded.push_back(static_cast<int16_t>(states[0].predictor));
            out.decoded.push_back(static_cast<int16_t>(states[1].predictor));
            bytes.push_back(static_cast<uint8_t>(left << 4 | right));
        }
        if (bytes.size() % 2 != 0) {
            bytes.pop_back();
            out.decoded.resize(out.decoded.size() - 2);
        }
        for (std::size_t i = 0; i < bytes.size(); i += 2)
            std::swap(bytes[i], bytes[i + 1]);
    }
    out.data = std::move(bytes);
    return out;
}

// Tag 3 with 4 bits: mono high nibble first; stereo the low nibble left, the high one right.
inline Encoded EncodeTag3(const std::vector<int16_t>& samples, int channels, uint32_t rate) {
    Encoded out;
    out.format = MakeRecord(WAVE_FORMAT_IEEE_FLOAT, static_cast<uint16_t>(channels), rate, 4,
                            static_cast<uint16_t>(channels), rate * channels / 2);
    NibbleState states[2];
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        const int first = NibbleEncode(states[0], samples[i], true);
        out.decoded.push_back(static_cast<int16_t>(states[0].predictor));
        NibbleState& second = channels == 1 ? states[0] : states[1];
        const int next = NibbleEncode(second, samples[i + 1], true);
        out.decoded.push_back(static_cast<int16_t>(second.predictor));
        out.data.push_back(channels == 1 ? static_cast<uint8_t>(first << 4 | next)
                                         : static_cast<uint8_t>(next << 4 | first));
    }
    return out;
}

// ---- G.711 ----------------------------------------------------------------------------------

inline uint8_t ALawEncode(int sample) {
    int sign = sample >= 0 ? 0x80 : 0;
    int magnitude = std::min(sample >= 0 ? sample : -sample - 1, 32767) >> 3;
    int exponent = 0;
    while (magnitude > 31 && exponent < 7) {
        magnitude >>= 1;
        ++exponent;
    }
    const int mantissa = (exponent == 0 ? magnitude >> 1 : magnitude) & 0x0F;
    return static_cast<uint8_t>((sign | exponent << 4 | mantissa) ^ 0x55);
}

inline int ALawDecode(uint8_t code) {
    code ^= 0x55;
    const int exponent = (code >> 4) & 7;
    const int mantissa = code & 0x0F;
    int magnitude =
        exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
    return (code & 0x80) ? magnitude : -magnitude;
}

inline uint8_t MuLawEncode(int sample) {
    const int sign = sample < 0 ? 0x80 : 0;
    int magnitude = std::min(std::abs(sample), 32635) + 0x84;
    int exponent = 7;
    for (int mask = 0x4000; (magnitude & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<uint8_t>(~(sign | exponent << 4 | mantissa));
}

inline int MuLawDecode(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    const int exponent = (code >> 4) & 7;
    const int magnitude = ((((code & 0x0F) << 3) + 0x84) << exponent) - 0x84;
    return (code & 0x80) ? -magnitude : magnitude;
}

// ---- the file chain -------------------------------------------------------------------------

// The end of a chain: takes the format of its input and pulls from it.
class PullSink : public TMMDSPComponent {
public:
    explicit PullSink(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
        SetPublishedLinks(plInput);
    }
    const char* ClassName() const override { return "PullSink"; }
};

struct PullResult {
    std::vector<uint8_t> bytes;
    int pulls = 0;
    bool lastMore = false;
};

// Reader -> ADPCM converter -> PCM converter -> sink, as the audio file source builds it, with
// the ADPCM converter enabled only for what it can decode.
struct FileChain {
    TMMComponentOwner owner;
    TMMWaveFile* reader = new TMMWaveFile(&owner);
    TMMADPCMConverter* adpcm = new TMMADPCMConverter(&owner);
    TMMPCMConverter* pcm = new TMMPCMConverter(&owner);
    PullSink* sink = new PullSink(&owner);
    TMMDSPComponent* head = reader;

    FileChain() {
        pcm->SetOutput(sink);
        adpcm->SetOutput(pcm);
    }
    void Load(const std::string& path) {
        reader->SetFileName(path);
        UseSource(reader);
    }
    void UseSource(TMMDSPComponent* source) {
        head = source;
        adpcm->SetInput(source);
        adpcm->SetEnabled(adpcm->CanTakeInput());
    }
    std::vector<TMMDSPComponent*> Links() const { return {head, adpcm, pcm, sink}; }
    void OpenAndStart(int32_t bufferSize) {
        for (TMMDSPComponent* link : Links())
            link->SetBufferSize(bufferSize);
        for (TMMDSPComponent* link : Links())
            link->Open();
        for (TMMDSPComponent* link : Links())
            link->Start();
    }
    void Close() {
        for (TMMDSPComponent* link : Links())
            link->Close();
    }
    // Pulls until the chain ends (or maxPulls), with buffers of bufferLength bytes.
    PullResult PullAll(int32_t bufferLength, int maxPulls = 1000000) {
        PullResult result;
        std::vector<char> data(static_cast<std::size_t>(bufferLength));
        TMMChainHdr header{};
        for (int i = 0; i < maxPulls; ++i) {
            header.lpData = data.data();
            header.dwBufferLength = static_cast<uint32_t>(bufferLength);
            header.dwBytesRecorded = 0;
            bool more = false;
            sink->BufferLoad(&header, more);
            ++result.pulls;
            result.lastMore = more;
            result.bytes.insert(result.bytes.end(), data.begin(),
                                data.begin() + header.dwBytesRecorded);
            if (header.dwBytesRecorded == 0 || !more)
                break;
        }
        return result;
    }
};

// A source that hands out bytes of a given format in pieces of the given sizes (in turn).
class MemorySource : public TMMDSPComponent {
public:
    MemorySource(TMMComponentOwner* owner, const FormatRecord& format, std::vector<uint8_t> data,
                 std::vector<int32_t> pieces = {})
        : TMMDSPComponent(owner), data_(std::move(data)), pieces_(std::move(pieces)) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(format.get());
    }
    const char* ClassName() const override { return "MemorySource"; }
    void Rewind() { at_ = 0; }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        std::size_t count = std::min<std::size_t>(header->dwBufferLength, data_.size() - at_);
        if (!pieces_.empty())
            count = std::min<std::size_t>(
                count, static_cast<std::size_t>(pieces_[next_++ % pieces_.size()]));
        std::memcpy(header->lpData, data_.data() + at_, count);
        at_ += count;
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = at_ < data_.size();
    }

private:
    std::vector<uint8_t> data_;
    std::vector<int32_t> pieces_;
    std::size_t at_ = 0;
    std::size_t next_ = 0;
};

// A wave file image holding a format record (with its extra bytes) and data.
inline std::vector<uint8_t> WaveImage(const FormatRecord& format,
                                      const std::vector<uint8_t>& data) {
    return RiffBuilder().Format(format.header(), format.extra()).Chunk("data", data).Build();
}

} // namespace testsupport
