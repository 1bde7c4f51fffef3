// Every format the program plays, loaded into the audio file source and pulled to its end: the
// tone it was made from comes back at its frequency and level, in every channel.
#include "sources/MMADCvt.h"
#include "sources/MMAudio.h"
#include "support/CodecFixture.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

using Puller = TMMSectionDriver;

struct FormatCase {
    const char* name;
    // Makes the file from the tone (interleaved samples of `channels` channels at `rate`);
    // empty for a committed fixture.
    std::function<std::vector<uint8_t>(const std::vector<double>&, int channels, uint32_t rate)>
        make;
    int channels;
    uint32_t rate;
    double tolerance; // of the level, relative
    std::string fixture = {};
    double frequency = 1000;
    double amplitude = 0.5;
};

std::vector<uint8_t> WaveOf(const FormatRecord& record, const std::vector<uint8_t>& data) {
    return RiffBuilder().Format(record.header(), record.extra()).Chunk("data", data).Build();
}

std::vector<uint8_t> Pcm(const std::vector<double>& tone, int channels, uint32_t rate, int bits) {
    std::vector<uint8_t> data;
    for (double v : tone) {
        const int64_t full = std::llround(v * ((1LL << (bits - 1)) - 1));
        if (bits == 8) {
            data.push_back(static_cast<uint8_t>(full + 128));
            continue;
        }
        for (int b = 0; b < bits / 8; ++b)
            data.push_back(static_cast<uint8_t>(full >> (8 * b)));
    }
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return WaveOf(MakeRecord(WAVE_FORMAT_PCM, static_cast<uint16_t>(channels), rate,
                             static_cast<uint16_t>(bits), align, rate * align),
                  data);
}

template <typename Float> std::vector<uint8_t> FloatData(const std::vector<double>& tone) {
    std::vector<Float> values(tone.begin(), tone.end());
    return Bytes(values);
}

std::vector<FormatCase> Cases() {
    using Tone = std::vector<double>;
    std::vector<FormatCase> cases;
    for (int bits : {8, 16, 24, 32})
        cases.push_back({bits == 8    ? "PCM 8-bit"
                         : bits == 16 ? "PCM 16-bit"
                         : bits == 24 ? "PCM 24-bit"
                                      : "PCM 32-bit",
                         [bits](const Tone& t, int c, uint32_t r) { return Pcm(t, c, r, bits); },
                         bits == 8 ? 1 : 2, bits == 8 ? 11025u : 22050u, 0.01});
    cases.push_back({"IEEE float 32-bit",
                     [](const Tone& t, int c, uint32_t r) {
                         const auto align = static_cast<uint16_t>(c * 4);
                         return WaveOf(MakeRecord(WAVE_FORMAT_IEEE_FLOAT, static_cast<uint16_t>(c),
                                                  r, 32, align, r * align),
                                       FloatData<float>(t));
                     },
                     2, 44100, 0.01});
    cases.push_back({"IEEE float 64-bit",
                     [](const Tone& t, int c, uint32_t r) {
                         const auto align = static_cast<uint16_t>(c * 8);
                         return WaveOf(MakeRecord(WAVE_FORMAT_IEEE_FLOAT, static_cast<uint16_t>(c),
                                                  r, 64, align, r * align),
                                       FloatData<double>(t));
                     },
                     1, 22050, 0.01});
    cases.push_back({"extensible float",
                     [](const Tone& t, int c, uint32_t r) {
                         return WaveOf(ExtensibleRecord(WAVE_FORMAT_IEEE_FLOAT,
                                                        static_cast<uint16_t>(c), r, 32, 3),
                                       FloatData<float>(t));
                     },
                     2, 48000, 0.01});
    cases.push_back({"A-law",
                     [](const Tone& t, int c, uint32_t r) {
                         std::vector<uint8_t> data;
                         for (int16_t s : ToInt16(t))
                             data.push_back(ALawEncode(s));
                         return WaveOf(MakeRecord(WAVE_FORMAT_ALAW, static_cast<uint16_t>(c), r, 8,
                                                  static_cast<uint16_t>(c), r * c),
                                       data);
                     },
                     1, 8000, 0.02});
    cases.push_back({"mu-law",
                     [](const Tone& t, int c, uint32_t r) {
                         std::vector<uint8_t> data;
                         for (int16_t s : ToInt16(t))
                             data.push_back(MuLawEncode(s));
                         return WaveOf(MakeRecord(WAVE_FORMAT_MULAW, static_cast<uint16_t>(c), r, 8,
                                                  static_cast<uint16_t>(c), r * c),
                                       data);
                     },
                     2, 11025, 0.02});
    cases.push_back({"IMA ADPCM",
                     [](const Tone& t, int c, uint32_t r) {
                         const Encoded e = EncodeImaWav(ToInt16(t), c, r, 256 * c);
                         return WaveOf(e.format, e.data);
                     },
                     2, 22050, 0.05});
    cases.push_back({"Microsoft ADPCM",
                     [](const Tone& t, int c, uint32_t r) {
                         const Encoded e = EncodeMsAdpcm(ToInt16(t), c, r, 256 * c);
                         return WaveOf(e.format, e.data);
                     },
                     1, 11025, 0.05});
    cases.push_back({"Antex ADPCME",
                     [](const Tone& t, int c, uint32_t r) {
                         const Encoded e = EncodeAntex(WAVE_FORMAT_ANTEX_ADPCME, ToInt16(t), c, r);
                         return WaveOf(e.format, e.data);
                     },
                     2, 22050, 0.05});
    cases.push_back({"GSM 6.10", nullptr, 1, 11025, 0.25, "codec/gsm610-11025-440hz.wav", 440});
    cases.push_back({"MPEG layer 2", nullptr, 2, 48000, 0.1, "mpeg/l2-48k-stereo.mp2"});
    cases.push_back({"MPEG layer 3", nullptr, 1, 44100, 0.1, "mpeg/l3-44k-mono.mp3"});
    cases.push_back({"MPEG-2 layer 3", nullptr, 1, 22050, 0.1, "mpeg/l3-22k-mono.mp3"});
    return cases;
}

TEST(AudioFileFormats, EveryFormatPlaysItsToneThroughTheSource) {
    TempDir dir;
    const std::vector<FormatCase> cases = Cases();
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const FormatCase& item = cases[index];
        SCOPED_TRACE(item.name);
        std::string path;
        if (item.make) {
            const std::vector<double> tone = SineFrames(static_cast<int>(item.rate), item.channels,
                                                        item.rate, item.frequency, item.amplitude);
            path = dir.Write("format" + std::to_string(index) + ".wav",
                             item.make(tone, item.channels, item.rate));
        } else {
            path = std::string(TESSARO_FIXTURES_DIR) + "/" + item.fixture;
        }
        TMMComponentOwner owner;
        auto* source = new TMMAudioFile(&owner);
        auto* puller = new Puller(&owner);
        source->SetOutput(puller);
        source->SetFileName(path);
        ASSERT_FALSE(source->IsEmpty());
        const WAVEFORMATEX* format = source->GetPWaveFormat();
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
        puller->SetBufferSize(4096);
        puller->Open();
        puller->Start();
        std::vector<uint8_t> bytes;
        std::vector<char> block(static_cast<std::size_t>(source->GetBufferSize()));
        for (int pulls = 0; pulls < 100000; ++pulls) {
            TMMChainHdr header{};
            header.lpData = block.data();
            header.dwBufferLength = static_cast<uint32_t>(block.size());
            bool more = false;
            source->BufferLoad(&header, more);
            bytes.insert(bytes.end(), block.begin(), block.begin() + header.dwBytesRecorded);
            if (!more)
                break;
        }
        const int channels = format->nChannels;
        const double rate = format->nSamplesPerSec;
        // PCM passes the source at its own width; read here as 16-bit samples.
        std::vector<int16_t> samples;
        const int width = format->nBlockAlign / format->nChannels;
        for (std::size_t at = 0; at + width <= bytes.size();
             at += static_cast<std::size_t>(width)) {
            if (width == 1) {
                samples.push_back(static_cast<int16_t>((bytes[at] - 128) * 256));
                continue;
            }
            // The top two bytes of a little-endian sample are its 16-bit value.
            samples.push_back(
                static_cast<int16_t>(bytes[at + width - 2] | (bytes[at + width - 1] << 8)));
        }
        const double seconds = static_cast<double>(samples.size()) / channels / rate;
        EXPECT_GT(seconds, item.make ? 0.9 : 0.4); // the made files last a second
        for (int c = 0; c < channels; ++c) {
            // The fixtures' right channel runs at 2.5 times the left one, at half its level.
            const bool secondTone =
                !item.fixture.empty() && item.fixture.rfind("mpeg/", 0) == 0 && c == 1;
            const double wantFrequency =
                secondTone ? 2500 : (item.make ? item.frequency * (1 + c / 2.0) : item.frequency);
            const double wantLevel = (secondTone ? 0.25 : item.amplitude) / std::sqrt(2.0);
            const std::vector<double> channel = Channel(samples, channels, c);
            // The middle of the file, away from the envelope's edges and any codec start-up.
            const std::vector<double> middle(channel.begin() +
                                                 static_cast<long>(channel.size() / 4),
                                             channel.end() - static_cast<long>(channel.size() / 4));
            EXPECT_NEAR(ToneFrequency(middle, rate), wantFrequency, wantFrequency * 0.01) << c;
            EXPECT_NEAR(Rms(middle), wantLevel, wantLevel * item.tolerance) << c;
        }
    }
}

} // namespace
