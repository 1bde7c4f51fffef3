#include "sources/MMAudio.h"
#include "chain/MMMsgs.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

// Drives the state of the section upstream of it, as the output device does.
class Puller : public TMMSectionDriver {
public:
    using TMMSectionDriver::TMMSectionDriver;

    // One pull of `length` bytes.
    std::vector<uint8_t> Pull(uint32_t length, bool& more, int32_t loopCount = -1) {
        data_.assign(length, 0xEE);
        TMMChainHdr header{};
        header.lpData = reinterpret_cast<char*>(data_.data());
        header.dwBufferLength = length;
        header.dwLooping = loopCount >= 0 ? MMChainTrue : 0;
        header.dwLoopCount = loopCount;
        header.dwLoopsLeft = loopsLeft;
        more = false;
        GetInput()->BufferLoad(&header, more);
        loopsLeft = header.dwLoopsLeft;
        wrapped = header.dwLoopWrapped == MMChainTrue;
        data_.resize(header.dwBytesRecorded);
        return data_;
    }
    int32_t loopsLeft = 0;
    bool wrapped = false;

private:
    std::vector<uint8_t> data_;
};

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

struct AudioFileTest : ::testing::Test {
    TempDir dir;
    TMMComponentOwner owner;
    TMMAudioFile* file = new TMMAudioFile(&owner);
    Puller* puller = new Puller(&owner);

    void SetUp() override { file->SetOutput(puller); }

    // A 16-bit stereo 44100 Hz file of constant samples (left, right).
    std::string ConstantWave(const std::string& name, int frames, int16_t left, int16_t right) {
        std::vector<int16_t> samples(static_cast<std::size_t>(frames) * 2);
        for (int i = 0; i < frames; ++i) {
            samples[2 * i] = left;
            samples[2 * i + 1] = right;
        }
        return dir.Write(name, MakeWave(PcmFormat(2, 44100, 16), Bytes(samples)));
    }
    void Play() {
        puller->SetBufferSize(4096);
        puller->Open();
        puller->Start();
    }
    // Everything up to the end of the stream, and the pulls' sizes.
    std::vector<int16_t> PullAll(std::vector<std::size_t>* sizes = nullptr) {
        std::vector<uint8_t> all;
        for (int i = 0; i < 100000; ++i) {
            bool more = false;
            const auto block = puller->Pull(4096, more);
            if (sizes != nullptr)
                sizes->push_back(block.size());
            all.insert(all.end(), block.begin(), block.end());
            if (!more)
                break;
        }
        return Samples(all);
    }
};

TEST_F(AudioFileTest, TheStreamEndsWithOneShortSilentBlockThenNothing) {
    file->SetFileName(ConstantWave("a.wav", 10000, 1000, -1000));
    EXPECT_EQ(file->GetFileType(), ftWave);
    EXPECT_EQ(file->Duration(), 227); // 10000 frames at 44100 Hz
    Play();
    std::vector<std::size_t> sizes;
    const std::vector<int16_t> data = PullAll(&sizes);
    EXPECT_EQ(data.size(), 20000u);
    EXPECT_EQ(sizes.back(), 40000u % 4096); // the last data block is short and ends the stream
    bool more = true;
    EXPECT_EQ(puller->Pull(4096, more), std::vector<uint8_t>(4, 0));
    EXPECT_FALSE(more);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(puller->Pull(4096, more).empty());
        EXPECT_FALSE(more);
    }
}

TEST_F(AudioFileTest, TheEnvelopeFadesInTheFirstMillisecondAndSilencesTheLast) {
    const int frames = 44100; // one second
    file->SetFileName(ConstantWave("b.wav", frames, 20000, -20000));
    Play();
    const std::vector<int16_t> data = PullAll();
    ASSERT_EQ(data.size(), static_cast<std::size_t>(frames) * 2);
    EXPECT_EQ(data[0], 0);
    for (int f = 1; f < 45; ++f) {
        EXPECT_GE(data[2 * f], data[2 * f - 2]) << f;
        EXPECT_LE(data[2 * f + 1], data[2 * f - 1]) << f;
    }
    const int lastMs = (999 * 44100 + 999) / 1000; // the frame at 999 ms, rounded up
    for (int f = 45; f < lastMs; ++f) {
        ASSERT_EQ(data[2 * f], 20000) << f;
        ASSERT_EQ(data[2 * f + 1], -20000) << f;
    }
    for (int f = lastMs; f < frames; ++f) {
        ASSERT_EQ(data[2 * f], 0) << f;
        ASSERT_EQ(data[2 * f + 1], 0) << f;
    }
}

TEST_F(AudioFileTest, VolumeAndPanning) {
    struct Case {
        int32_t volume, panning;
        int16_t left, right;
    };
    const Case cases[] = {
        {0, 0, 0, 0},
        {32768, 0, 32767, -32768}, // doubled, saturated
        {8192, 0, 10000, -10000},
        {16384, 32768, 0, -20000}, // the left silenced
        {16384, -32768, 20000, 0}, // the right silenced
        {99999, -99999, 32767, 0}, // clamped to 32768 and -32768
    };
    const std::string path = ConstantWave("c.wav", 4410, 20000, -20000);
    for (const Case& item : cases) {
        SCOPED_TRACE(std::to_string(item.volume) + "/" + std::to_string(item.panning));
        file->SetFileName("");
        file->SetFileName(path);
        file->SetVolume(item.volume);
        file->SetPanning(item.panning);
        Play();
        const std::vector<int16_t> data = PullAll();
        ASSERT_GT(data.size(), 2000u);
        EXPECT_EQ(data[2 * 1000], item.left);
        EXPECT_EQ(data[2 * 1000 + 1], item.right);
        puller->Close();
    }
}

TEST_F(AudioFileTest, ADisabledSourceIsSilentNeverEndsAndItsPositionGrows) {
    file->SetFileName(ConstantWave("d.wav", 2000, 5000, 5000));
    Play();
    file->SetEnabled(false);
    int32_t last = file->GetPosition();
    for (int i = 0; i < 20; ++i) {
        bool more = false;
        const auto block = puller->Pull(4096, more);
        ASSERT_EQ(block.size(), 4096u);
        EXPECT_TRUE(more);
        EXPECT_EQ(block, std::vector<uint8_t>(4096, 0));
        EXPECT_GT(file->GetPosition(), last);
        last = file->GetPosition();
    }
    EXPECT_GT(last, file->Duration()); // past the file's own length
}

TEST_F(AudioFileTest, SeekingBeyondTheEndEndsTheStreamAndLoopsReplay) {
    file->SetFileName(ConstantWave("e.wav", 8820, 3000, 3000)); // 200 ms
    Play();
    file->SetPosition(5000);
    EXPECT_EQ(file->GetPosition(), 200);
    bool more = true;
    EXPECT_EQ(puller->Pull(4096, more), std::vector<uint8_t>(4, 0)); // straight to the tail
    EXPECT_FALSE(more);

    // Two extra passes: three times the file, the wrap reported on the pulls that rewound.
    file->SetPosition(0);
    puller->loopsLeft = 2;
    std::size_t total = 0;
    int wraps = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto block = puller->Pull(4096, more, 2);
        total += block.size();
        wraps += puller->wrapped ? 1 : 0;
        if (!more)
            break;
    }
    EXPECT_EQ(wraps, 2);
    EXPECT_EQ(total, 3u * 8820 * 4);
}

TEST_F(AudioFileTest, LoadingRules) {
    int changes = 0;
    file->OnChange = [&](TObject*) { ++changes; };
    const std::string path = ConstantWave("f.wav", 4410, 1, 1);
    file->SetFileName(path);
    const int afterLoad = changes;
    EXPECT_GE(afterLoad, 1);
    file->SetFileName(file->GetFileName()); // the same name: nothing
    EXPECT_EQ(changes, afterLoad);

    file->SetFileName("");
    EXPECT_GT(changes, afterLoad);
    EXPECT_EQ(file->Duration(), 0);
    EXPECT_EQ(file->GetFileType(), ftNone);
    EXPECT_EQ(file->GetPosition(), 0);
    EXPECT_TRUE(file->IsEmpty());

    file->SetFileName(path);
    file->SetFileName(dir.Path("missing.wav").string()); // unloads, no error
    EXPECT_TRUE(file->IsEmpty());
    EXPECT_EQ(file->GetFileName(), "");

    for (const char* name : {"text.wav", "text.mp3", "text"}) {
        file->SetFileName(path);
        const std::string text = dir.Write(name, std::vector<uint8_t>(300, 'x'));
        try {
            file->SetFileName(text);
            FAIL() << name << " loaded";
        } catch (const EMMAudioError& error) {
            EXPECT_STREQ(error.what(), "This is not a valid Audiofile");
        }
        EXPECT_TRUE(file->IsEmpty()) << name; // the previous file is unloaded already
    }

    file->SetMpegTrailingHeader(77); // no file: dropped
    EXPECT_EQ(file->MpegTrailingHeader(), 0);
}

TEST(AudioFileClasses, MpegIsProbedBeforeWave) {
    RegisterStandardAudioFileClasses();
    RegisterStandardAudioFileClasses(); // a class is listed once
    const auto classes = AudioFileClasses();
    ASSERT_EQ(classes.size(), 2u);
    EXPECT_EQ(classes[0].name, "TMMMPEGFile");
    EXPECT_EQ(classes[1].name, "TMMWaveFile");

    TMMComponentOwner owner;
    auto* file = new TMMAudioFile(&owner);
    EXPECT_EQ(file->GetFileFilter(),
              "All Audio Files (*.mp2;*.mp3;*.atx;*.wav)|*.mp2;*.mp3;*.atx;*.wav|"
              "MPEG Files (*.mp?;*.atx)|*.mp2;*.mp3;*.atx|Antex Files (*.atx)|*.atx|"
              "Wave Files(*.wav)|*.wav");
}

} // namespace
