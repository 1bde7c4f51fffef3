#include "chain/MMMsgs.h"
#include "processing/MMVolume.h"
#include "processing/MMWMixer.h"
#include "sources/MMAudio.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

constexpr uint32_t Block = 4096; // the output device's buffer size in the program

// Drives the state of the section upstream of it, as the output device does.
class Puller : public TMMSectionDriver {
public:
    using TMMSectionDriver::TMMSectionDriver;

    void Play() {
        SetBufferSize(static_cast<int32_t>(Block));
        Open();
        Start();
    }
    // One pull of `length` bytes into a buffer that starts out as 0xEE bytes.
    std::vector<uint8_t> Pull(uint32_t length, bool& more) {
        std::vector<uint8_t> data(length, 0xEE);
        TMMChainHdr header{};
        header.lpData = reinterpret_cast<char*>(data.data());
        header.dwBufferLength = length;
        more = false;
        GetInput()->BufferLoad(&header, more);
        data.resize(header.dwBytesRecorded);
        return data;
    }
};

// A source link with a known stream: its bytes handed out at most `chunk` bytes per pull. It
// ends with its last data block, or with an empty pull after it, or never (it starts over).
class TestSource : public TMMDSPComponent {
public:
    enum Ending { LastBlockEnds, EmptyPullEnds, Endless };

    TestSource(TMMComponentOwner* owner, std::vector<uint8_t> data, Ending ending = LastBlockEnds,
               const WAVEFORMATEX& format = PcmFormat(2, 44100, 16))
        : TMMDSPComponent(owner), data_(std::move(data)), ending_(ending) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(&format);
    }
    void Open() override {
        ++opens;
        TMMDSPComponent::Open();
    }
    void Close() override {
        ++closes;
        TMMDSPComponent::Close();
    }
    void Start() override {
        TMMDSPComponent::Start();
        at_ = 0;
    }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        ++pulls;
        if (!Started())
            return;
        std::size_t count = std::min<std::size_t>(header->dwBufferLength, chunk);
        if (ending_ != Endless)
            count = std::min(count, data_.size() - at_);
        for (std::size_t i = 0; i < count; ++i)
            header->lpData[i] = static_cast<char>(data_[(at_ + i) % data_.size()]);
        at_ += count;
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = ending_ == Endless || (ending_ == LastBlockEnds ? at_ < data_.size() : count > 0);
    }

    std::size_t chunk = SIZE_MAX;
    std::atomic<int> pulls{0};
    int opens = 0, closes = 0;

private:
    std::vector<uint8_t> data_;
    Ending ending_;
    std::size_t at_ = 0;
};

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    if (!bytes.empty())
        std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// Frame i is (i + 1, -(i + 1)): a dropped, repeated or shifted frame shows.
std::vector<int16_t> Ramp(int frames) {
    std::vector<int16_t> samples;
    for (int i = 0; i < frames; ++i) {
        samples.push_back(static_cast<int16_t>(i % 30000 + 1));
        samples.push_back(static_cast<int16_t>(-(i % 30000 + 1)));
    }
    return samples;
}

std::vector<uint8_t> Constant(int16_t left, int16_t right) {
    return Bytes({left, right});
}

struct MixerTest : ::testing::Test {
    TempDir dir;
    std::vector<int> opened, closed; // port indexes, in the order of the events; outlive owner
    TMMComponentOwner owner;
    TMMWaveMixer* mixer = new TMMWaveMixer(&owner);
    Puller* puller = new Puller(&owner);

    void SetUp() override {
        puller->SetInput(mixer);
        mixer->OnOpenPort = [this](TObject*, int index) { opened.push_back(index); };
        mixer->OnClosePort = [this](TObject*, int index) { closed.push_back(index); };
    }

    TMMAudioFile* FileSource(const std::string& path = "") {
        auto* file = new TMMAudioFile(&owner);
        if (!path.empty())
            file->SetFileName(path);
        return file;
    }
    // The next `count` blocks of `Block` bytes, each checked to be whole with more data to come.
    std::vector<int16_t> PullBlocks(int count) {
        std::vector<int16_t> all;
        for (int i = 0; i < count; ++i) {
            bool more = false;
            const std::vector<uint8_t> block = puller->Pull(Block, more);
            EXPECT_EQ(block.size(), Block) << "block " << i;
            EXPECT_TRUE(more) << "block " << i;
            const std::vector<int16_t> samples = Samples(block);
            all.insert(all.end(), samples.begin(), samples.end());
        }
        return all;
    }
};

bool AllZero(const std::vector<int16_t>& samples, std::size_t from = 0) {
    for (std::size_t i = from; i < samples.size(); ++i)
        if (samples[i] != 0)
            return false;
    return true;
}

TEST_F(MixerTest, SilentPortsGiveWholeBlocksOfZerosForever) {
    struct Case {
        const char* name;
        int emptyFiles;     // sources without a file
        bool disabledFile;  // plus a disabled source holding a file: silent but never ending
        bool foreignFormat; // plus a source in a format nothing converts
    };
    const Case cases[] = {
        {"no inputs", 0, false, false},
        {"four sources without a file", 4, false, false},
        {"a disabled source", 0, true, false},
        {"a format nothing converts", 0, false, true},
    };
    const std::string path =
        dir.Write("d.wav", MakeWave(PcmFormat(2, 44100, 16), Bytes(Ramp(20000))));
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        for (int i = 0; i < MixerPortCount; ++i)
            if (TMMDSPComponent* input = mixer->PortInput(i))
                DestroyComponent(input);
        opened.clear();
        closed.clear();
        for (int i = 0; i < item.emptyFiles; ++i)
            mixer->SetInput(i, FileSource());
        TMMAudioFile* disabled = nullptr;
        if (item.disabledFile) {
            disabled = FileSource(path);
            disabled->SetEnabled(false);
            mixer->SetInput(1, disabled);
        }
        TestSource* foreign = nullptr;
        if (item.foreignFormat) {
            WAVEFORMATEX format = PcmFormat(2, 44100, 16);
            format.wFormatTag = 0x7777;
            foreign = new TestSource(&owner, Constant(1000, 1000), TestSource::Endless, format);
            mixer->SetInput(3, foreign);
        }
        puller->Play();
        EXPECT_TRUE(AllZero(PullBlocks(8)));
        EXPECT_EQ(mixer->Position(), 8 * 1024);
        for (int i = 0; i < item.emptyFiles; ++i) {
            EXPECT_TRUE(mixer->PortState(i).Done) << i;
            EXPECT_FALSE(mixer->PortInput(i)->Opened()) << i;
        }
        if (disabled != nullptr) {
            EXPECT_FALSE(mixer->PortState(1).Done);
            EXPECT_TRUE(disabled->Opened());
            EXPECT_EQ(opened, std::vector<int>{1}); // it delivers data, silent data
        } else {
            EXPECT_TRUE(opened.empty());
        }
        if (foreign != nullptr) {
            EXPECT_TRUE(mixer->PortState(3).Converting);
            EXPECT_TRUE(mixer->PortState(3).Done);
            EXPECT_EQ(foreign->pulls.load(), 0);
        }
        EXPECT_TRUE(closed.empty());
        puller->Close();
    }
}

TEST_F(MixerTest, ASourceEndingMidBlockIsUsedToItsLastFrameThenLeftOut) {
    struct Case {
        const char* name;
        TestSource::Ending ending;
        std::size_t chunk; // bytes the source hands out per pull at most
    };
    const Case cases[] = {
        {"its last data block ends it", TestSource::LastBlockEnds, SIZE_MAX},
        {"an empty pull ends it", TestSource::EmptyPullEnds, SIZE_MAX},
        {"it hands out short blocks of 300 bytes", TestSource::LastBlockEnds, 300},
        {"it hands out blocks that split frames", TestSource::EmptyPullEnds, 1002},
    };
    const int frames = 1000;
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        auto* source = new TestSource(&owner, Bytes(Ramp(frames)), item.ending);
        source->chunk = item.chunk;
        mixer->SetInput(2, source);
        opened.clear();
        closed.clear();
        puller->Play();

        const std::vector<int16_t> first = PullBlocks(1);
        const std::vector<int16_t> ramp = Ramp(frames);
        ASSERT_EQ(first.size(), 2048u);
        EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), first.begin()));
        EXPECT_TRUE(AllZero(first, ramp.size()));
        EXPECT_EQ(opened, std::vector<int>{2});
        EXPECT_EQ(closed, std::vector<int>{2});
        const TMMMixerPort port = mixer->PortState(2);
        EXPECT_TRUE(port.Done);
        EXPECT_EQ(port.FramesRead, frames);
        EXPECT_FALSE(source->Opened());

        const int pulls = source->pulls.load();
        EXPECT_TRUE(AllZero(PullBlocks(3)));
        EXPECT_EQ(source->pulls.load(), pulls); // an ended port is not asked again
        EXPECT_EQ(closed.size(), 1u);

        // Start re-arms it: the stream plays again from its start.
        puller->Stop();
        puller->Start();
        const std::vector<int16_t> again = PullBlocks(1);
        EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), again.begin()));
        puller->Close();
        DestroyComponent(source);
    }
}

TEST_F(MixerTest, EveryRequestGetsItsWholeFramesAndTheStreamRunsOnAcrossThem) {
    // Sizes around a frame, a request far larger than a port buffer, and the program's blocks.
    const uint32_t sizes[] = {4096, 4098, 3, 0, 4, 300001, 4096, 2, 65536, 4097};
    auto* source = new TestSource(&owner, Bytes(Ramp(30000)), TestSource::Endless);
    source->chunk = 6002;
    mixer->SetInput(0, source);
    puller->Play();
    const std::vector<int16_t> ramp = Ramp(30000);
    std::size_t at = 0; // in samples
    int64_t frames = 0;
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        bool more = false;
        const std::vector<uint8_t> block = puller->Pull(size, more);
        ASSERT_EQ(block.size(), size / 4 * 4);
        EXPECT_TRUE(more);
        const std::vector<int16_t> samples = Samples(block);
        for (std::size_t i = 0; i < samples.size(); ++i, ++at)
            ASSERT_EQ(samples[i], ramp[at % ramp.size()]) << "sample " << i;
        frames += size / 4;
        EXPECT_EQ(mixer->Position(), frames);
    }
}

TEST_F(MixerTest, PortsAreSummedAndSaturatedToSixteenBits) {
    struct Case {
        const char* name;
        int16_t left[4], right[4];
        int16_t mixedLeft, mixedRight;
        bool clipped;
    };
    const Case cases[] = {
        {"sums", {1000, 2000, 3000, 4000}, {-2000, -3000, -4000, -5000}, 10000, -14000, false},
        {"full scale",
         {32767, 32767, 32767, 32767},
         {-32768, -32768, -32768, -32768},
         32767,
         -32768,
         true},
        {"beyond full scale",
         {20000, 20000, 20000, 20000},
         {-20000, -20000, -20000, -20000},
         32767,
         -32768,
         true},
        {"cancelling", {30000, -30000, 30000, -30000}, {-32768, 32767, 1, 0}, 0, 0, false},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        for (int i = 0; i < MixerPortCount; ++i)
            mixer->SetInput(i, new TestSource(&owner, Constant(item.left[i], item.right[i]),
                                              TestSource::Endless));
        puller->Play();
        const std::vector<int16_t> mixed = PullBlocks(2);
        for (std::size_t i = 0; i < mixed.size(); i += 2) {
            ASSERT_EQ(mixed[i], item.mixedLeft) << "frame " << i / 2;
            ASSERT_EQ(mixed[i + 1], item.mixedRight) << "frame " << i / 2;
        }
        EXPECT_EQ(mixer->Clipped(), item.clipped);
        puller->Close();
        for (int i = 0; i < MixerPortCount; ++i)
            DestroyComponent(mixer->PortInput(i));
    }
}

TEST_F(MixerTest, VolumeAndPanningSetTheGainsOfTheMix) {
    struct Case {
        int32_t volume, panning;
        int32_t leftGain, rightGain;
        int16_t left, right; // the mix of one port at (1000, -1000)
    };
    const Case cases[] = {
        {16384, 0, 16384, 16384, 1000, -1000},
        {16384, 8192, 8192, 16384, 500, -1000},
        {16384, -16384, 16384, 0, 1000, 0},
        {8192, -4096, 8192, 6144, 500, -375},
        {32768, 0, 32768, 32768, 2000, -2000}, // not clamped: above unity amplifies
        {0, 0, 0, 0, 0, 0},
    };
    mixer->SetInput(0, new TestSource(&owner, Constant(1000, -1000), TestSource::Endless));
    puller->Play();
    for (const Case& item : cases) {
        SCOPED_TRACE(std::to_string(item.volume) + "/" + std::to_string(item.panning));
        mixer->SetVolume(item.volume);
        mixer->SetPanning(item.panning);
        EXPECT_EQ(mixer->LeftGain(), item.leftGain);
        EXPECT_EQ(mixer->RightGain(), item.rightGain);
        const std::vector<int16_t> mixed = PullBlocks(1);
        EXPECT_EQ(mixed[100], item.left);
        EXPECT_EQ(mixed[101], item.right);
    }
}

// The level of a tone of `frequency` in one channel of 16-bit stereo frames (a single-bin DFT).
double ToneLevel(const std::vector<int16_t>& samples, int channel, std::size_t first,
                 std::size_t count, double frequency, double rate) {
    double re = 0;
    double im = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double x = samples[2 * (first + n) + static_cast<std::size_t>(channel)];
        const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
        re += x * std::cos(phase);
        im -= x * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(count);
}

int ZeroCrossings(const std::vector<int16_t>& samples, int channel, std::size_t first,
                  std::size_t count) {
    int crossings = 0;
    for (std::size_t n = 1; n < count; ++n) {
        const int16_t a = samples[2 * (first + n - 1) + static_cast<std::size_t>(channel)];
        const int16_t b = samples[2 * (first + n) + static_cast<std::size_t>(channel)];
        crossings += (a < 0) != (b < 0) ? 1 : 0;
    }
    return crossings;
}

TEST_F(MixerTest, AForeignFormatIsConvertedToTheMixersOwnAtItsPitchAndLevel) {
    // One second of a 1 kHz tone; a stereo source carries it inverted on the right.
    struct Case {
        uint16_t channels;
        uint32_t rate;
        uint16_t bits;
        double level; // of the tone after conversion to 16 bits
    };
    const Case cases[] = {{1, 22050, 16, 12000},
                          {2, 11025, 8, 100 * 256},
                          {2, 48000, 16, 12000},
                          {1, 44100, 8, 25600}};
    for (const Case& item : cases) {
        const std::string name = std::to_string(item.channels) + "ch-" + std::to_string(item.rate) +
                                 "-" + std::to_string(item.bits);
        SCOPED_TRACE(name);
        std::vector<uint8_t> data;
        for (uint32_t n = 0; n < item.rate; ++n) {
            const double tone = std::sin(2 * std::numbers::pi * 1000 * n / item.rate);
            for (int c = 0; c < item.channels; ++c) {
                const double value = c == 0 ? tone : -tone;
                if (item.bits == 8) {
                    data.push_back(static_cast<uint8_t>(128 + std::lround(100 * value)));
                } else {
                    const auto sample = static_cast<int16_t>(std::lround(12000 * value));
                    data.push_back(static_cast<uint8_t>(sample & 0xFF));
                    data.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
                }
            }
        }
        TMMAudioFile* file = FileSource(dir.Write(
            name + ".wav", MakeWave(PcmFormat(item.channels, item.rate, item.bits), data)));
        mixer->SetInput(0, file);
        puller->Play();
        const std::vector<int16_t> mixed = PullBlocks(20); // 20480 frames, about 464 ms
        EXPECT_TRUE(mixer->PortState(0).Converting);
        EXPECT_FALSE(mixer->PortState(0).Done);

        // 441 frames hold ten periods at 44100 Hz; 4410 frames from 100 ms on.
        const std::size_t first = 4410;
        const std::size_t count = 4410;
        EXPECT_NEAR(ZeroCrossings(mixed, 0, first, count), 200, 2);
        EXPECT_NEAR(ToneLevel(mixed, 0, first, count, 1000, 44100), item.level, item.level * 0.02);
        EXPECT_LT(ToneLevel(mixed, 0, first, count, 500, 44100), item.level * 0.02);
        EXPECT_LT(ToneLevel(mixed, 0, first, count, 2000, 44100), item.level * 0.02);
        std::vector<int16_t> sides(mixed.size()); // left - right for mono, left + right else
        for (std::size_t i = 0; i < mixed.size(); i += 2) {
            sides[i] = static_cast<int16_t>(item.channels == 1 ? mixed[i] - mixed[i + 1]
                                                               : mixed[i] + mixed[i + 1]);
            sides[i + 1] = 0;
        }
        EXPECT_LT(ToneLevel(sides, 0, first, count, 1000, 44100), item.level * 0.02);
        puller->Close();
        DestroyComponent(file);
    }
}

TEST_F(MixerTest, AMixerOfMixersSoundsLikeTheFirstLevelMixerOfThePlayingSourceAlone) {
    // The program's shape: four mixers of four file sources each, on the ports of a fifth; one
    // source plays (slot 11: mixer 3, port 3), the fifteen others hold no file.
    const std::string path =
        dir.Write("noise.wav", MakeWave(PcmFormat(2, 44100, 16), RampBytes(4 * 10001, 7)));
    TMMAudioFile* playing = nullptr;
    std::vector<TMMWaveMixer*> firstLevel;
    for (int m = 0; m < MixerPortCount; ++m) {
        auto* sub = new TMMWaveMixer(&owner);
        for (int p = 0; p < MixerPortCount; ++p) {
            const bool plays = m == 2 && p == 2;
            TMMAudioFile* file = FileSource(plays ? path : "");
            if (plays)
                playing = file;
            sub->SetInput(p, file);
        }
        mixer->SetInput(m, sub);
        firstLevel.push_back(sub);
    }

    // The reference: one mixer with the same file alone.
    TMMComponentOwner other;
    auto* alone = new TMMWaveMixer(&other);
    auto* file = new TMMAudioFile(&other);
    file->SetFileName(path);
    alone->SetInput(2, file);
    auto* reference = new Puller(&other);
    reference->SetInput(alone);

    puller->Play();
    reference->Play();
    for (int block = 0; block < 14; ++block) { // the file ends in the tenth block
        SCOPED_TRACE(block);
        bool more = false;
        const std::vector<uint8_t> mixed = puller->Pull(Block, more);
        EXPECT_TRUE(more);
        bool referenceMore = false;
        ASSERT_EQ(mixed, reference->Pull(Block, referenceMore));
        if (block == 1) {
            for (int m = 0; m < MixerPortCount; ++m) {
                EXPECT_TRUE(firstLevel[static_cast<std::size_t>(m)]->Started()) << m;
                for (int p = 0; p < MixerPortCount; ++p)
                    EXPECT_EQ(firstLevel[static_cast<std::size_t>(m)]->PortState(p).Done,
                              !(m == 2 && p == 2))
                        << m << "/" << p;
            }
            EXPECT_TRUE(playing->Opened());
        }
    }
    for (int m = 0; m < MixerPortCount; ++m) // the first-level mixers never end
        EXPECT_FALSE(mixer->PortState(m).Done) << m;
    EXPECT_FALSE(playing->Opened());

    puller->Close();
    for (TMMWaveMixer* sub : firstLevel)
        EXPECT_FALSE(sub->Opened());
}

TEST_F(MixerTest, FormatAndPropertyRules) {
    EXPECT_EQ(mixer->SampleRate(), 44100);
    const WAVEFORMATEX* held = mixer->GetPWaveFormat();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->nBlockAlign, 4);
    EXPECT_EQ(held->nAvgBytesPerSec, 176400u);

    struct RateCase {
        int32_t value, stored;
    };
    for (const RateCase item : {RateCase{5000, 8000}, RateCase{200000, 100000},
                                RateCase{22050, 22050}, RateCase{8000, 8000}}) {
        mixer->SetSampleRate(item.value);
        EXPECT_EQ(mixer->SampleRate(), item.stored) << item.value;
        EXPECT_EQ(mixer->GetPWaveFormat()->nSamplesPerSec, static_cast<uint32_t>(item.stored));
    }

    // A valid PCM format gives only its rate; the mixer stays 16-bit stereo.
    const WAVEFORMATEX mono8 = PcmFormat(1, 32000, 8);
    mixer->SetPWaveFormat(&mono8);
    held = mixer->GetPWaveFormat();
    EXPECT_EQ(mixer->SampleRate(), 32000);
    EXPECT_EQ(held->nSamplesPerSec, 32000u);
    EXPECT_EQ(held->wBitsPerSample, 16);
    EXPECT_EQ(held->nChannels, 2);
    EXPECT_EQ(mixer->FrameBytes(), 4);

    WAVEFORMATEX compressed = PcmFormat(2, 44100, 16);
    compressed.wFormatTag = 2;
    const WAVEFORMATEX refused[] = {compressed, PcmFormat(3, 44100, 16), PcmFormat(2, 3999, 16),
                                    PcmFormat(2, 44100, 24)};
    for (const WAVEFORMATEX& format : refused) {
        try {
            mixer->SetPWaveFormat(&format);
            ADD_FAILURE() << "accepted";
        } catch (const EMMWaveMixerError& error) {
            EXPECT_STREQ(error.what(), "Invalid WaveFormat");
        }
        EXPECT_EQ(mixer->GetPWaveFormat()->nSamplesPerSec, 32000u);
    }
    // A neighbour's format is ignored.
    mixer->ChangePWaveFormat(&mono8);
    mixer->ChangePWaveFormat(nullptr);
    EXPECT_EQ(mixer->GetPWaveFormat()->nChannels, 2);

    // Loop settings read as nothing on a port without input, and the count is kept in 16 bits.
    mixer->SetLoop(0, true);
    mixer->SetLoopCount(0, 70000);
    EXPECT_FALSE(mixer->Loop(0));
    EXPECT_EQ(mixer->LoopCount(0), 0);
    mixer->SetInput(0, FileSource());
    EXPECT_TRUE(mixer->Loop(0));
    EXPECT_EQ(mixer->LoopCount(0), 4464);
    EXPECT_EQ(mixer->PortState(0).LoopsLeft, 70000);
}

TEST_F(MixerTest, PositionsConvertInTheTimeFormat) {
    struct Case {
        TMMTimeFormats format;
        int64_t value, samples, back;
    };
    const Case cases[] = {
        {tfMillisecond, 1000, 44100, 1000},
        {tfMillisecond, 1, 44, 0}, // truncated both ways
        {tfByte, 4000, 1000, 4000},
        {tfByte, 4003, 1000, 4000},
        {tfSample, 12345, 12345, 12345},
        {tfMillisecond, 1'000'000'000'000, 44'100'000'000'000, 1'000'000'000'000}, // past 32 bits
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(std::to_string(item.format) + ":" + std::to_string(item.value));
        mixer->SetTimeFormat(item.format);
        EXPECT_EQ(mixer->TimeFormatToSamples(item.value), item.samples);
        EXPECT_EQ(mixer->SamplesToTimeFormat(item.samples), item.back);
    }
}

TEST_F(MixerTest, LinksStayConsistentWhenInputsMove) {
    auto* a = new TestSource(&owner, Constant(1, 1), TestSource::Endless);
    auto* b = new TestSource(&owner, Constant(2, 2), TestSource::Endless);
    auto* volume = new TMMVolume(&owner);
    auto* second = new TMMWaveMixer(&owner);
    auto onlyInput = [](TMMWaveMixer* m, TMMDSPComponent* input, int index) {
        for (int i = 0; i < MixerPortCount; ++i)
            EXPECT_EQ(m->PortInput(i), i == index ? input : nullptr) << i;
    };

    mixer->SetInput(0, a);
    EXPECT_EQ(a->Output(), mixer);
    EXPECT_EQ(a->OutputLinkName(), "Input1");
    EXPECT_EQ(mixer->PublishedLinkValue("Input1"), a);
    EXPECT_EQ(mixer->GetInput(), nullptr); // the mixer itself has no Input
    EXPECT_FALSE(mixer->HasPublishedLink("Input"));

    // Refused: the input of another port, the mixer itself, and a loop through its Output.
    mixer->SetInput(1, a);
    mixer->SetInput(1, mixer);
    puller->SetInput(nullptr);
    mixer->SetOutput(volume);
    mixer->SetInput(1, volume);
    onlyInput(mixer, a, 0);
    EXPECT_EQ(a->OutputLinkName(), "Input1");
    EXPECT_FALSE(volume->CanConnectOutput(mixer)); // the mixer takes no Input
    EXPECT_FALSE(mixer->CanConnectOutput(a));      // a source has no Input

    // Another mixer takes the source: this one lets it go.
    second->SetInput(3, a);
    onlyInput(mixer, nullptr, -1);
    onlyInput(second, a, 3);
    EXPECT_EQ(a->Output(), second);
    EXPECT_EQ(a->OutputLinkName(), "Input4");

    // The source gets another Output: the port lets it go.
    mixer->SetInput(0, b);
    mixer->SetInput(2, a);
    onlyInput(second, nullptr, -1);
    mixer->SetInput(0, nullptr); // the other port's link must keep working after this
    EXPECT_EQ(b->Output(), nullptr);
    auto* volume2 = new TMMVolume(&owner);
    a->SetOutput(volume2);
    onlyInput(mixer, nullptr, -1);
    EXPECT_EQ(volume2->Input(), a);

    // A destroyed source leaves its port; a destroyed mixer leaves its sources.
    mixer->SetInput(1, b);
    DestroyComponent(b);
    onlyInput(mixer, nullptr, -1);
    a->SetOutput(nullptr);
    second->SetInput(0, a);
    DestroyComponent(second);
    EXPECT_EQ(a->Output(), nullptr);
}

TEST_F(MixerTest, AnInputLinkedWhilePlayingJoinsAtTheNextBlockAndTheOldOneIsClosed) {
    auto* first = new TestSource(&owner, Constant(100, 100), TestSource::Endless);
    auto* later = new TestSource(&owner, Constant(7, -7), TestSource::Endless);
    mixer->SetInput(1, first);
    puller->Play();
    std::vector<int16_t> mixed = PullBlocks(1);
    EXPECT_EQ(mixed[0], 100);
    EXPECT_TRUE(first->Opened());

    mixer->SetInput(1, later); // replaces the playing one
    EXPECT_FALSE(first->Opened());
    EXPECT_EQ(closed, std::vector<int>{1});
    mixed = PullBlocks(1);
    EXPECT_EQ(mixed[0], 7);
    EXPECT_EQ(mixed[1], -7);

    mixer->SetInput(3, first); // joins on a free port
    mixed = PullBlocks(1);
    EXPECT_EQ(mixed[0], 107);
    EXPECT_EQ(opened, (std::vector<int>{1, 1, 3}));
}

TEST_F(MixerTest, LoopingPortsHandTheirPassesToTheSourceAndBack) {
    const int frames = 3000;
    const std::string path =
        dir.Write("loop.wav", MakeWave(PcmFormat(2, 44100, 16), Bytes(Ramp(frames))));
    TMMAudioFile* file = FileSource(path);
    mixer->SetInput(0, file);
    mixer->SetLoopCount(0, 2);
    mixer->SetLoop(0, true);
    puller->Play();
    // Three passes of the file, then silence; the passes left are counted down to -1.
    const std::vector<int16_t> mixed = PullBlocks(12);
    int64_t nonZero = 0;
    for (std::size_t i = 0; i < mixed.size(); i += 2)
        nonZero += mixed[i] != 0 ? 1 : 0;
    EXPECT_GT(nonZero, 3 * (frames - 100));
    EXPECT_LE(nonZero, 3 * frames);
    EXPECT_TRUE(AllZero(mixed, 2 * 3 * frames));
    EXPECT_TRUE(mixer->PortState(0).Done);
    EXPECT_EQ(mixer->PortState(0).LoopsLeft, -1);
}

TEST(MixerDescription, LoadsItsPropertiesAndPortLinks) {
    RegisterWaveMixerClass();
    RegisterAudioFileComponentClass();
    TMMComponentOwner owner;
    TComponentsDescription description;
    description.components = {
        {"TMMAudioFile", "File2", {}},
        {"TMMWaveMixer",
         "Mixer",
         {{"SampleRate", int64_t{22050}},
          {"Volume", int64_t{8192}},
          {"Panning", int64_t{-8192}},
          {"Loop2", true},
          {"LoopCount2", int64_t{3}},
          {"TimeFormat", int64_t{tfSample}},
          {"Enabled", false}}},
    };
    description.links = {{"Mixer", "Input2", "File2"}};
    owner.Load(description);
    auto* mixer = owner.Find<TMMWaveMixer>("Mixer");
    ASSERT_NE(mixer, nullptr);
    EXPECT_EQ(mixer->PortInput(1), owner.FindComponent("File2"));
    EXPECT_EQ(mixer->GetPWaveFormat()->nSamplesPerSec, 22050u);
    EXPECT_EQ(mixer->LeftGain(), 8192);
    EXPECT_EQ(mixer->RightGain(), 4096);
    EXPECT_TRUE(mixer->Loop(1));
    EXPECT_EQ(mixer->LoopCount(1), 3);
    EXPECT_EQ(mixer->TimeFormat(), tfSample);
    EXPECT_FALSE(mixer->Enabled());

    TComponentsDescription wrong;
    wrong.links = {{"Mixer", "Input", "File2"}};
    EXPECT_THROW(owner.Load(wrong), std::invalid_argument);
}

// A pull loop on its own thread, as the output device's service thread runs it, while the main
// thread stops, closes, reopens and restarts the mixer and moves the volume. Run under the
// thread sanitizer this finds unguarded state; anywhere it finds a port closed under a pull.
TEST_F(MixerTest, PullsRaceStateChangesAndVolumeMoves) {
    TempDir files;
    const std::string path =
        files.Write("long.wav", MakeWave(PcmFormat(1, 22050, 16), RampBytes(2 * 22050, 3)));
    auto* sub = new TMMWaveMixer(&owner);
    sub->SetInput(0, FileSource(path));
    sub->SetInput(1, FileSource());
    mixer->SetInput(0, sub);
    mixer->SetInput(1, FileSource(path));
    mixer->SetInput(2, new TestSource(&owner, Bytes(Ramp(5000)), TestSource::Endless));
    mixer->SetInput(3, FileSource());
    puller->SetInput(nullptr);
    auto* volume = new TMMVolume(&owner);
    volume->SetInput(mixer);
    mixer->SetBufferSize(static_cast<int32_t>(Block));
    mixer->Open();
    mixer->Start();
    volume->Open();

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0}, wrong{0};
    std::thread service([&] {
        std::vector<char> data(Block);
        while (!stop.load()) {
            TMMChainHdr header{};
            header.lpData = data.data();
            header.dwBufferLength = Block;
            bool more = false;
            volume->BufferLoad(&header, more);
            if (header.dwBytesRecorded != Block || !more)
                ++wrong;
            ++blocks;
        }
    });
    auto waitForBlocks = [&](int count) {
        const int target = blocks.load() + count;
        const int64_t deadline = MonotonicMilliseconds() + 10000;
        while (blocks.load() < target && MonotonicMilliseconds() < deadline)
            std::this_thread::yield();
        return blocks.load() >= target;
    };
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(waitForBlocks(2)) << i;
        volume->SetVolume((i * 997) % 32768);
        mixer->SetVolume(16384 - i * 50);
        if (i % 3 == 0) {
            mixer->Stop();
            mixer->Close();
            mixer->Open();
        } else {
            mixer->Stop();
        }
        mixer->Start();
    }
    stop.store(true);
    service.join();
    EXPECT_EQ(wrong.load(), 0);
    mixer->Close();
    for (int i = 0; i < MixerPortCount; ++i)
        EXPECT_FALSE(mixer->PortInput(i)->Opened()) << i;
}

} // namespace
