#include "sources/MMFade.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using testsupport::PcmFormat;

std::vector<int16_t> Constant(std::size_t frames, int channels, int16_t value) {
    return std::vector<int16_t>(frames * static_cast<std::size_t>(channels), value);
}

TEST(PanGains, PositivePanningAttenuatesTheLeftAndNegativeTheRight) {
    struct Case {
        int32_t volume, panning, left, right;
    };
    const Case cases[] = {{16384, 0, 16384, 16384},     {16384, 32768, 0, 16384},
                          {16384, -32768, 16384, 0},    {16384, 16384, 8192, 16384},
                          {32768, -8192, 32768, 24576}, {0, 12345, 0, 0}};
    for (const Case& item : cases) {
        int32_t left = -1, right = -1;
        PanGains(item.volume, item.panning, left, right);
        EXPECT_EQ(left, item.left) << item.volume << "/" << item.panning;
        EXPECT_EQ(right, item.right) << item.volume << "/" << item.panning;
    }
}

TEST(FadeList, SortsByPositionKeepingEqualPositionsInOrderAndInterpolates) {
    TMMFadeList list;
    list.Add(100, 16384, 0);
    list.Add(0, 0, 0);
    list.Add(50, 8000, 0);
    list.Add(50, 0, 0); // a step at 50: 8000, then 0
    list.Sort();
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list[0].Position, 0);
    EXPECT_EQ(list[1].Volume, 8000);
    EXPECT_EQ(list[2].Volume, 0);
    EXPECT_EQ(list[3].Position, 100);

    EXPECT_EQ(list.InterpolateVolume(-5), 0);
    EXPECT_EQ(list.InterpolateVolume(25), 4000);
    EXPECT_EQ(list.InterpolateVolume(75), 8192);

    // Many points: the gaps above one still give a sorted list.
    TMMFadeList many;
    for (int i = 0; i < 40; ++i)
        many.Add((i * 37) % 40, i, 0);
    many.Sort();
    for (int i = 1; i < many.Count(); ++i)
        EXPECT_LE(many[i - 1].Position, many[i].Position);
}

// The envelope the file source builds for a file of `duration` bytes: silence at 0, the volume
// after `fadeIn` bytes, held until one step before the end, then silence.
TMMFadeList SourceEnvelope(int64_t fadeIn, int64_t end, int32_t volume, int32_t panning) {
    TMMFadeList list;
    list.Add(0, 0, panning);
    list.Add(fadeIn, volume, panning);
    list.Add(end, volume, panning);
    list.Add(end, 0, panning);
    list.Add(end * 10, 0, panning);
    list.Sort();
    return list;
}

TEST(ApplyEnvelope, FadesInHoldsAndEndsSilentAcrossAnyBlockSplit) {
    const WAVEFORMATEX format = PcmFormat(2, 44100, 16);
    const int frames = 2000;
    for (int block : {4, 44, 1000, 8000}) {
        SCOPED_TRACE(block);
        std::vector<int16_t> data = Constant(frames, 2, 10000);
        TMMFadeList envelope = SourceEnvelope(180, 7600, UnityGain, 0);
        auto* bytes = reinterpret_cast<uint8_t*>(data.data());
        for (int at = 0; at < frames * 4; at += block)
            ApplyEnvelope(&format, bytes + at, std::min(block, frames * 4 - at), envelope);
        EXPECT_EQ(data[0], 0); // starts from silence
        for (int f = 1; f < 45; ++f)
            EXPECT_LE(data[2 * f - 2], data[2 * f]) << f; // rising
        EXPECT_LT(data[2 * 20], 10000);
        for (int f = 45; f < 1900; ++f)
            ASSERT_EQ(data[2 * f], 10000) << f; // unity: untouched
        for (int f = 1900; f < frames; ++f)
            ASSERT_EQ(data[2 * f + 1], 0) << f; // silent from the end point on
    }
}

TEST(ApplyEnvelope, VolumeAndPanningScaleWithSaturation) {
    const WAVEFORMATEX stereo = PcmFormat(2, 44100, 16);
    struct Case {
        int32_t volume, panning;
        int16_t in, left, right;
    };
    const Case cases[] = {
        {0, 0, 20000, 0, 0},
        {32768, 0, 10000, 20000, 20000},
        {32768, 0, 20000, 32767, 32767}, // doubled, saturated
        {32768, 0, -20000, -32768, -32768},
        {16384, 32768, 10000, 0, 10000},  // left silenced
        {16384, -32768, 10000, 10000, 0}, // right silenced
        {8192, 0, -3, -2, -2},            // the shift rounds towards minus infinity
    };
    for (const Case& item : cases) {
        std::vector<int16_t> data = Constant(100, 2, item.in);
        TMMFadeList envelope;
        envelope.Add(0, item.volume, item.panning);
        envelope.Add(1 << 20, item.volume, item.panning);
        envelope.Sort();
        PanGains(item.volume, item.panning, envelope.CurrentLeft, envelope.CurrentRight);
        ApplyEnvelope(&stereo, data.data(), 400, envelope);
        EXPECT_EQ(data[100], item.left) << item.volume << "/" << item.panning << "/" << item.in;
        EXPECT_EQ(data[101], item.right) << item.volume << "/" << item.panning << "/" << item.in;
    }

    // 24 and 32-bit samples are scaled in their own width, not as pairs of 16-bit ones.
    struct Wide {
        uint16_t bits;
        int32_t in, out;
    };
    for (const Wide& item : {Wide{24, 1048576, 524288}, Wide{24, -8388608, -4194304},
                             Wide{32, 1 << 30, 1 << 29}, Wide{32, -7, -4}}) {
        const int bytes = item.bits / 8;
        const WAVEFORMATEX wide = PcmFormat(1, 48000, item.bits);
        std::vector<uint8_t> sample(static_cast<std::size_t>(bytes));
        for (int b = 0; b < bytes; ++b)
            sample[static_cast<std::size_t>(b)] = static_cast<uint8_t>(item.in >> (8 * b));
        TMMFadeList half;
        half.Add(0, 8192, 0);
        half.Add(1000, 8192, 0);
        half.Sort();
        half.CurrentLeft = half.CurrentRight = 8192;
        ApplyEnvelope(&wide, sample.data(), bytes, half);
        uint32_t raw = 0;
        for (int b = 0; b < bytes; ++b)
            raw |= static_cast<uint32_t>(sample[static_cast<std::size_t>(b)]) << (8 * b);
        const int shift = 32 - item.bits;
        EXPECT_EQ(static_cast<int32_t>(raw << shift) >> shift, item.out)
            << item.bits << "/" << item.in;
    }

    // 8-bit samples are unsigned around 128.
    const WAVEFORMATEX mono8 = PcmFormat(1, 8000, 8);
    std::vector<uint8_t> eight = {200, 0, 255, 128};
    TMMFadeList envelope;
    envelope.Add(0, 8192, 0);
    envelope.Add(1000, 8192, 0);
    envelope.Sort();
    envelope.CurrentLeft = envelope.CurrentRight = 8192;
    ApplyEnvelope(&mono8, eight.data(), 4, envelope);
    EXPECT_EQ(eight, (std::vector<uint8_t>{164, 64, 191, 128}));
}

} // namespace
