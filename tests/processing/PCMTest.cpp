#include "processing/MMPCM.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

WAVEFORMATEX Format(uint16_t bits, uint16_t channels, uint32_t rate = 44100,
                    uint16_t tag = WAVE_FORMAT_PCM) {
    const auto blockAlign = static_cast<uint16_t>(bits * channels / 8);
    return {tag, channels, rate, blockAlign * rate, blockAlign, bits, 0};
}

// Sample values to little-endian bytes: 8-bit values are the unsigned byte values.
std::vector<uint8_t> Encode(int bits, const std::vector<int>& samples) {
    std::vector<uint8_t> bytes;
    for (int sample : samples) {
        bytes.push_back(static_cast<uint8_t>(sample));
        if (bits == 16)
            bytes.push_back(static_cast<uint8_t>(sample >> 8));
    }
    return bytes;
}

std::vector<int> Decode(int bits, const uint8_t* bytes, size_t count) {
    std::vector<int> samples;
    for (size_t i = 0; i < count; i += bits / 8)
        samples.push_back(bits == 8 ? bytes[i]
                                    : static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return samples;
}

std::vector<int> Decode(int bits, const std::vector<uint8_t>& bytes) {
    return Decode(bits, bytes.data(), bytes.size());
}

} // namespace

// ---- format records ------------------------------------------------------------------------

TEST(PCMFormat, ValidityStopsAtTheLimitsOfWhatTheComponentsProcess) {
    struct Case {
        const char* name;
        WAVEFORMATEX format;
        bool valid;
    };
    const Case cases[] = {
        {"16-bit stereo 44100 Hz", Format(16, 2), true},
        {"8-bit mono", Format(8, 1), true},
        {"3999 Hz", Format(16, 2, 3999), false},
        {"4000 Hz", Format(16, 2, 4000), true},
        {"100000 Hz", Format(16, 2, 100000), true},
        {"100001 Hz", Format(16, 2, 100001), false},
        {"no channels", Format(16, 0), false},
        {"3 channels", Format(16, 3), false},
        {"4 channels", Format(16, 4), true},
        {"5 channels", Format(16, 5), false},
        {"24-bit", Format(24, 2), false},
        {"4-bit", Format(4, 2), false},
        {"format tag 2", Format(16, 2, 44100, WAVE_FORMAT_ADPCM), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsValidPCMFormat(&c.format), c.valid);
    }
    EXPECT_FALSE(IsValidPCMFormat(nullptr));
}

TEST(PCMFormat, MakeFillsEveryField) {
    struct Case {
        uint16_t bits, channels;
        uint32_t rate;
        uint16_t blockAlign;
        uint32_t bytesPerSecond;
    };
    const Case cases[] = {
        {16, 2, 44100, 4, 176400},
        {8, 1, 8000, 1, 8000},
        {16, 4, 48000, 8, 384000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " ch");
        WAVEFORMATEX format;
        std::memset(&format, 0xFF, sizeof format);
        MakePCMFormat(format, c.bits, c.channels, c.rate);
        EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(format.nChannels, c.channels);
        EXPECT_EQ(format.nSamplesPerSec, c.rate);
        EXPECT_EQ(format.wBitsPerSample, c.bits);
        EXPECT_EQ(format.nBlockAlign, c.blockAlign);
        EXPECT_EQ(format.nAvgBytesPerSec, c.bytesPerSecond);
        EXPECT_EQ(format.cbSize, 0);
    }
}

// ---- gains ---------------------------------------------------------------------------------

TEST(PCMGains, PanningLowersTheOppositeSideRoundedToNearest) {
    struct Case {
        int32_t range, volume, panning, left, right;
    };
    const Case cases[] = {
        {16384, 16384, 0, 16384, 16384},
        {16384, 16384, 8192, 8192, 16384},
        {16384, 16384, -8192, 16384, 8192},
        {16384, 16384, -16384, 16384, 0},
        {16384, 16384, 16384, 0, 16384},
        {16384, 0, 5000, 0, 0},
        {16384, 0, -5000, 0, 0},
        {16384, 10000, 1, 9999, 10000},    // 9999.39 rounds down
        {16384, 10000, 4000, 7559, 10000}, // 7558.59 rounds up
        {16384, 1, 8192, 1, 1},            // 0.5 rounds away from zero
        {16384, -1, -8192, -1, -1},        // -0.5 rounds away from zero
        {16384, 32768, -4096, 32768, 24576},
        {0, 16384, 100, -1, 16384}, // a zero range gives -1 like the system multiply-divide
        {0, 16384, 0, 16384, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("range " + std::to_string(c.range) + ", volume " + std::to_string(c.volume) +
                     ", panning " + std::to_string(c.panning));
        int32_t left = 12345;
        int32_t right = 12345;
        CalcVolumeGains(c.range, c.volume, c.panning, left, right);
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(right, c.right);
    }
}

// ---- volume --------------------------------------------------------------------------------

struct ScaleCase {
    int sample;
    int32_t gain;
    int expected;
    bool clipped;
};

TEST(PCMVolume, Scales16BitSamplesRoundingDownAndSaturating) {
    const int32_t max = std::numeric_limits<int32_t>::max();
    const ScaleCase cases[] = {
        {-1, 8192, -1, false}, // the shift rounds towards minus infinity
        {-3, 8192, -2, false},
        {3, 8192, 1, false},
        {1, 8192, 0, false},
        {1000, 0, 0, false},
        {100, -16384, -100, false},
        {-16384, 32768, -32768, false}, // reaches the limit exactly: no clipping
        {16383, 32768, 32766, false},
        {20000, 32768, 32767, true},
        {-20000, 32768, -32768, true},
        {-32768, -16384, 32767, true},
        // Products beyond 32 bits saturate instead of wrapping.
        {32767, 1 << 20, 32767, true},
        {-32768, max, -32768, true},
        {2, max, 32767, true},
    };
    const WAVEFORMATEX mono = Format(16, 1);
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.sample) + " x " + std::to_string(c.gain));
        auto data = Encode(16, {c.sample});
        EXPECT_EQ(PCMVolume(&mono, data.data(), 2, c.gain, 0), c.clipped);
        EXPECT_EQ(Decode(16, data), std::vector<int>{c.expected});
    }
}

TEST(PCMVolume, Scales8BitSamplesAroundTheirMidpoint) {
    const ScaleCase cases[] = {
        {0, 32768, 0, true}, // -128 doubled saturates
        {200, 8192, 164, false},
        {127, 8192, 127, false}, // -1 halved stays -1
        {125, 8192, 126, false}, // -3 halved is -2
        {64, 32768, 0, false},   // -64 doubled reaches -128 exactly
        {192, 32768, 255, true},
        {255, 0, 128, false},
        {128, std::numeric_limits<int32_t>::max(), 128, false},
        {255, 1 << 24, 255, true},
    };
    const WAVEFORMATEX mono = Format(8, 1);
    for (const ScaleCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.sample) + " x " + std::to_string(c.gain));
        auto data = Encode(8, {c.sample});
        EXPECT_EQ(PCMVolume(&mono, data.data(), 1, c.gain, 0), c.clipped);
        EXPECT_EQ(Decode(8, data), std::vector<int>{c.expected});
    }
}

TEST(PCMVolume, EachGainReachesItsOwnChannel) {
    struct Case {
        const char* name;
        uint16_t bits, channels;
        int32_t left, right;
        std::vector<int> input, expected;
    };
    const Case cases[] = {
        {"8-bit stereo, left silenced", 8, 2, 0, 16384, {10, 20, 250, 240}, {128, 20, 128, 240}},
        {"8-bit stereo, right silenced", 8, 2, 16384, 0, {10, 20, 250, 240}, {10, 128, 250, 128}},
        {"16-bit stereo", 16, 2, 0, 32768, {100, 100, -50, -50}, {0, 200, 0, -100}},
        {"16-bit stereo, right silenced", 16, 2, 16384, 0, {100, 100}, {100, 0}},
        {"16-bit mono uses the left gain", 16, 1, 8192, 0, {100, -100}, {50, -50}},
        {"8-bit mono uses the left gain", 8, 1, 0, 16384, {10, 250}, {128, 128}},
        {"16-bit quad is scaled as pairs", 16, 4, 0, 16384, {1, 2, 3, 4}, {0, 2, 0, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WAVEFORMATEX format = Format(c.bits, c.channels);
        auto data = Encode(c.bits, c.input);
        EXPECT_FALSE(
            PCMVolume(&format, data.data(), static_cast<int32_t>(data.size()), c.left, c.right));
        EXPECT_EQ(Decode(c.bits, data), c.expected);
    }
}

TEST(PCMVolume, LeavesDataAloneWhenItCannotScale) {
    struct Case {
        const char* name;
        const WAVEFORMATEX* format;
        int32_t bytes;
    };
    const WAVEFORMATEX stereo = Format(16, 2);
    const WAVEFORMATEX adpcm = Format(16, 2, 44100, WAVE_FORMAT_ADPCM);
    const WAVEFORMATEX wide = Format(24, 2);
    const Case cases[] = {
        {"no format", nullptr, 8},
        {"ADPCM tag", &adpcm, 8},
        {"24-bit", &wide, 8},
        {"no bytes", &stereo, 0},
        {"negative byte count", &stereo, -8},
        {"less than a frame", &stereo, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(8, 0x55);
        EXPECT_FALSE(PCMVolume(c.format, data.data(), c.bytes, 0, 0));
        EXPECT_EQ(data, std::vector<uint8_t>(8, 0x55));
    }
}

TEST(PCMVolume, CutsPartialFramesAndWorksAtAnOddAddress) {
    struct Case {
        uint16_t bits, channels;
        size_t scaledBytes; // of 7
        uint8_t silence;
    };
    const Case cases[] = {
        {8, 1, 7, 128},
        {8, 2, 6, 128},
        {16, 1, 6, 0},
        {16, 2, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " ch");
        const WAVEFORMATEX format = Format(c.bits, c.channels);
        // A guard byte, 7 bytes handed over, 2 bytes beyond; 0x55 is not silence at either width.
        std::vector<uint8_t> buffer(10, 0x55);
        EXPECT_FALSE(PCMVolume(&format, buffer.data() + 1, 7, 0, 0));

        std::vector<uint8_t> expected(10, 0x55);
        std::fill_n(expected.begin() + 1, c.scaledBytes, c.silence);
        EXPECT_EQ(buffer, expected);
    }
}

// ---- mixing --------------------------------------------------------------------------------

namespace {

// Owns a mix record and the inputs it points at; every input and the result are stereo frames.
struct Mix {
    explicit Mix(const std::vector<std::vector<int16_t>>& blocks, int32_t leftGain = 16384,
                 int32_t rightGain = 16384)
        : inputs(blocks), info(AllocMixInfo(static_cast<int32_t>(blocks.size()))) {
        info->LeftGain = leftGain;
        info->RightGain = rightGain;
        for (size_t i = 0; i < inputs.size(); ++i)
            info->Inputs[i] = inputs[i].data();
    }
    ~Mix() { FreeMixInfo(info); }
    Mix(const Mix&) = delete;
    Mix& operator=(const Mix&) = delete;

    std::vector<std::vector<int16_t>> inputs;
    TMMMixInfo* info;
};

} // namespace

TEST(MixStereo16, SumsScalesAndSaturates) {
    struct Case {
        const char* name;
        int32_t left, right;
        std::vector<std::vector<int16_t>> inputs;
        std::vector<int16_t> expected;
        bool clipped;
    };
    const std::vector<int16_t> fullScale{32767, -32768};
    const Case cases[] = {
        {"two 30000 at unity",
         16384,
         16384,
         {{30000, 30000}, {30000, 30000}},
         {32767, 32767},
         true},
        {"cancelling", 16384, 16384, {{20000, -20000}, {-20000, 20000}}, {0, 0}, false},
        {"negative overflow", 16384, 16384, {{-30000, -1}, {-30000, 1}}, {-32768, 0}, true},
        {"one input", 16384, 16384, {{-7, 7}}, {-7, 7}, false},
        {"per-channel gains", 8192, 32768, {{1000, -1000}}, {500, -2000}, false},
        {"gain rounds down", 8192, 8192, {{-1, -3}}, {-1, -2}, false},
        {"only the left gain is unity", 16384, 0, {{100, 100}, {100, 100}}, {200, 0}, false},
        {"sum saturates only after the gain",
         8192,
         8192,
         {{30000, -30000}, {30000, -30000}},
         {30000, -30000},
         false},
        {"four full-scale, quartered",
         4096,
         4096,
         {fullScale, fullScale, fullScale, fullScale},
         fullScale,
         false},
        {"four full-scale, halved",
         8192,
         8192,
         {fullScale, fullScale, fullScale, fullScale},
         fullScale,
         true},
        // 131068 * 16385 and -131072 * 16385 leave the 32-bit range.
        {"four full-scale, above unity",
         16385,
         16385,
         {fullScale, fullScale, fullScale, fullScale},
         fullScale,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mix mix(c.inputs, c.left, c.right);
        std::vector<int32_t> accumulator(2);
        std::vector<int16_t> dest(2, 1234);
        EXPECT_EQ(MixStereo16(4, static_cast<int32_t>(c.inputs.size()), mix.info,
                              accumulator.data(), dest.data()),
                  c.clipped);
        EXPECT_EQ(dest, c.expected);
    }
}

TEST(MixStereo16, SumsEveryInputAtEveryFrameOfAnOddSizedBlock) {
    constexpr int frames = 7;
    std::vector<std::vector<int16_t>> inputs(3, std::vector<int16_t>(2 * frames));
    for (int input = 0; input < 3; ++input)
        for (int sample = 0; sample < 2 * frames; ++sample)
            inputs[input][sample] = static_cast<int16_t>((sample - 5) * 100 * (input + 1) + input);

    for (int32_t gain : {16384, 8192}) {
        SCOPED_TRACE("gain " + std::to_string(gain));
        Mix mix(inputs, gain, gain);
        std::vector<int32_t> accumulator(2 * frames);
        // One frame more than handed over, which must stay as it was.
        std::vector<int16_t> dest(2 * frames + 2, 1234);
        EXPECT_FALSE(MixStereo16(4 * frames + 3, 3, mix.info, accumulator.data(), dest.data()));

        std::vector<int16_t> expected(2 * frames + 2, 1234);
        for (int sample = 0; sample < 2 * frames; ++sample) {
            const int sum = (sample - 5) * 600 + 3;
            expected[sample] = static_cast<int16_t>(gain == 16384 ? sum : sum >> 1);
        }
        EXPECT_EQ(dest, expected);
    }
}

TEST(MixStereo16, WithoutInputsWritesZeroFramesAndWithoutBytesNothing) {
    Mix mix({{500, 500, 500, 500}});
    struct Case {
        const char* name;
        int32_t bytes, count;
        const TMMMixInfo* info;
        std::vector<int16_t> expected;
    };
    const Case cases[] = {
        {"count 0", 10, 0, mix.info, {0, 0, 0, 0, 77, 77}},
        {"negative count", 10, -1, mix.info, {0, 0, 0, 0, 77, 77}},
        {"no record", 4, 1, nullptr, {0, 0, 77, 77, 77, 77}},
        {"no bytes", 0, 1, mix.info, {77, 77, 77, 77, 77, 77}},
        {"negative bytes", -4, 1, mix.info, {77, 77, 77, 77, 77, 77}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int32_t> accumulator(6);
        std::vector<int16_t> dest(6, 77);
        EXPECT_FALSE(MixStereo16(c.bytes, c.count, c.info, accumulator.data(), dest.data()));
        EXPECT_EQ(dest, c.expected);
    }
}

TEST(MixStereo16, ReadsNoMoreInputsThanTheRecordHoldsRoomFor) {
    Mix mix({{1, 2}, {10, 20}});
    std::vector<int32_t> accumulator(2);
    std::vector<int16_t> dest(2);
    EXPECT_FALSE(MixStereo16(4, 3, mix.info, accumulator.data(), dest.data()));
    EXPECT_EQ(dest, (std::vector<int16_t>{11, 22}));
}

TEST(MixInfo, AllocatesAZeroedRecordWithRoomForEveryInput) {
    const int16_t block[2] = {};
    for (int32_t count : {0, 1, 4, 9}) {
        SCOPED_TRACE("count " + std::to_string(count));
        TMMMixInfo* info = AllocMixInfo(count);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->LeftGain, 0);
        EXPECT_EQ(info->RightGain, 0);
        EXPECT_EQ(info->Count, count);
        // Out-of-room entries are caught by the address sanitizer build.
        for (int32_t i = 0; i < count; ++i) {
            EXPECT_EQ(info->Inputs[i], nullptr);
            info->Inputs[i] = block;
        }
        FreeMixInfo(info);
        EXPECT_EQ(info, nullptr);
    }
    TMMMixInfo* negative = AllocMixInfo(-3);
    EXPECT_EQ(negative->Count, 0);
    FreeMixInfo(negative);
}

// ---- sample width --------------------------------------------------------------------------

TEST(ConvertSampleBits, SixteenToEightTruncatesTowardsZero) {
    const std::vector<int> source{-32768, -257, -256, -255, -1, 0, 255, 256, 32767};
    const std::vector<int> expected{0, 127, 127, 128, 128, 128, 128, 129, 255};
    const auto input = Encode(16, source);
    std::vector<uint8_t> output(source.size() + 1, 0xAA);
    EXPECT_EQ(
        ConvertSampleBits(8, output.data(), 16, input.data(), static_cast<int32_t>(input.size())),
        static_cast<int32_t>(source.size()));
    EXPECT_EQ(Decode(8, output.data(), source.size()), expected);
    EXPECT_EQ(output.back(), 0xAA);
}

TEST(ConvertSampleBits, EightToSixteenAndBackRestoresEveryValue) {
    std::vector<uint8_t> bytes(256);
    for (int value = 0; value < 256; ++value)
        bytes[value] = static_cast<uint8_t>(value);

    std::vector<uint8_t> wide(512);
    ASSERT_EQ(ConvertSampleBits(16, wide.data(), 8, bytes.data(), 256), 512);
    const auto samples = Decode(16, wide);
    EXPECT_EQ(samples[0], -32768);
    EXPECT_EQ(samples[128], 0);
    EXPECT_EQ(samples[255], 32512);
    for (int value = 0; value < 256; ++value)
        ASSERT_EQ(samples[value], (value - 128) * 256) << "byte " << value;

    std::vector<uint8_t> narrow(256);
    ASSERT_EQ(ConvertSampleBits(8, narrow.data(), 16, wide.data(), 512), 256);
    EXPECT_EQ(narrow, bytes);
}

TEST(ConvertSampleBits, CountsAndCutsTheSourceBytes) {
    struct Case {
        const char* name;
        int dstBits, srcBits;
        int32_t bytes, result;
        size_t written;
    };
    const Case cases[] = {
        {"16 to 16 copies an odd count", 16, 16, 5, 5, 5},
        {"8 to 8 copies", 8, 8, 6, 6, 6},
        {"16 to 8 drops the odd byte", 8, 16, 5, 2, 2},
        {"8 to 16 doubles", 16, 8, 3, 6, 6},
        {"24 to 16 is not converted", 16, 24, 6, 0, 0},
        {"16 to 4 is not converted", 4, 16, 6, 0, 0},
        {"no bytes", 16, 8, 0, 0, 0},
        {"negative bytes", 16, 16, -2, 0, 0},
    };
    const std::vector<uint8_t> source{1, 2, 3, 4, 5, 6};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dest(12, 0xAA);
        EXPECT_EQ(ConvertSampleBits(c.dstBits, dest.data(), c.srcBits, source.data(), c.bytes),
                  c.result);
        for (size_t i = c.written; i < dest.size(); ++i)
            EXPECT_EQ(dest[i], 0xAA) << "byte " << i;
        if (c.dstBits == c.srcBits) {
            EXPECT_EQ(std::memcmp(dest.data(), source.data(), c.written), 0);
        }
    }
}

// ---- trigger search ------------------------------------------------------------------------

TEST(FindTrigger, ReportsTheSampleThatCompletesTheFirstCrossing) {
    struct Case {
        const char* name;
        uint16_t bits, channels;
        std::vector<int> samples; // interleaved
        int32_t level;
        int mode;
        int channel;
        int32_t expected;
        int32_t bytes = -1; // -1: all of samples
    };
    const Case cases[] = {
        // 16-bit mono
        {"rising through zero", 16, 1, {-5, 5, 0}, 0, 1, 0, 2},
        {"the last pair is not tested", 16, 1, {-5, 5}, 0, 1, 0, -1},
        {"falling through zero", 16, 1, {5, -5, 0}, 0, 2, 0, 2},
        {"mode 0 searches nothing", 16, 1, {-5, 5, 0}, 0, 0, 0, -1},
        {"unknown mode", 16, 1, {-5, 5, 0}, 0, 3, 0, -1},
        {"rising onto the threshold", 16, 1, {-5, 0, 0}, 0, 1, 0, 2},
        {"rising from the threshold", 16, 1, {0, 5, 0}, 0, 1, 0, -1},
        {"falling onto the threshold", 16, 1, {5, 0, 0}, 0, 2, 0, 2},
        {"falling from the threshold", 16, 1, {0, -5, 0}, 0, 2, 0, -1},
        {"rising edge ignores a fall", 16, 1, {5, -5, 0}, 0, 1, 0, -1},
        {"third-last frame is tested", 16, 1, {0, 0, -5, 5, 0}, 0, 1, 0, 6},
        {"crossing in the last two frames", 16, 1, {0, 0, 0, -5, 5}, 0, 1, 0, -1},
        {"level 50 is 16350", 16, 1, {16349, 16350, 0}, 50, 1, 0, 2},
        {"level 50 from 16350", 16, 1, {16350, 16351, 0}, 50, 1, 0, -1},
        {"level -100 is -32700", 16, 1, {-32701, -32700, 0}, -100, 1, 0, 2},
        {"falling negates the level", 16, 1, {-16349, -16350, 0}, 50, 2, 0, 2},
        {"mono ignores the channel", 16, 1, {-5, 5, 0}, 0, 1, 2, 2},
        {"odd byte count keeps whole samples", 16, 1, {-5, 5, 0, 0}, 0, 1, 0, 2, 7},
        {"odd byte count leaves two samples", 16, 1, {-5, 5, 0}, 0, 1, 0, -1, 5},
        // 8-bit mono: the threshold is level * 1.27 to nearest, ties to even, plus 128
        {"8-bit rising through 128", 8, 1, {127, 129, 128}, 0, 1, 0, 1},
        {"level 10 rounds 12.7 up", 8, 1, {140, 141, 0}, 10, 1, 0, 1},
        {"level -50 ties to -64", 8, 1, {63, 64, 0}, -50, 1, 0, 1},
        {"level -50 is not -63", 8, 1, {64, 65, 0}, -50, 1, 0, -1},
        {"level 50 ties to 64", 8, 1, {191, 192, 0}, 50, 1, 0, 1},
        {"level 100 is 255", 8, 1, {254, 255, 0}, 100, 1, 0, 1},
        {"8-bit falling", 8, 1, {65, 64, 0}, 50, 2, 0, 1},
        {"8-bit second pair", 8, 1, {128, 100, 200, 0}, 0, 1, 0, 2},
        // 8-bit stereo: left pair (k, k+2), right pair (k+1, k+3)
        {"8-bit left", 8, 2, {127, 128, 129, 128, 128, 128}, 0, 1, 0, 2},
        {"8-bit left, right only", 8, 2, {127, 128, 129, 128, 128, 128}, 0, 1, 2, -1},
        {"8-bit right", 8, 2, {128, 127, 128, 129, 128, 128}, 0, 1, 0, 3},
        {"8-bit right, left only", 8, 2, {128, 127, 128, 129, 128, 128}, 0, 1, 1, -1},
        {"8-bit right, right only", 8, 2, {128, 127, 128, 129, 128, 128}, 0, 1, 2, 3},
        {"8-bit odd byte count", 8, 2, {128, 127, 128, 129, 128, 128}, 0, 1, 0, -1, 5},
        // 16-bit stereo: left pair (k, k+4), right pair (k+2, k+6)
        {"16-bit left", 16, 2, {-5, 0, 5, 0, 0, 0}, 0, 1, 0, 4},
        {"16-bit left, left only", 16, 2, {-5, 0, 5, 0, 0, 0}, 0, 1, 1, 4},
        {"16-bit left, right only", 16, 2, {-5, 0, 5, 0, 0, 0}, 0, 1, 2, -1},
        {"16-bit right", 16, 2, {0, -5, 0, 5, 0, 0}, 0, 1, 0, 6},
        {"16-bit right, left only", 16, 2, {0, -5, 0, 5, 0, 0}, 0, 1, 1, -1},
        {"16-bit right, right only", 16, 2, {0, -5, 0, 5, 0, 0}, 0, 1, 2, 6},
        {"left before right in a frame", 16, 2, {-5, -5, 5, 5, 0, 0}, 0, 1, 0, 4},
        {"earlier frame wins", 16, 2, {0, -5, -5, 5, 5, 0, 0, 0}, 0, 1, 0, 6},
        {"16-bit last pair", 16, 2, {-5, -5, 5, 5}, 0, 1, 0, -1},
        {"16-bit partial frame", 16, 2, {-5, -5, 5, 5, 0, 0}, 0, 1, 0, -1, 11},
        {"unknown channel", 16, 2, {-5, -5, 5, 5, 0, 0}, 0, 1, 3, -1},
        {"no bytes", 16, 2, {-5, -5, 5, 5, 0, 0}, 0, 1, 0, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WAVEFORMATEX format = Format(c.bits, c.channels);
        const auto data = Encode(c.bits, c.samples);
        const int32_t bytes = c.bytes < 0 ? static_cast<int32_t>(data.size()) : c.bytes;
        EXPECT_EQ(FindTrigger(&format, data.data(), bytes, c.level, c.mode, c.channel), c.expected);

        // The same block one byte further on: offsets stay relative to the data.
        std::vector<uint8_t> shifted(1, 0);
        shifted.insert(shifted.end(), data.begin(), data.end());
        EXPECT_EQ(FindTrigger(&format, shifted.data() + 1, bytes, c.level, c.mode, c.channel),
                  c.expected);
    }
}

TEST(FindTrigger, SearchesOnlyPlainPCMOfEightOrSixteenBits) {
    const auto data = Encode(16, {-5, 5, 0});
    const WAVEFORMATEX adpcm = Format(16, 1, 44100, WAVE_FORMAT_ADPCM);
    const WAVEFORMATEX wide = Format(24, 1);
    EXPECT_EQ(FindTrigger(nullptr, data.data(), 6, 0, 1, 0), -1);
    EXPECT_EQ(FindTrigger(&adpcm, data.data(), 6, 0, 1, 0), -1);
    EXPECT_EQ(FindTrigger(&wide, data.data(), 6, 0, 1, 0), -1);
}
