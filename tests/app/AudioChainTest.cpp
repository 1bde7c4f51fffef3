// The program's audio chain, built from its description and played as the main window plays
// it, on a virtual device stepped by the test.
#include "app/AudioChain.h"
#include "output/MMWavOut.h"
#include "platform/WaveOutVirtual.h"
#include "processing/MMVolume.h"
#include "processing/MMWMixer.h"
#include "sources/MMAudio.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

constexpr int kRate = 44100;

bool PumpUntil(const std::function<bool()>& done, int boundMs = 10000) {
    const int64_t deadline = MonotonicMilliseconds() + boundMs;
    while (!done()) {
        if (MonotonicMilliseconds() > deadline)
            return false;
        platform::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

std::vector<uint8_t> Bytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

// Keeps a failed output beside the test's temporary folder, to be listened to.
void Keep(const std::string& name, const std::vector<int16_t>& samples) {
    const auto wave = MakeWave(PcmFormat(2, kRate, 16), Bytes(samples));
    std::ofstream out(std::filesystem::path(::testing::TempDir()) / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(wave.data()),
              static_cast<std::streamsize>(wave.size()));
}

// The level of a tone of `hz` in one channel (amplitude), by a single-bin transform.
double ToneLevel(const std::vector<int16_t>& stereo, int channel, double hz, int rate) {
    std::complex<double> sum = 0;
    const std::size_t frames = stereo.size() / 2;
    for (std::size_t i = 0; i < frames; ++i)
        sum += static_cast<double>(stereo[2 * i + channel]) *
               std::polar(1.0, -2 * M_PI * hz * static_cast<double>(i) / rate);
    return 2 * std::abs(sum) / static_cast<double>(frames);
}

struct AudioChainTest : ::testing::Test {
    std::shared_ptr<TVirtualWaveOutService> device =
        std::make_shared<TVirtualWaveOutService>(TVirtualClock::Stepped, 1);
    TempDir dir;
    std::unique_ptr<TAudioChain> chain;

    void SetUp() override {
        SetWaveOutService(device);
        chain = std::make_unique<TAudioChain>();
    }
    void TearDown() override {
        chain.reset();
        SetWaveOutService(nullptr);
    }

    // Plays `frames` frames on the stepped device, one buffer at a time, each refilled before
    // the next plays.
    void PlayFrames(int64_t frames) {
        TMMWaveOut* out = chain->WaveOut();
        for (int64_t played = 0; played < frames; played += 1024) {
            device->Advance(std::min<int64_t>(1024, frames - played));
            ASSERT_TRUE(PumpUntil([&] { return out->PendingCount() == out->QueuedCount(); }));
        }
    }
    std::vector<int16_t> Heard() { return Samples(device->Captured()); }

    std::string StereoWave(const std::string& name, const std::vector<int16_t>& samples) {
        return dir.Write(name, MakeWave(PcmFormat(2, kRate, 16), Bytes(samples)));
    }
};

std::vector<int16_t> Ramp(int frames, int seed) {
    std::vector<int16_t> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<int16_t>((i * 37 + seed) % 20011 - 10000);
        samples[2 * i + 1] = static_cast<int16_t>(-((i * 53 + seed) % 20011 - 10000));
    }
    return samples;
}

TEST_F(AudioChainTest, TheDescriptionLinksSixteenSlotsThroughFiveMixersToTheOutput) {
    for (int slot = 1; slot <= SlotCount; ++slot) {
        TMMWaveMixer* mixer = chain->Mixer((slot - 1) / 4 + 1);
        ASSERT_NE(chain->AudioFile(slot), nullptr) << slot;
        EXPECT_EQ(mixer->PortInput((slot - 1) % 4), chain->AudioFile(slot)) << slot;
    }
    for (int mixer = 1; mixer <= 4; ++mixer)
        EXPECT_EQ(chain->Mixer(5)->PortInput(mixer - 1), chain->Mixer(mixer));
    EXPECT_EQ(chain->Volume()->GetInput(), chain->Mixer(5));
    EXPECT_EQ(chain->WaveOut()->GetInput(), chain->Volume());
    EXPECT_EQ(chain->WaveOut()->BufferSize(), 4096);
    EXPECT_EQ(chain->WaveOut()->GetNumBuffers(), 10);
    EXPECT_EQ(chain->WaveOut()->GetCallBackMode(), cmThread);
    EXPECT_EQ(chain->WaveOut()->Priority(), tpHighest);
    EXPECT_EQ(chain->WaveOut()->GetDeviceID(), MapperId);
    ASSERT_NE(chain->WaveOut()->GetPWaveFormat(), nullptr);
    EXPECT_EQ(chain->WaveOut()->GetPWaveFormat()->nSamplesPerSec, 44100u);
}

TEST_F(AudioChainTest, AFilePlaysThroughTheChainUnchangedButForItsFirstAndLastMillisecond) {
    const int frames = kRate / 2;
    const std::vector<int16_t> file = Ramp(frames, 1);
    chain->Play(1, StereoWave("ramp.wav", file));
    PlayFrames(frames + 8192);
    const std::vector<int16_t> heard = Heard();
    ASSERT_GE(heard.size(), file.size());
    const int edge = 45; // a millisecond, rounded up to whole frames
    bool same = true;
    for (int i = 2 * edge; i < 2 * (frames - edge); ++i)
        same = same && heard[static_cast<std::size_t>(i)] == file[static_cast<std::size_t>(i)];
    if (!same)
        Keep("chain-heard.wav", heard);
    EXPECT_TRUE(same) << "the chain changed the file";
    EXPECT_EQ(heard[0], 0); // faded in from silence
    for (int i = 2 * (frames - edge + 1); i < static_cast<int>(heard.size()); ++i)
        ASSERT_EQ(heard[static_cast<std::size_t>(i)], 0) << i; // silent from the end on
}

TEST_F(AudioChainTest, AHalfRateMonoFileComesOutAtFullRateStereoAtItsPitchAndLevel) {
    const int rate = 22050;
    std::vector<int16_t> mono(static_cast<std::size_t>(rate));
    for (int i = 0; i < rate; ++i)
        mono[static_cast<std::size_t>(i)] =
            static_cast<int16_t>(std::lround(12000 * std::sin(2 * M_PI * 1000 * i / rate)));
    chain->Play(1, dir.Write("mono.wav", MakeWave(PcmFormat(1, rate, 16), Bytes(mono))));
    PlayFrames(kRate + 4096);
    const std::vector<int16_t> heard = Heard();
    ASSERT_GE(heard.size(), static_cast<std::size_t>(kRate));
    // The middle half second, away from the envelope's edges.
    const std::vector<int16_t> middle(heard.begin() + kRate / 4 * 2,
                                      heard.begin() + kRate * 3 / 4 * 2);
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(ToneLevel(middle, channel, 1000, kRate), 12000, 12000 * 0.02) << channel;
        EXPECT_LT(ToneLevel(middle, channel, 500, kRate), 100) << channel;
        EXPECT_LT(ToneLevel(middle, channel, 2000, kRate), 100) << channel;
    }
}

TEST_F(AudioChainTest, TheMasterVolumeScalesTheMix) {
    struct Case {
        int32_t volume;
        double factor;
    };
    const std::vector<int16_t> file = Ramp(kRate / 4, 2);
    const std::string path = StereoWave("volume.wav", file);
    for (const Case& item : {Case{16384, 1.0}, Case{8192, 0.5}, Case{0, 0.0}}) {
        SCOPED_TRACE(item.volume);
        device->ClearCapture();
        chain->Volume()->SetVolume(item.volume);
        chain->Play(1, path);
        PlayFrames(4096 * 4);
        const std::vector<int16_t> heard = Heard();
        ASSERT_GE(heard.size(), 2u * 4096);
        for (int i = 2 * 100; i < 2 * 4096; ++i) {
            // The stage shifts right: halves round towards minus infinity.
            const int expected =
                static_cast<int>(std::floor(file[static_cast<std::size_t>(i)] * item.factor));
            ASSERT_EQ(heard[static_cast<std::size_t>(i)], expected) << i;
        }
    }
}

TEST_F(AudioChainTest, PlayingAnotherSlotLeavesOnlyThatSlotFromItsStart) {
    const std::vector<int16_t> first = Ramp(kRate, 3);
    const std::vector<int16_t> third = Ramp(kRate, 4);
    chain->Play(1, StereoWave("first.wav", first));
    PlayFrames(8192);
    EXPECT_TRUE(chain->AudioFile(1)->Enabled());

    device->ClearCapture();
    chain->Play(3, StereoWave("third.wav", third));
    EXPECT_FALSE(chain->AudioFile(1)->Enabled());
    EXPECT_TRUE(chain->AudioFile(1)->IsEmpty());
    EXPECT_TRUE(chain->AudioFile(3)->Enabled());
    PlayFrames(8192);
    const std::vector<int16_t> heard = Heard();
    ASSERT_GE(heard.size(), 2u * 8192);
    // Slot 3 from its start (after the first millisecond's fade), and nothing of slot 1.
    for (int i = 2 * 45; i < 2 * 8192; ++i)
        ASSERT_EQ(heard[static_cast<std::size_t>(i)], third[static_cast<std::size_t>(i)]) << i;

    // Playing it again starts it again.
    device->ClearCapture();
    chain->Play(3, chain->AudioFile(3)->GetFileName());
    PlayFrames(4096);
    const std::vector<int16_t> again = Heard();
    for (int i = 2 * 45; i < 2 * 4096; ++i)
        ASSERT_EQ(again[static_cast<std::size_t>(i)], third[static_cast<std::size_t>(i)]) << i;
}

TEST_F(AudioChainTest, TheOutputGoesOnWithSilenceAfterTheFileEnds) {
    const std::vector<int16_t> file = Ramp(4000, 5);
    bool stopped = false;
    chain->WaveOut()->OnStop = [&](TObject*) { stopped = true; };
    chain->Play(2, StereoWave("short.wav", file));
    PlayFrames(kRate / 2);
    platform::ProcessMessages();
    EXPECT_FALSE(stopped); // the mixers never end their stream
    EXPECT_EQ(chain->WaveOut()->State(), TMMWaveOut::wosOpen | TMMWaveOut::wosPlay);
    const std::vector<int16_t> heard = Heard();
    for (std::size_t i = 2 * 4000; i < heard.size(); ++i)
        ASSERT_EQ(heard[i], 0) << i;
    EXPECT_GE(chain->AudioFile(2)->GetPosition(), chain->AudioFile(2)->Duration());

    chain->Stop(2);
    EXPECT_EQ(chain->WaveOut()->State(), TMMWaveOut::wosClosed);
    EXPECT_FALSE(chain->AudioFile(2)->Enabled());
}

} // namespace
