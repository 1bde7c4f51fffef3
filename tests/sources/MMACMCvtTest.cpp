#include "sources/MMACMCvt.h"
#include "chain/MMMsgs.h"
#include "support/CodecFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace testsupport;

// ---- stream helpers -------------------------------------------------------------------------

FormatRecord Pcm(uint16_t bits, uint16_t channels, uint32_t rate) {
    return MakeRecord(WAVE_FORMAT_PCM, channels, rate, bits,
                      static_cast<uint16_t>(channels * bits / 8), rate * channels * bits / 8);
}

FormatRecord Ima(uint16_t channels, uint32_t rate) {
    std::vector<uint8_t> extra;
    Put16(extra, 505);
    return MakeRecord(0x0011, channels, rate, 4, static_cast<uint16_t>(256 * channels),
                      rate * 256 / 505, extra);
}

FormatRecord Gsm(uint32_t rate) {
    return MakeRecord(WAVE_FORMAT_GSM610, 1, rate, 0, 65, rate * 65 / 320, {0x40, 0x01});
}

// A tone as PCM bytes of any width, every channel the same.
std::vector<uint8_t> PcmTone(int frames, int channels, int bits, double rate, double frequency,
                             double amplitude) {
    const std::vector<double> mono = SineFrames(frames, 1, rate, frequency, amplitude);
    std::vector<uint8_t> bytes;
    for (double value : mono)
        for (int c = 0; c < channels; ++c) {
            const auto sample = static_cast<int64_t>(std::lround(value * 2147483648.0));
            const auto word =
                static_cast<uint32_t>(std::clamp<int64_t>(sample, INT32_MIN, INT32_MAX));
            if (bits == 8)
                bytes.push_back(static_cast<uint8_t>((word >> 24) ^ 0x80));
            for (int b = 32 - bits; bits > 8 && b < 32; b += 8)
                bytes.push_back(static_cast<uint8_t>(word >> b));
        }
    return bytes;
}

// Converts data through a stream in pieces of the given sizes (in turn), then flushes.
std::vector<uint8_t> ConvertInPieces(PMMConversionStream stream, const std::vector<uint8_t>& data,
                                     const std::vector<int32_t>& pieces) {
    std::vector<uint8_t> out;
    auto take = [&] {
        out.insert(out.end(), stream->Output + stream->Taken, stream->Output + stream->Produced);
        stream->Taken = stream->Produced;
    };
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        const auto count = std::min<std::size_t>(
            {data.size() - at, static_cast<std::size_t>(pieces[i % pieces.size()]),
             static_cast<std::size_t>(stream->SourceBlockSize)});
        std::memcpy(stream->SourceBlock, data.data() + at, count);
        at += count;
        EXPECT_GE(Convert(stream, static_cast<int32_t>(count)), 0);
        take();
    }
    while (FlushConversion(stream, 0) > 0)
        take();
    return out;
}

std::vector<uint8_t> ConvertAll(const FormatRecord& source, const FormatRecord& dest,
                                const std::vector<uint8_t>& data,
                                const std::vector<int32_t>& pieces = {1 << 30}) {
    PMMConversionStream stream = OpenConversion(source.get(), dest.get(), nullptr, true, 8192);
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr)
        return {};
    std::vector<uint8_t> out = ConvertInPieces(stream, data, pieces);
    CloseConversion(stream);
    EXPECT_EQ(stream, nullptr);
    return out;
}

TEST(ConversionStreams, SuggestionsAreThePCMACodecDecodesTo) {
    const FormatRecord pcm24 = Pcm(24, 2, 96000);
    struct Case {
        const char* name;
        FormatRecord source;
        uint16_t bits, channels;
        uint32_t rate; // 0: no suggestion
    };
    const Case cases[] = {
        {"PCM is its own suggestion", pcm24, 24, 2, 96000},
        {"IMA ADPCM", Ima(2, 22050), 16, 2, 22050},
        {"A-law", MakeRecord(WAVE_FORMAT_ALAW, 1, 8000, 8, 1, 8000), 16, 1, 8000},
        {"float 64", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 64, 8, 352800), 16, 1, 44100},
        {"extensible float", ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 32, 0x3F), 16, 6,
         48000},
        {"GSM", Gsm(11025), 16, 1, 11025},
        {"unknown tag", MakeRecord(0x1234, 1, 8000, 4, 4, 4000), 0, 0, 0},
        {"float of 24 bits", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 24, 3, 24000), 0, 0, 0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        WAVEFORMATEX suggestion;
        std::memset(&suggestion, 0xAB, sizeof suggestion);
        SuggestPCMFormat(item.source.get(), suggestion);
        if (item.rate == 0) {
            EXPECT_EQ(suggestion.wFormatTag, WAVE_FORMAT_UNKNOWN);
            EXPECT_EQ(suggestion.nChannels, 0);
            continue;
        }
        EXPECT_EQ(suggestion.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(suggestion.wBitsPerSample, item.bits);
        EXPECT_EQ(suggestion.nChannels, item.channels);
        EXPECT_EQ(suggestion.nSamplesPerSec, item.rate);
        EXPECT_EQ(suggestion.nBlockAlign, item.bits / 8 * item.channels);
        EXPECT_EQ(suggestion.cbSize, 0);
    }
}

TEST(ConversionStreams, TheSearchFindsADirectStageOrGoesThroughPCM) {
    const FormatRecord mix = Pcm(16, 2, 44100);
    struct Case {
        const char* name;
        FormatRecord source;
        FormatRecord dest;
        int stages; // -1: cannot convert
    };
    const Case cases[] = {
        {"same format", mix, mix, 0},
        {"PCM rate and channels", Pcm(16, 1, 22050), mix, 1},
        {"PCM width, channels, rate", Pcm(24, 6, 48000), mix, 1},
        {"codec to its own PCM", Ima(1, 11025), Pcm(16, 1, 11025), 1},
        {"codec, then rate and channels", Ima(1, 11025), mix, 2},
        {"float to the mix format", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32, 8, 384000),
         mix, 2},
        {"A-law to 8 bits", MakeRecord(WAVE_FORMAT_ALAW, 1, 8000, 8, 1, 8000), Pcm(8, 1, 8000), 2},
        {"extensible 24 bits", ExtensibleRecord(WAVE_FORMAT_PCM, 2, 96000, 24, 3), mix, 2},
        {"GSM to another rate", Gsm(8000), Pcm(16, 1, 22050), 2},
        {"PCM to a codec (no encoders)", Pcm(16, 1, 11025), Ima(1, 11025), -1},
        {"unknown tag", MakeRecord(0x1234, 1, 8000, 4, 4, 4000), mix, -1},
        {"PCM of 12 bits", Pcm(16, 1, 8000), Pcm(12, 1, 8000), -1},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(CanConvert(item.source.get(), item.dest.get(), true), item.stages >= 0);
        PMMConversionStream stream =
            OpenConversion(item.source.get(), item.dest.get(), nullptr, false, 8192);
        EXPECT_EQ(stream != nullptr, item.stages >= 0);
        if (stream != nullptr) {
            EXPECT_EQ(static_cast<int>(stream->Stages.size()), item.stages);
            // Whole source blocks, at least one.
            const int align = item.source.get()->nBlockAlign;
            EXPECT_EQ(stream->SourceBlockSize % align, 0);
            EXPECT_GE(stream->SourceBlockSize, align);
            EXPECT_TRUE(stream->OwnsSource);
        }
        CloseConversion(stream);
    }
    EXPECT_FALSE(CanConvert(nullptr, mix.get(), true));
    EXPECT_EQ(OpenConversion(mix.get(), nullptr, nullptr, true, 8192), nullptr);
}

TEST(ConversionStreams, CarryOverFlushAndResetGiveTheSameStreamAsOneGo) {
    // IMA ADPCM blocks of 256 bytes and a partial last block; pieces that cut the blocks.
    const Encoded ima = EncodeImaWav(ToInt16(SineFrames(30000, 1, 11025, 441, 0.5)), 1, 11025, 256);
    std::vector<uint8_t> data = ima.data;
    data.resize(data.size() - 156);
    const FormatRecord dest = Pcm(16, 1, 11025);
    const std::vector<uint8_t> reference = ConvertAll(ima.format, dest, data);
    ASSERT_GT(reference.size(), 50000u);
    EXPECT_EQ(ConvertAll(ima.format, dest, data, {1000, 1, 4097, 255, 8192, 77}), reference);

    // Through two stages, to the mix format.
    const FormatRecord mix = Pcm(16, 2, 44100);
    const std::vector<uint8_t> mixed = ConvertAll(ima.format, mix, data);
    EXPECT_EQ(ConvertAll(ima.format, mix, data, {333, 8192, 5}), mixed);

    PMMConversionStream stream = OpenConversion(ima.format.get(), dest.get(), nullptr, true, 8192);
    ASSERT_NE(stream, nullptr);
    // A part block stays behind for the next call.
    std::memcpy(stream->SourceBlock, data.data(), 1000);
    EXPECT_EQ(Convert(stream, 1000), 3 * 505 * 2);
    EXPECT_TRUE(stream->OutputPending);
    // A reset forgets it and what was produced; the stream then starts again as new.
    ResetConversion(stream);
    EXPECT_EQ(stream->Taken, stream->Produced);
    EXPECT_FALSE(stream->OutputPending);
    EXPECT_EQ(ConvertInPieces(stream, data, {4000}), reference);
    // After the end, a stream goes on with new input as a fresh one would.
    ResetConversion(stream);
    EXPECT_EQ(ConvertInPieces(stream, data, {8192}), reference);
    CloseConversion(stream);

    // A caller's buffer serves as the source block and stays the caller's.
    std::vector<char> buffer(8192);
    stream = OpenConversion(ima.format.get(), dest.get(), buffer.data(), true, 8000);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->SourceBlock, buffer.data());
    EXPECT_EQ(stream->SourceBlockSize, 7936);
    EXPECT_FALSE(stream->OwnsSource);
    EXPECT_EQ(ConvertInPieces(stream, data, {7936}), reference);
    CloseConversion(stream);
}

TEST(ConversionStreams, PCMOfAnyShapeBecomesTheMixFormat) {
    const FormatRecord mix = Pcm(16, 2, 44100);
    struct Case {
        uint16_t bits, channels;
        uint32_t rate;
        bool levelKept; // a down-mix of many channels changes the level
    };
    const Case cases[] = {
        {8, 1, 8000, true},   {16, 2, 11025, true},   {16, 1, 22050, true},  {24, 2, 48000, true},
        {32, 1, 96000, true}, {16, 6, 192000, false}, {24, 8, 22050, false}, {32, 2, 44100, true},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(testing::Message()
                     << item.bits << " bits, " << item.channels << " ch, " << item.rate << " Hz");
        const int frames = static_cast<int>(item.rate) / 4;
        const FormatRecord source = Pcm(item.bits, item.channels, item.rate);
        const std::vector<uint8_t> data =
            PcmTone(frames, item.channels, item.bits, item.rate, 1000, 0.5);
        const std::vector<uint8_t> out = ConvertAll(source, mix, data, {4099, 8192, 1});
        // The same whether converted in one go or in awkward pieces.
        EXPECT_EQ(ConvertAll(source, mix, data), out);
        const std::vector<int16_t> samples = Samples16(out);
        EXPECT_NEAR(static_cast<double>(samples.size() / 2), frames * 44100.0 / item.rate, 64);
        for (int c = 0; c < 2; ++c) {
            const std::vector<double> side = Channel(samples, 2, c);
            EXPECT_NEAR(ToneFrequency(side, 44100), 1000, 2);
            if (item.levelKept)
                EXPECT_NEAR(Rms(side), 0.5 / std::sqrt(2.0), 0.01)
                    << KeepForListening("mix", mix.header(), out);
            else
                EXPECT_GT(Rms(side), 0.1);
        }
    }
}

TEST(ConversionStreams, SameRateConversionsAreExact) {
    // 8 to 16 bits is (b - 128) * 256, mono to stereo copies the channel to both sides, 16 to
    // 8 bits keeps the top byte.
    const std::vector<uint8_t> ramp = RampBytes(5001);
    const std::vector<uint8_t> wide = ConvertAll(Pcm(8, 1, 44100), Pcm(16, 2, 44100), ramp);
    ASSERT_EQ(wide.size(), ramp.size() * 4);
    const std::vector<int16_t> samples = Samples16(wide);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ASSERT_EQ(samples[2 * i], (ramp[i] - 128) * 256) << i;
        ASSERT_EQ(samples[2 * i + 1], samples[2 * i]) << i;
    }
    EXPECT_EQ(ConvertAll(Pcm(16, 2, 44100), Pcm(8, 1, 44100), wide), ramp);
    // 24-bit samples keep their top 16 bits.
    const std::vector<uint8_t> deep = ConvertAll(Pcm(16, 2, 44100), Pcm(24, 2, 44100), wide);
    ASSERT_EQ(deep.size(), wide.size() / 2 * 3);
    EXPECT_EQ(ConvertAll(Pcm(24, 2, 44100), Pcm(16, 2, 44100), deep), wide);
}

// ---- the file chain -------------------------------------------------------------------------

enum class Check {
    SameBytes,  // the file's data, untouched
    Exact,      // the given 16-bit samples
    WithinOne,  // the given 16-bit samples, one step either way
    CloseToTone // the tone it was made from, small error
};

struct ChainCase {
    std::string name;
    FormatRecord format;
    std::vector<uint8_t> data;
    Check check;
    std::vector<int16_t> expected;
    uint16_t outBits;
};

std::vector<ChainCase> ChainCases() {
    std::vector<ChainCase> cases;
    auto add = [&](std::string name, FormatRecord format, std::vector<uint8_t> data, Check check,
                   std::vector<int16_t> expected = {}, uint16_t outBits = 16) {
        cases.push_back({std::move(name), std::move(format), std::move(data), check,
                         std::move(expected), outBits});
    };
    for (const auto& [bits, channels, rate] :
         {std::tuple{8, 1, 11025}, {16, 2, 22050}, {24, 1, 44100}, {32, 2, 48000}}) {
        add("PCM " + std::to_string(bits),
            Pcm(static_cast<uint16_t>(bits), static_cast<uint16_t>(channels),
                static_cast<uint32_t>(rate)),
            PcmTone(3000, channels, bits, rate, 440, 0.5), Check::SameBytes, {},
            static_cast<uint16_t>(bits));
    }
    const std::vector<double> stereo = SineFrames(6000, 2, 22050, 440, 0.7);
    const std::vector<double> mono = SineFrames(6000, 1, 11025, 440, 0.7);
    add("float 32 stereo 22050", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 22050, 32, 8, 176400),
        Bytes(std::vector<float>(stereo.begin(), stereo.end())), Check::WithinOne, ToInt16(stereo));
    add("float 64 mono 11025", MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 11025, 64, 8, 88200),
        Bytes(mono), Check::WithinOne, ToInt16(mono));
    add("extensible float stereo 22050", ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 22050, 32, 3),
        Bytes(std::vector<float>(stereo.begin(), stereo.end())), Check::WithinOne, ToInt16(stereo));
    add("extensible 24-bit stereo 22050", ExtensibleRecord(WAVE_FORMAT_PCM, 2, 22050, 24, 3),
        PcmTone(6000, 2, 24, 22050, 440, 0.7), Check::WithinOne,
        Samples16(PcmTone(6000, 2, 16, 22050, 440, 0.7)));
    const std::vector<uint8_t> six = PcmTone(2000, 6, 16, 48000, 440, 0.5);
    add("extensible 16-bit 5.1 48000", ExtensibleRecord(WAVE_FORMAT_PCM, 6, 48000, 16, 0x3F), six,
        Check::Exact, Samples16(six));

    const std::vector<int16_t> voice = ToInt16(mono);
    std::vector<uint8_t> alaw, mulaw;
    std::vector<int16_t> alawDecoded, mulawDecoded;
    for (int16_t sample : voice) {
        alaw.push_back(ALawEncode(sample));
        alawDecoded.push_back(static_cast<int16_t>(ALawDecode(alaw.back())));
        mulaw.push_back(MuLawEncode(sample));
        mulawDecoded.push_back(static_cast<int16_t>(MuLawDecode(mulaw.back())));
    }
    add("A-law mono 11025", MakeRecord(WAVE_FORMAT_ALAW, 1, 11025, 8, 1, 11025), alaw, Check::Exact,
        alawDecoded);
    add("mu-law stereo 11025", MakeRecord(WAVE_FORMAT_MULAW, 2, 11025, 8, 2, 22050), mulaw,
        Check::Exact, mulawDecoded);

    const std::vector<int16_t> stereo16 = ToInt16(stereo);
    const Encoded imaMono = EncodeImaWav(voice, 1, 11025, 512);
    add("IMA ADPCM mono 11025", imaMono.format, imaMono.data, Check::CloseToTone, voice);
    const Encoded imaStereo = EncodeImaWav(stereo16, 2, 22050, 1024);
    add("IMA ADPCM stereo 22050", imaStereo.format, imaStereo.data, Check::CloseToTone, stereo16);
    // Eight coefficient pairs are not the standard table: the service decodes these.
    const Encoded msEight = EncodeMsAdpcm(stereo16, 2, 22050, 512, {128, 0});
    add("MS ADPCM, eight coefficients", msEight.format, msEight.data, Check::CloseToTone, stereo16);
    const Encoded msStandard = EncodeMsAdpcm(stereo16, 2, 22050, 1024);
    add("MS ADPCM, standard", msStandard.format, msStandard.data, Check::Exact, msStandard.decoded);
    return cases;
}

TEST(ConverterChain, EveryFormatPlaysAsPCM) {
    TempDir dir;
    for (const ChainCase& item : ChainCases()) {
        SCOPED_TRACE(item.name);
        FileChain chain;
        chain.Load(dir.Write("f.wav", WaveImage(item.format, item.data)));
        chain.OpenAndStart(4096);
        const WAVEFORMATEX* out = chain.sink->GetPWaveFormat();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(out->wBitsPerSample, item.outBits);
        EXPECT_EQ(out->nChannels, item.format.get()->nChannels);
        EXPECT_EQ(out->nSamplesPerSec, item.format.get()->nSamplesPerSec);
        const PullResult pull = chain.PullAll(chain.sink->GetBufferSize());
        EXPECT_FALSE(pull.lastMore);
        // Evaluated only when a check fails.
        auto keep = [&] { return KeepForListening("chain", *out, pull.bytes); };
        if (item.check == Check::SameBytes) {
            EXPECT_EQ(chain.pcm->Stream(), nullptr);
            EXPECT_TRUE(pull.bytes == item.data) << keep();
            continue;
        }
        const std::vector<int16_t> played = Samples16(pull.bytes);
        ASSERT_GE(played.size(), item.expected.size()) << keep();
        if (item.check == Check::Exact) {
            EXPECT_TRUE(std::equal(item.expected.begin(), item.expected.end(), played.begin()))
                << keep();
        } else if (item.check == Check::WithinOne) {
            EXPECT_EQ(played.size(), item.expected.size());
            for (std::size_t i = 0; i < item.expected.size(); ++i)
                ASSERT_NEAR(played[i], item.expected[i], 1) << i << ": " << keep();
        } else {
            const int channels = out->nChannels;
            for (int c = 0; c < channels; ++c)
                EXPECT_LT(RelativeError(Channel(played, channels, c),
                                        Channel(item.expected, channels, c)),
                          0.1)
                    << keep();
        }
    }
}

TEST(ConverterChain, GSMPlaysItsToneAtItsLevel) {
#ifdef TESSARO_FIXTURES_DIR
    const std::string path = std::string(TESSARO_FIXTURES_DIR) + "/codec/gsm610-11025-440hz.wav";
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    FileChain chain;
    chain.Load(path);
    EXPECT_FALSE(chain.adpcm->NeedsConversion());
    chain.OpenAndStart(4096);
    const PullResult pull = chain.PullAll(4096);
    const std::vector<int16_t> played = Samples16(pull.bytes);
    // Half a second of 320-sample blocks; the codec's start-up and edges aside, a 440 Hz tone at
    // half full scale.
    EXPECT_EQ(played.size(), 18u * 320);
    const std::vector<double> all = Channel(played, 1, 0);
    ASSERT_GE(all.size(), 5000u);
    const std::vector<double> middle(all.begin() + 1000, all.begin() + 5000);
    EXPECT_NEAR(ToneFrequency(middle, 11025), 440, 3);
    EXPECT_NEAR(20 * std::log10(Rms(middle) / (0.5 / std::sqrt(2.0))), 0, 2)
        << KeepForListening("gsm", *chain.sink->GetPWaveFormat(), pull.bytes);
#else
    GTEST_SKIP() << "TESSARO_FIXTURES_DIR is not defined for this test program";
#endif
}

TEST(ConverterChain, PCMPassesBothConvertersInTheCallersBuffer) {
    TempDir dir;
    const std::vector<uint8_t> data = RampBytes(4 * 3000);
    FileChain chain;
    chain.Load(dir.Write("pcm.wav", MakeWave(PcmFormat(2, 44100, 16), data)));
    chain.OpenAndStart(4096);
    std::vector<char> buffer(4096);
    TMMChainHdr header{};
    header.lpData = buffer.data();
    header.dwBufferLength = 4096;
    int seen = 0;
    auto same = [&](TObject*, PMMChainHdr hdr, bool&) {
        EXPECT_EQ(hdr, &header);
        EXPECT_EQ(hdr->lpData, buffer.data());
        ++seen;
    };
    chain.adpcm->OnBufferLoad = same;
    chain.pcm->OnBufferLoad = same;
    bool more = false;
    chain.sink->BufferLoad(&header, more);
    EXPECT_EQ(seen, 2);
    ASSERT_EQ(header.dwBytesRecorded, 4096u);
    EXPECT_EQ(std::memcmp(buffer.data(), data.data(), 4096), 0);
}

TEST(ConverterChain, AFormatNothingDecodesFailsAtOpen) {
    TempDir dir;
    std::vector<int> altered(MsCoefficients.begin(), MsCoefficients.end());
    altered[2] = 500;
    const FormatRecord cases[] = {
        MakeRecord(0x1234, 1, 8000, 4, 4, 4000),
        MakeRecord(WAVE_FORMAT_IEEE_FLOAT, 1, 8000, 16, 2, 16000),
        // Microsoft ADPCM with other coefficients: the service knows only the standard ones.
        MakeRecord(WAVE_FORMAT_ADPCM, 1, 8000, 4, 256, 4096, MsExtra(500, altered)),
    };
    for (const FormatRecord& format : cases) {
        SCOPED_TRACE(format.get()->wFormatTag);
        FileChain chain;
        chain.Load(dir.Write("bad.wav", WaveImage(format, RampBytes(4096))));
        EXPECT_FALSE(chain.adpcm->CanTakeInput());
        EXPECT_TRUE(chain.pcm->NeedsConversion());
        EXPECT_FALSE(chain.pcm->CanConvertFormat());
        try {
            chain.OpenAndStart(4096);
            FAIL() << "opened";
        } catch (const EMMConverterError& error) {
            EXPECT_STREQ(error.what(), "Unable to convert to destination format");
        }
    }
}

TEST(ConverterChain, DataThatNeverDecodesGivesUpAfterFiveSourceBlocks) {
    // MPEG layer 3 in a wave file whose data holds no frame at all.
    std::vector<uint8_t> extra;
    for (int value : {1, 2, 0, 418, 1, 1393})
        Put16(extra, value);
    extra.resize(12);
    const FormatRecord mp3 = MakeRecord(WAVE_FORMAT_MPEGLAYER3, 2, 44100, 0, 1, 16000, extra);
    TempDir dir;
    {
        // Shorter than five source blocks: it ends, with nothing played.
        FileChain chain;
        chain.Load(dir.Write("short.wav", WaveImage(mp3, std::vector<uint8_t>(3 * 8192))));
        chain.OpenAndStart(4096);
        const PullResult pull = chain.PullAll(4096);
        EXPECT_TRUE(pull.bytes.empty());
        EXPECT_FALSE(pull.lastMore);
    }
    FileChain chain;
    chain.Load(dir.Write("long.wav", WaveImage(mp3, std::vector<uint8_t>(6 * 8192))));
    chain.OpenAndStart(4096);
    try {
        chain.PullAll(4096);
        FAIL() << "no error";
    } catch (const EMMConverterError& error) {
        EXPECT_STREQ(error.what(), "Unable to convert to destination format");
    }
    EXPECT_FALSE(chain.pcm->CanConvertFormat());
}

// ---- the PCM converter's properties ---------------------------------------------------------

TEST(PCMConverter, SampleRateIsClampedAndMultiChannelRefused) {
    TMMComponentOwner owner;
    auto* converter = new TMMPCMConverter(&owner);
    EXPECT_EQ(converter->SampleRate(), 11025);
    for (const auto& [asked, kept] : {std::pair{100, 8000},
                                      {7999, 8000},
                                      {22050, 22050},
                                      {88200, 88200},
                                      {88201, 88200},
                                      {192000, 88200}}) {
        converter->SetSampleRate(asked);
        EXPECT_EQ(converter->SampleRate(), kept) << asked;
    }
    converter->SetMode(mStereo);
    converter->SetMode(mMultiChannel);
    EXPECT_EQ(converter->Mode(), mStereo);
}

TEST(PCMConverter, TheRequestedFormatMustBeValidPCM) {
    TMMComponentOwner owner;
    auto* converter = new TMMPCMConverter(&owner);
    for (const FormatRecord& bad :
         {Pcm(24, 2, 44100), Pcm(16, 3, 44100), Pcm(16, 2, 192000), Ima(1, 11025)}) {
        try {
            converter->SetPWaveFormat(bad.get());
            FAIL() << "accepted";
        } catch (const EMMConverterError& error) {
            EXPECT_EQ(error.what(), LoadResStr(SInvalidWaveFormat));
        }
        EXPECT_EQ(converter->RequestedFormat(), nullptr);
    }
    const FormatRecord good = Pcm(16, 2, 44100);
    converter->SetPWaveFormat(good.get());
    ASSERT_NE(converter->RequestedFormat(), nullptr);
    EXPECT_EQ(converter->RequestedFormat()->nChannels, 2);
}

TEST(PCMConverter, WithoutAutoConvertTheRequiredFieldsComeFromTheProperties) {
    TempDir dir;
    const std::vector<int16_t> voice = ToInt16(SineFrames(11025, 1, 11025, 441, 0.5));
    const Encoded ima = EncodeImaWav(voice, 1, 11025, 256);
    const std::string path = dir.Write("ima.wav", WaveImage(ima.format, ima.data));
    struct Case {
        TMMRequiredParams required;
        uint16_t bits, channels;
        uint32_t rate;
        std::size_t stages;
    };
    const Case cases[] = {
        {rpBits | rpChannels | rpSampleRate, 16, 2, 44100, 2},
        {rpBits, 16, 1, 11025, 1},
        {rpChannels, 16, 2, 11025, 2},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.required);
        FileChain chain;
        chain.pcm->SetAutoConvert(false);
        chain.pcm->SetBitLength(b16Bit);
        chain.pcm->SetMode(mStereo);
        chain.pcm->SetSampleRate(44100);
        chain.pcm->SetRequired(item.required);
        chain.Load(path);
        const WAVEFORMATEX* out = chain.sink->GetPWaveFormat();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->wBitsPerSample, item.bits);
        EXPECT_EQ(out->nChannels, item.channels);
        EXPECT_EQ(out->nSamplesPerSec, item.rate);
        chain.OpenAndStart(4096);
        ASSERT_NE(chain.pcm->Stream(), nullptr);
        EXPECT_EQ(chain.pcm->Stream()->Stages.size(), item.stages);
        const std::vector<int16_t> played = Samples16(chain.PullAll(4096).bytes);
        EXPECT_NEAR(static_cast<double>(played.size()) / item.channels, 11025.0 * item.rate / 11025,
                    600);
        const std::vector<double> side = Channel(played, item.channels, item.channels - 1);
        EXPECT_NEAR(ToneFrequency(side, item.rate), 441, 2);
        EXPECT_NEAR(Rms(side), 0.5 / std::sqrt(2.0), 0.02);
    }
}

} // namespace
