#include "sources/MMADCvt.h"
#include "support/CodecFixture.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace testsupport;

std::vector<int16_t> Tone(int frames, int channels, uint32_t rate) {
    return ToInt16(SineFrames(frames, channels, rate, 441.0, 0.6));
}

std::vector<int> Standard() {
    return {MsCoefficients.begin(), MsCoefficients.end()};
}

FormatRecord MsRecord(uint16_t channels, uint16_t bits, uint16_t blockAlign,
                      const std::vector<int>& table) {
    const int perBlock = 2 + (blockAlign - 7 * channels) * 2 / channels;
    return MakeRecord(WAVE_FORMAT_ADPCM, channels, 22050, bits, blockAlign,
                      22050u * blockAlign / static_cast<uint32_t>(perBlock),
                      MsExtra(perBlock, table));
}

TEST(ADPCMConverterFormats, TakesWhatItsDecodersReadAndPassesTheRestOn) {
    std::vector<int> altered = Standard();
    altered[9] = 1;
    std::vector<int> eight = Standard();
    eight.insert(eight.end(), {128, 0});
    struct Case {
        const char* name;
        FormatRecord format;
        bool decodes;
    };
    const Case cases[] = {
        {"PCM", MakeRecord(WAVE_FORMAT_PCM, 2, 44100, 16, 4, 176400), true},
        {"MS ADPCM mono", MsRecord(1, 4, 256, Standard()), true},
        {"MS ADPCM 4 channels", MsRecord(4, 4, 1024, Standard()), true},
        {"MS ADPCM 5 channels", MsRecord(5, 4, 1024, Standard()), false},
        {"MS ADPCM other coefficients", MsRecord(2, 4, 512, altered), false},
        {"MS ADPCM eight coefficients", MsRecord(2, 4, 512, eight), false},
        {"MS ADPCM 3 bits", MsRecord(1, 3, 256, Standard()), false},
        {"MS ADPCM block below its header", MsRecord(2, 4, 13, Standard()), false},
        {"Antex mono", MakeRecord(WAVE_FORMAT_ANTEX_ADPCME, 1, 8000, 4, 1, 4000), true},
        {"Antex DVI stereo", MakeRecord(WAVE_FORMAT_ANTEX_DVI_ADPCME, 2, 8000, 4, 2, 8000), true},
        {"Antex 3 channels", MakeRecord(WAVE_FORMAT_ANTEX_ADPCME, 3, 8000, 4, 3, 12000), false},
        {"tag 3, 4 bits", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 11025, 4, 2, 11025), true},
        {"float 32", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32, 8, 384000), false},
        {"float 64", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 64, 8, 384000), false},
        {"IMA ADPCM", MakeRecord(0x0011, 1, 8000, 4, 256, 4055, {0xF9, 0x01}), false},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(TMMADPCMConverter::CanDecode(item.format.get()), item.decodes);
        TMMComponentOwner owner;
        auto* source = new MemorySource(&owner, item.format, {});
        auto* converter = new TMMADPCMConverter(&owner);
        converter->SetInput(source);
        EXPECT_EQ(converter->CanTakeInput(), item.decodes);
        const WAVEFORMATEX* link = converter->GetPWaveFormat();
        ASSERT_NE(link, nullptr);
        if (item.decodes && item.format.get()->wFormatTag != WAVE_FORMAT_PCM) {
            // 16-bit PCM with the input's channels and rate; 8 bits when asked for.
            EXPECT_EQ(link->wFormatTag, WAVE_FORMAT_PCM);
            EXPECT_EQ(link->wBitsPerSample, 16);
            EXPECT_EQ(link->nChannels, item.format.get()->nChannels);
            EXPECT_EQ(link->nSamplesPerSec, item.format.get()->nSamplesPerSec);
            converter->SetBitLength(b8Bit);
            EXPECT_EQ(converter->GetPWaveFormat()->wBitsPerSample, 8);
        } else {
            EXPECT_EQ(std::memcmp(link, item.format.get(), 16), 0); // passed on as it came
            EXPECT_FALSE(converter->CanConvertFormat());
            EXPECT_EQ(converter->NeedsConversion(), !item.decodes);
        }
    }
}

TEST(ADPCMConverterFormats, TagThreeDifferencesKeepTheGivenRowsAndFollowTheRule) {
    const std::array<int16_t, 8> row0{0, 2, 4, 6, 8, 10, 12, 13};
    const std::array<int16_t, 8> row1{1, 3, 5, 7, 9, 11, 13, 15};
    const std::array<int16_t, 8> row88{4096, 12288, 20479, 28671, -28673, -20481, -12290, -4098};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(Tag3Difference(0, c), row0[static_cast<std::size_t>(c)]);
        EXPECT_EQ(Tag3Difference(1, c), row1[static_cast<std::size_t>(c)]);
        EXPECT_EQ(Tag3Difference(88, c), row88[static_cast<std::size_t>(c)]);
    }
    // The other rows: (2c + 1) * step / 8 rounded, modulo 2^16, over the IMA steps with four
    // entries one lower.
    std::array<int, 89> steps = ImaStepTable;
    steps[3] = 9;
    steps[4] = 10;
    steps[8] = 15;
    steps[86] = 27085;
    for (int index = 2; index < 88; ++index)
        for (int c = 0; c < 8; ++c) {
            const auto expected = static_cast<int16_t>(static_cast<uint16_t>(
                std::lround((2 * c + 1) * steps[static_cast<std::size_t>(index)] / 8.0)));
            EXPECT_EQ(Tag3Difference(index, c), expected) << index << "," << c;
        }
}

struct Decodable {
    const char* name;
    Encoded encoded;
};

std::vector<Decodable> DecodableFormats() {
    return {
        {"MS ADPCM mono 22050", EncodeMsAdpcm(Tone(9000, 1, 22050), 1, 22050, 256)},
        {"MS ADPCM stereo 11025", EncodeMsAdpcm(Tone(6000, 2, 11025), 2, 11025, 512)},
        {"MS ADPCM 4 channels 8000", EncodeMsAdpcm(Tone(3000, 4, 8000), 4, 8000, 1024)},
        {"Antex mono 11025",
         EncodeAntex(WAVE_FORMAT_ANTEX_ADPCME, Tone(10001, 1, 11025), 1, 11025)},
        {"Antex DVI stereo 22050",
         EncodeAntex(WAVE_FORMAT_ANTEX_DVI_ADPCME, Tone(9000, 2, 22050), 2, 22050)},
        {"tag 3 mono 11025", EncodeTag3(Tone(9000, 1, 11025), 1, 11025)},
        {"tag 3 stereo 22050", EncodeTag3(Tone(9000, 2, 22050), 2, 22050)},
    };
}

TEST(ADPCMConverterChain, FilesDecodeSampleForSampleAsTheEncoderReconstructs) {
    TempDir dir;
    for (const Decodable& item : DecodableFormats()) {
        SCOPED_TRACE(item.name);
        FileChain chain;
        chain.Load(dir.Write("f.wav", WaveImage(item.encoded.format, item.encoded.data)));
        ASSERT_TRUE(chain.adpcm->NeedsConversion());
        ASSERT_TRUE(chain.adpcm->CanConvertFormat());
        chain.OpenAndStart(4100);
        EXPECT_EQ(chain.pcm->Stream(), nullptr); // the PCM converter passes the PCM on
        const PullResult pull = chain.PullAll(chain.sink->GetBufferSize());
        EXPECT_FALSE(pull.lastMore);
        const std::vector<int16_t> decoded = Samples16(pull.bytes);
        // Microsoft ADPCM decodes the padding of its last block too.
        ASSERT_GE(decoded.size(), item.encoded.decoded.size());
        const std::vector<int16_t> played(
            decoded.begin(),
            decoded.begin() + static_cast<std::ptrdiff_t>(item.encoded.decoded.size()));
        EXPECT_TRUE(played == item.encoded.decoded)
            << KeepForListening("adpcm", *chain.sink->GetPWaveFormat(), pull.bytes);
        // And it is the tone it was made from.
        const int channels = item.encoded.format.get()->nChannels;
        const double rate = item.encoded.format.get()->nSamplesPerSec;
        EXPECT_NEAR(ToneFrequency(Channel(played, channels, 0), rate), 441.0, 2.0);
        EXPECT_NEAR(Rms(Channel(played, channels, 0)), 0.6 / std::sqrt(2.0), 0.03);
    }
}

TEST(ADPCMConverterChain, PiecesOfAnySizeFromTheSourceDecodeTheSame) {
    // The source hands out odd pieces: blocks and byte pairs are split across pulls.
    const std::vector<int32_t> pieces{1, 7, 255, 4096, 3, 1000};
    for (const Decodable& item : DecodableFormats()) {
        SCOPED_TRACE(item.name);
        FileChain chain;
        auto* source =
            new MemorySource(&chain.owner, item.encoded.format, item.encoded.data, pieces);
        chain.UseSource(source);
        chain.OpenAndStart(1234);
        const std::vector<int16_t> decoded = Samples16(chain.PullAll(1234).bytes);
        ASSERT_GE(decoded.size(), item.encoded.decoded.size());
        EXPECT_TRUE(
            std::equal(item.encoded.decoded.begin(), item.encoded.decoded.end(), decoded.begin()));
    }
}

TEST(ADPCMConverterChain, EightBitOutputIsTheSixteenBitDecodeNarrowed) {
    const Decodable item = DecodableFormats()[4]; // Antex stereo
    FileChain chain;
    chain.UseSource(new MemorySource(&chain.owner, item.encoded.format, item.encoded.data));
    chain.adpcm->SetBitLength(b8Bit);
    chain.OpenAndStart(4096);
    const std::vector<uint8_t> bytes = chain.PullAll(4096).bytes;
    ASSERT_EQ(bytes.size(), item.encoded.decoded.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
        ASSERT_EQ(bytes[i], item.encoded.decoded[i] / 256 + 128) << i;
}

TEST(ADPCMConverterChain, ResetAfterASeekStartsTheDecoderAfresh) {
    // The Antex state runs on from pull to pull; after a seek to the start and a reset the
    // decode must be the first one again, not one that goes on from the old state.
    TempDir dir;
    for (int which : {3, 5}) {
        const Decodable item = DecodableFormats()[static_cast<std::size_t>(which)];
        SCOPED_TRACE(item.name);
        FileChain chain;
        chain.Load(dir.Write("f.wav", WaveImage(item.encoded.format, item.encoded.data)));
        chain.OpenAndStart(2048);
        const std::vector<uint8_t> first = chain.PullAll(2048, 3).bytes;
        chain.reader->SetPosition(0);
        for (TMMDSPComponent* link : chain.Links())
            link->Reset();
        const std::vector<int16_t> again = Samples16(chain.PullAll(2048).bytes);
        ASSERT_GE(again.size(), item.encoded.decoded.size());
        EXPECT_TRUE(
            std::equal(item.encoded.decoded.begin(), item.encoded.decoded.end(), again.begin()));
        EXPECT_EQ(first.size(), 3u * 2048);
    }
}

TEST(ADPCMConverterChain, TruncatedAndDamagedDataPlaysWhatDecodesAndEnds) {
    const Encoded stereo = EncodeMsAdpcm(Tone(4000, 2, 11025), 2, 11025, 512);
    const int perBlock = 2 + (512 - 14) * 2 / 2;
    std::mt19937 random(7);
    std::vector<uint8_t> garbage(4096 * 3 + 100);
    for (uint8_t& byte : garbage)
        byte = static_cast<uint8_t>(random());
    // Every fourth block with a large step and maximal codes: the decoder must stay in range.
    for (std::size_t block = 0; block + 512 <= garbage.size(); block += 4 * 512) {
        garbage[block] = 0;
        garbage[block + 1] = 1;
        garbage[block + 2] = garbage[block + 4] = 0xFF;
        garbage[block + 3] = garbage[block + 5] = 0x7F;
        std::fill(garbage.begin() + static_cast<std::ptrdiff_t>(block) + 14,
                  garbage.begin() + static_cast<std::ptrdiff_t>(block) + 512, uint8_t{0x77});
    }
    const std::vector<uint8_t> cut(stereo.data.begin(), stereo.data.begin() + 512 * 3 + 100);
    struct Case {
        const char* name;
        FormatRecord format;
        std::vector<uint8_t> data;
        std::size_t frames; // what the data holds
    };
    const Case cases[] = {
        // Three whole blocks, then a partial one: its header and 86 bytes of codes.
        {"cut in a block", stereo.format, cut, 3u * perBlock + 2 + 86},
        // 24 blocks of garbage (those with predictors beyond the table play silence), then a
        // partial block of 100 bytes.
        {"garbage", stereo.format, garbage, 24u * perBlock + 2 + 86},
        {"Antex garbage", MakeRecord(WAVE_FORMAT_ANTEX_ADPCME, 2, 8000, 4, 2, 8000), garbage,
         garbage.size()},
        {"tag 3 garbage", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 4, 1, 4000), garbage,
         garbage.size() * 2},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        FileChain chain;
        chain.UseSource(new MemorySource(&chain.owner, item.format, item.data, {333, 4096, 17}));
        chain.OpenAndStart(4096);
        const PullResult pull = chain.PullAll(4096, 1000);
        EXPECT_FALSE(pull.lastMore);
        EXPECT_LT(pull.pulls, 1000);
        const int channels = item.format.get()->nChannels;
        EXPECT_EQ(pull.bytes.size() / 2 / static_cast<std::size_t>(channels), item.frames);
        // Further pulls deliver nothing and say so.
        EXPECT_EQ(chain.PullAll(4096).bytes.size(), 0u);
    }
    // The cut file plays its whole blocks exactly.
    FileChain chain;
    chain.UseSource(new MemorySource(&chain.owner, stereo.format, cut));
    chain.OpenAndStart(4096);
    const std::vector<int16_t> decoded = Samples16(chain.PullAll(4096).bytes);
    EXPECT_TRUE(std::equal(stereo.decoded.begin(),
                           stereo.decoded.begin() + 2 * (3 * perBlock + 2 + 86), decoded.begin()));
}

TEST(ADPCMConverterChain, TagThreeFloatFilesGoToTheServiceAndFourBitsToTheDecoder) {
    TempDir dir;
    const std::vector<double> tone = SineFrames(5000, 2, 44100, 1000, 0.5);
    std::vector<float> floats(tone.begin(), tone.end());
    const FormatRecord floatFormat = MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32, 8, 352800);
    FileChain floatChain;
    floatChain.Load(dir.Write("float.wav", WaveImage(floatFormat, Bytes(floats))));
    EXPECT_FALSE(floatChain.adpcm->CanTakeInput());
    EXPECT_FALSE(floatChain.adpcm->NeedsConversion()); // disabled: passes the float on
    floatChain.OpenAndStart(4096);
    EXPECT_NE(floatChain.pcm->Stream(), nullptr);
    const std::vector<int16_t> played = Samples16(floatChain.PullAll(4096).bytes);
    const std::vector<int16_t> expected = ToInt16(tone);
    ASSERT_EQ(played.size(), expected.size());
    for (std::size_t i = 0; i < played.size(); ++i)
        ASSERT_NEAR(played[i], expected[i], 1) << i;

    const Encoded adpcm = EncodeTag3(Tone(2000, 1, 8000), 1, 8000);
    FileChain adpcmChain;
    adpcmChain.Load(dir.Write("tag3.wav", WaveImage(adpcm.format, adpcm.data)));
    EXPECT_TRUE(adpcmChain.adpcm->CanConvertFormat());
    adpcmChain.OpenAndStart(4096);
    EXPECT_EQ(adpcmChain.pcm->Stream(), nullptr);
    EXPECT_TRUE(Samples16(adpcmChain.PullAll(4096).bytes) == adpcm.decoded);
}

} // namespace
