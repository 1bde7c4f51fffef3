#include "sources/MMMPEG.h"
#include "chain/MMMsgs.h"
#include "platform/MainThread.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <numbers>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef TESSARO_FIXTURES_DIR
#error "TESSARO_FIXTURES_DIR must name the tests/fixtures folder (see tests/sources/CMakeLists.txt)"
#endif

namespace {

using namespace testsupport;

// The committed fixtures (tests/fixtures/mpeg/make-fixtures.sh): a 1 kHz sine of amplitude
// 16384, and in stereo files a 2.5 kHz sine of amplitude 8192 on the right.
constexpr double LeftTone = 1000.0;
constexpr double LeftAmplitude = 16384.0;
constexpr double RightTone = 2500.0;
constexpr double RightAmplitude = 8192.0;
// The encoders put up to this many samples of delay in front of the signal.
constexpr int EncoderDelay = 1105;

std::string Fixture(const std::string& name) {
    return std::string(TESSARO_FIXTURES_DIR) + "/mpeg/" + name;
}

// Pulls a reader as a device does and collects what it delivers.
struct Pull {
    std::vector<uint8_t> bytes;
    std::vector<int32_t> recorded; // dwBytesRecorded of every pull
    bool lastMore = false;
    int wraps = 0;
};

Pull PullAll(TMMDSPComponent& reader, int32_t bufferLength, int32_t loopCount = -1,
             int maxPulls = 100000) {
    Pull result;
    std::vector<char> data(static_cast<std::size_t>(bufferLength));
    TMMChainHdr header{};
    header.lpData = data.data();
    int32_t loopsLeft = loopCount;
    for (int i = 0; i < maxPulls; ++i) {
        header.dwBufferLength = static_cast<uint32_t>(bufferLength);
        header.dwBytesRecorded = 0;
        header.dwLooping = loopCount >= 0 ? MMChainTrue : 0;
        header.dwLoopCount = loopCount;
        header.dwLoopsLeft = loopsLeft;
        header.dwLoopWrapped = 0;
        bool more = false;
        reader.BufferLoad(&header, more);
        loopsLeft = header.dwLoopsLeft;
        const auto got = static_cast<int32_t>(header.dwBytesRecorded);
        result.recorded.push_back(got);
        result.lastMore = more;
        if (header.dwLoopWrapped == MMChainTrue)
            ++result.wraps;
        if (got <= 0)
            break;
        result.bytes.insert(result.bytes.end(), data.begin(), data.begin() + got);
        if (!more)
            break;
    }
    return result;
}

std::vector<int16_t> Channel(const std::vector<uint8_t>& bytes, int channels, int channel) {
    std::vector<int16_t> samples(bytes.size() / 2 / static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        std::memcpy(&samples[i], bytes.data() + (i * channels + channel) * 2, 2);
    return samples;
}

// The amplitude of the sine at `frequency` over half a second from 0.25 s (a whole number of
// periods of both tones at every rate here), and the RMS level over the same span.
struct Tone {
    double amplitude = 0;
    double rms = 0;
};

Tone Measure(const std::vector<int16_t>& samples, int rate, double frequency) {
    const auto begin = static_cast<std::size_t>(rate / 4);
    const auto count = static_cast<std::size_t>(rate / 2);
    Tone tone;
    if (samples.size() < begin + count)
        return tone;
    std::complex<double> sum;
    double power = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double x = samples[begin + n];
        const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(n) / rate;
        sum += x * std::polar(1.0, -phase);
        power += x * x;
    }
    tone.amplitude = 2 * std::abs(sum) / static_cast<double>(count);
    tone.rms = std::sqrt(power / static_cast<double>(count));
    return tone;
}

// The first 16-bit sample where a and b differ by more than tolerance, or -1.
int64_t FirstDifference(const uint8_t* a, const uint8_t* b, std::size_t bytes, int tolerance) {
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        int16_t x = 0;
        int16_t y = 0;
        std::memcpy(&x, a + i, 2);
        std::memcpy(&y, b + i, 2);
        if (std::abs(x - y) > tolerance)
            return static_cast<int64_t>(i / 2);
    }
    return -1;
}

// Writes what the reader delivered where it can be listened to, after a failed check.
void KeepOutput(const std::string& name, const WAVEFORMATEX* format,
                const std::vector<uint8_t>& bytes) {
    if (!::testing::Test::HasFailure() || format == nullptr)
        return;
    const auto folder = std::filesystem::temp_directory_path() / "tessaro-mpeg-failures";
    std::filesystem::create_directories(folder);
    const auto path = folder / (name + ".wav");
    const std::vector<uint8_t> image = MakeWave(*format, bytes);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return;
    std::fwrite(image.data(), 1, image.size(), file);
    std::fclose(file);
    std::printf("  delivered audio written to %s\n", path.c_str());
}

struct MpegReaderTest : ::testing::Test {
    TempDir dir;
    TMMComponentOwner owner;
    TMMMPEGFile* reader = new TMMMPEGFile(&owner);

    std::string Copy(const std::string& fixture, const std::string& name) {
        return dir.Write(name, ReadFile(Fixture(fixture)));
    }
    void OpenAndStart(int32_t bufferSize) {
        reader->SetBufferSize(bufferSize);
        reader->Open();
        reader->Start();
    }
    int32_t FrameBytes() const {
        return reader->Mpeg().Info().SamplesPerFrame * reader->GetPWaveFormat()->nBlockAlign;
    }
    // The whole stream of a file, decoded through its own reader.
    std::vector<uint8_t> DecodeAll(const std::string& path) {
        TMMComponentOwner other;
        auto* decoder = new TMMMPEGFile(&other);
        decoder->SetFileName(path);
        decoder->SetBufferSize(8192);
        decoder->Open();
        decoder->Start();
        return PullAll(*decoder, decoder->GetBufferSize()).bytes;
    }
};

TEST_F(MpegReaderTest, PlaysEveryKindOfFileToTheEndAsItsSourceSignal) {
    struct Case {
        const char* fixture;
        const char* playAs; // copied under this name first, or played where it is
        TMpegVersion version;
        int32_t layer;
        int32_t rate;
        TSampleMode mode;
        int32_t samplesPerFrame;
        int32_t bitRate;
        double seconds; // of the source signal
        double gain;    // of the encoder: LAME's streams hold the tones at 0.95 of their level
    };
    const Case cases[] = {
        {"l2-48k-mono.mp2", nullptr, v1, 2, 48000, smSingleChannel, 1152, 64, 1.0, 1.0},
        {"l2-48k-stereo.mp2", nullptr, v1, 2, 48000, smStereo, 1152, 128, 1.0, 1.0},
        {"l3-44k-mono.mp3", nullptr, v1, 3, 44100, smSingleChannel, 1152, 64, 1.5, 0.95},
        {"l3-44k-stereo.mp3", nullptr, v1, 3, 44100, smJointStereo, 1152, 128, 1.5, 0.95},
        {"l3-22k-mono.mp3", nullptr, v2LSF, 3, 22050, smSingleChannel, 576, 32, 1.5, 0.95},
        {"l2-48k-stereo.atx", nullptr, v1, 2, 48000, smStereo, 1152, 128, 1.0, 1.0},
        {"riff-l3.wav", "riff-l3.mp3", v1, 3, 44100, smJointStereo, 1152, 128, 1.5, 0.95},
        {"riff-l2.wav", "riff-l2.mp2", v1, 2, 48000, smSingleChannel, 1152, 64, 1.0, 1.0},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.fixture);
        const std::string path =
            item.playAs != nullptr ? Copy(item.fixture, item.playAs) : Fixture(item.fixture);
        EXPECT_TRUE(TMMMPEGFile::CanLoadFile(path));
        reader->SetFileName(path);
        EXPECT_EQ(reader->Version(), item.version);
        EXPECT_EQ(reader->Layer(), item.layer);
        EXPECT_EQ(reader->SampleRate(), item.rate);
        EXPECT_EQ(reader->Mode(), item.mode);
        EXPECT_EQ(reader->GetBitRate(), item.bitRate);
        const int32_t samplesPerFrame = reader->Mpeg().Info().SamplesPerFrame; // packed record
        EXPECT_EQ(samplesPerFrame, item.samplesPerFrame);
        const int channels = item.mode == smSingleChannel ? 1 : 2;
        const WAVEFORMATEX* format = reader->GetPWaveFormat();
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(format->wBitsPerSample, 16);
        EXPECT_EQ(format->nChannels, channels);
        EXPECT_EQ(format->nSamplesPerSec, static_cast<uint32_t>(item.rate));
        EXPECT_EQ(reader->GetBlockAlign(), FrameBytes());

        // A buffer that divides neither the frame nor the block of 4 bytes.
        OpenAndStart(4099);
        Pull pull = PullAll(*reader, reader->GetBufferSize());
        EXPECT_FALSE(pull.lastMore);
        EXPECT_GT(pull.recorded.back(), 0);
        EXPECT_EQ(PullAll(*reader, reader->GetBufferSize()).recorded, std::vector<int32_t>{0});

        // The exact length: every frame whole, as counted when the file was loaded.
        const int64_t samples = static_cast<int64_t>(pull.bytes.size()) / (2 * channels);
        EXPECT_EQ(samples, int64_t{reader->Frames()} * item.samplesPerFrame);
        EXPECT_EQ(reader->GetTime(), std::lround(samples * 1000.0 / item.rate));
        const auto sourceSamples = static_cast<int64_t>(item.seconds * item.rate);
        EXPECT_GE(samples, sourceSamples);
        EXPECT_LE(samples, sourceSamples + EncoderDelay + item.samplesPerFrame);

        const Tone left = Measure(Channel(pull.bytes, channels, 0), item.rate, LeftTone);
        EXPECT_NEAR(left.amplitude, LeftAmplitude * item.gain, LeftAmplitude * 0.02);
        EXPECT_NEAR(left.rms, left.amplitude / std::sqrt(2.0), left.amplitude * 0.02);
        if (channels == 2) {
            const Tone right = Measure(Channel(pull.bytes, 2, 1), item.rate, RightTone);
            EXPECT_NEAR(right.amplitude, RightAmplitude * item.gain, RightAmplitude * 0.02);
            EXPECT_NEAR(right.rms, right.amplitude / std::sqrt(2.0), right.amplitude * 0.02);
        }
        KeepOutput(item.fixture, format, pull.bytes);
        reader->Close();
    }
}

TEST_F(MpegReaderTest, ASeekLandsOnTheFrameAskedFor) {
    // The data after SetPosition(F) is the linear decode from F's first sample. The decoder's
    // rounding depends on the phase of its synthesis filter, which a seek restarts, so single
    // samples may differ by one step; a frame missed by even one sample differs by thousands.
    constexpr int Tolerance = 1;
    for (const char* fixture :
         {"l3-44k-stereo.mp3", "l3-44k-mono.mp3", "l3-22k-mono.mp3", "l2-48k-mono.mp2"}) {
        SCOPED_TRACE(fixture);
        reader->SetFileName(Fixture(fixture));
        const int32_t block = reader->GetPWaveFormat()->nBlockAlign;
        // 1001 samples per pull: divides no frame size.
        const int32_t bufferSize = 1001 * block;
        OpenAndStart(bufferSize);
        ASSERT_EQ(reader->GetBufferSize(), bufferSize);
        const std::vector<uint8_t> linear = PullAll(*reader, bufferSize).bytes;
        const int32_t frames = reader->Frames();
        const auto frameBytes = static_cast<std::size_t>(FrameBytes());
        ASSERT_EQ(linear.size(), frames * frameBytes);

        int missed = 0;
        for (int32_t frame = 0; frame < frames; ++frame) {
            reader->SetPosition(frame);
            EXPECT_EQ(reader->GetPosition(), frame);
            const Pull after = PullAll(*reader, bufferSize, -1, 3);
            const std::size_t offset = frame * frameBytes;
            const std::size_t compared = std::min(after.bytes.size(), linear.size() - offset);
            EXPECT_EQ(compared, std::min<std::size_t>(3 * bufferSize, linear.size() - offset));
            const int64_t at =
                FirstDifference(after.bytes.data(), linear.data() + offset, compared, Tolerance);
            if (at >= 0 && missed++ < 3)
                ADD_FAILURE() << "seek to frame " << frame << " differs at sample " << at;
        }
        EXPECT_EQ(missed, 0);

        // At and past the end there is nothing left to deliver.
        for (int32_t frame : {frames, frames + 5}) {
            reader->SetPosition(frame);
            EXPECT_EQ(PullAll(*reader, bufferSize).recorded, std::vector<int32_t>{0});
        }

        // A position set while closed is where Open starts, and Start returns there again.
        reader->Close();
        const int32_t kept = frames / 2;
        reader->SetPosition(kept);
        OpenAndStart(bufferSize);
        EXPECT_EQ(reader->GetPosition(), kept);
        const std::vector<uint8_t> fromKept = PullAll(*reader, bufferSize).bytes;
        ASSERT_EQ(fromKept.size(), linear.size() - kept * frameBytes);
        EXPECT_EQ(FirstDifference(fromKept.data(), linear.data() + kept * frameBytes,
                                  fromKept.size(), Tolerance),
                  -1);
        reader->Stop();
        reader->Start();
        EXPECT_EQ(reader->GetPosition(), kept);
        reader->Close();
    }
}

TEST_F(MpegReaderTest, ChannelModesDeliverOneSideTheMixOrBoth) {
    struct Case {
        TChannelMode mode;
        uint16_t channels;
        double leftTone;  // amplitude of 1 kHz in the first channel
        double rightTone; // amplitude of 2.5 kHz in the first channel
    };
    const Case cases[] = {
        {cmBoth, 2, LeftAmplitude, 0},
        {cmLeft, 1, LeftAmplitude, 0},
        {cmRight, 1, 0, RightAmplitude},
        {cmDownMix, 1, LeftAmplitude / 2, RightAmplitude / 2},
    };
    reader->SetFileName(Fixture("l2-48k-stereo.mp2"));
    int changes = 0;
    reader->OnChanged = [&](TObject*) { ++changes; };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.mode);
        reader->SetChannelMode(item.mode);
        EXPECT_EQ(reader->ChannelMode(), item.mode);
        // Downstream links hear of the new format.
        EXPECT_EQ(reader->GetPWaveFormat()->nChannels, item.channels);
        EXPECT_EQ(reader->Channels(), item.channels);
        OpenAndStart(4096);
        const Pull pull = PullAll(*reader, reader->GetBufferSize());
        const std::vector<int16_t> first = Channel(pull.bytes, item.channels, 0);
        EXPECT_NEAR(Measure(first, 48000, LeftTone).amplitude, item.leftTone, 300);
        EXPECT_NEAR(Measure(first, 48000, RightTone).amplitude, item.rightTone, 300);
        EXPECT_EQ(pull.bytes.size(),
                  static_cast<std::size_t>(reader->Frames()) * 1152 * 2 * item.channels);
        try {
            reader->SetChannelMode(item.mode == cmBoth ? cmLeft : cmBoth);
            ADD_FAILURE() << "the channel mode changed while the file was open";
        } catch (const EMMMpegError& error) {
            EXPECT_STREQ(error.what(), "Change to property while device was open");
        }
        KeepOutput("channel-mode-" + std::to_string(item.mode), reader->GetPWaveFormat(),
                   pull.bytes);
        reader->Close();
    }
    EXPECT_EQ(changes, 3); // the first case is the mode the reader starts in
}

TEST_F(MpegReaderTest, SilentWhenDisabledOrNotStartedWithoutMoving) {
    const std::string path = Fixture("l3-44k-stereo.mp3");
    const std::vector<uint8_t> linear = DecodeAll(path);
    reader->SetFileName(path);
    reader->SetBufferSize(4000);
    reader->Open(); // opened, not started
    for (bool started : {false, true}) {
        SCOPED_TRACE(started);
        if (started) {
            reader->Start();
            reader->SetEnabled(false);
        }
        const Pull pull = PullAll(*reader, 4000, -1, 3);
        ASSERT_EQ(pull.recorded, std::vector<int32_t>(3, 4000));
        EXPECT_TRUE(pull.lastMore);
        EXPECT_EQ(pull.bytes, std::vector<uint8_t>(3 * 4000, 0));
    }
    reader->SetEnabled(true);
    const Pull pull = PullAll(*reader, 4000);
    EXPECT_EQ(pull.bytes, linear);
}

TEST_F(MpegReaderTest, LoopCountsGiveTheirPassesAndZeroNeverEnds) {
    const std::string path = Fixture("l2-48k-mono.mp2");
    const std::vector<uint8_t> once = DecodeAll(path);
    reader->SetFileName(path);
    OpenAndStart(3000);

    const Pull twice = PullAll(*reader, 3000, 2);
    std::vector<uint8_t> expected;
    for (int pass = 0; pass < 3; ++pass)
        expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(twice.bytes, expected);
    EXPECT_EQ(twice.wraps, 2);
    EXPECT_FALSE(twice.lastMore);

    reader->SetPosition(0);
    const Pull endless = PullAll(*reader, 3000, 0, 200);
    EXPECT_EQ(endless.recorded.size(), 200u);
    EXPECT_TRUE(endless.lastMore);
    EXPECT_GE(endless.wraps, 6); // 200 pulls of 1500 samples, 48384 samples a pass
}

TEST_F(MpegReaderTest, DamagedStreamsPlayWhatDecodesAndEndCleanly) {
    const std::vector<uint8_t> intact = DecodeAll(Fixture("l3-44k-stereo.mp3"));
    struct Case {
        const char* fixture;
        int32_t frames;     // the whole frames left in the file
        int32_t sameFrames; // decoded as in the intact file: the frames before the damage
    };
    // The truncated file ends inside frame 36; the corrupt one lost two frames in the middle.
    for (const Case& item : {Case{"l3-truncated.mp3", 35, 35}, Case{"l3-corrupt.mp3", 57, 26}}) {
        SCOPED_TRACE(item.fixture);
        const std::string path = Fixture(item.fixture);
        EXPECT_TRUE(TMMMPEGFile::CanLoadFile(path));
        reader->SetFileName(path);
        EXPECT_EQ(reader->Frames(), item.frames);
        OpenAndStart(4099);
        const Pull pull = PullAll(*reader, reader->GetBufferSize());
        EXPECT_FALSE(pull.lastMore);
        EXPECT_EQ(PullAll(*reader, reader->GetBufferSize()).recorded, std::vector<int32_t>{0});
        EXPECT_EQ(pull.bytes.size(), std::size_t{4608} * item.frames);
        const std::size_t same = std::size_t{4608} * item.sameFrames;
        ASSERT_GE(pull.bytes.size(), same);
        EXPECT_TRUE(std::equal(pull.bytes.begin(), pull.bytes.begin() + same, intact.begin()));
        EXPECT_NEAR(Measure(Channel(pull.bytes, 2, 0), 44100, LeftTone).amplitude,
                    LeftAmplitude * 0.95, LeftAmplitude * 0.02);
        KeepOutput(item.fixture, reader->GetPWaveFormat(), pull.bytes);
        reader->Close();
    }
}

// Replaces the file descriptor the decoder reads from with one that fails every read.
bool BreakOpenFile(const std::string& path) {
    const std::string target = std::filesystem::canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto link = std::filesystem::read_symlink(entry.path(), error);
        if (error || link.string() != target)
            continue;
        const int fd = std::stoi(entry.path().filename().string());
        const int folder = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool replaced = folder >= 0 && dup2(folder, fd) == fd;
        if (folder >= 0)
            close(folder);
        return replaced;
    }
    return false;
}

TEST_F(MpegReaderTest, AReadErrorWhilePlayingReachesOnError) {
    for (bool handle : {true, false}) {
        SCOPED_TRACE(handle);
        const std::string path = Copy("l3-44k-stereo.mp3", "broken.mp3");
        reader->SetFileName(path);
        OpenAndStart(4608);
        ASSERT_EQ(PullAll(*reader, 4608, -1, 1).recorded, std::vector<int32_t>{4608});
        ASSERT_TRUE(BreakOpenFile(path));
        int errors = 0;
        reader->OnError = [&](TObject* sender, bool& handled) {
            EXPECT_EQ(sender, reader);
            ++errors;
            handled = handle;
        };
        if (handle) {
            // The failing pull leaves a short silent block, and the stream ends there.
            const Pull pull = PullAll(*reader, 4608);
            EXPECT_EQ(errors, 1);
            EXPECT_EQ(pull.recorded.back(), 4);
            EXPECT_FALSE(pull.lastMore);
            EXPECT_EQ(std::vector<uint8_t>(pull.bytes.end() - 4, pull.bytes.end()),
                      std::vector<uint8_t>(4, 0));
        } else {
            EXPECT_THROW(PullAll(*reader, 4608), EMMMpegError);
            EXPECT_EQ(errors, 1);
        }
        reader->OnError = nullptr;
        reader->Close();
    }
}

TEST_F(MpegReaderTest, LoadingRulesErrorsAndPublishedValues) {
    int changes = 0;
    reader->OnChanged = [&](TObject*) { ++changes; };
    const std::string good = Fixture("l3-44k-stereo.mp3");
    EXPECT_TRUE(reader->SetPublishedValue("FileName", std::string(good)));
    EXPECT_EQ(reader->GetFileName(), good);
    EXPECT_EQ(reader->Frames(), 59);
    EXPECT_EQ(changes, 1);

    // A file that holds no MPEG audio is refused and leaves the reader without a file.
    const std::string text = dir.Write("text.mp3", std::vector<uint8_t>(2000, 'a'));
    try {
        reader->SetFileName(text);
        ADD_FAILURE() << "a text file loaded";
    } catch (const EMMMpegError& error) {
        EXPECT_STREQ(error.what(), "The file holds no MPEG audio");
    }
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(reader->IsEmpty());
    EXPECT_EQ(reader->GetPWaveFormat(), nullptr);
    EXPECT_EQ(reader->GetFileName(), "");
    EXPECT_EQ(reader->Version(), v1);
    EXPECT_EQ(reader->Time(), 0);
    EXPECT_EQ(reader->GetBlockAlign(), 0);
    OpenAndStart(4096);
    EXPECT_FALSE(reader->FileOpen());
    EXPECT_EQ(PullAll(*reader, 4096).recorded, std::vector<int32_t>{0});
    reader->Close();

    // Bytes behind the stream that are declared a trailing header are never decoded: here
    // the frames of another stream.
    std::vector<uint8_t> padded = ReadFile(good);
    const std::vector<uint8_t> trailer = ReadFile(Fixture("l2-48k-mono.mp2"));
    padded.insert(padded.end(), trailer.begin(), trailer.end());
    const std::string withTrailer = dir.Write("trailer.mp3", padded);
    reader->SetFileName(withTrailer);
    EXPECT_GT(reader->Frames(), 59);
    EXPECT_TRUE(reader->SetPublishedValue("TrailingHeader", static_cast<int64_t>(trailer.size())));
    EXPECT_EQ(reader->GetTrailingHeader(), static_cast<int32_t>(trailer.size()));
    reader->SetFileName(withTrailer);
    EXPECT_EQ(reader->Frames(), 59);
    reader->SetTrailingHeader(0);

    for (bool exact : {true, false}) {
        EXPECT_TRUE(reader->SetPublishedValue("Exactposition", exact));
        EXPECT_EQ(reader->Exactposition(), exact);
    }
    EXPECT_TRUE(reader->SetPublishedValue("ChannelMode", int64_t{cmDownMix}));
    EXPECT_EQ(reader->ChannelMode(), cmDownMix);
    EXPECT_TRUE(reader->SetPublishedValue("Enabled", false));
    EXPECT_FALSE(reader->GetEnabled());
    // The reader publishes Output only.
    EXPECT_FALSE(reader->SetPublishedLink("Input", nullptr));
    EXPECT_TRUE(reader->SetPublishedLink("Output", nullptr));

    reader->SetFileName("");
    EXPECT_TRUE(reader->IsEmpty());
    EXPECT_EQ(reader->GetPWaveFormat(), nullptr);
}

TEST(MpegReaderClass, CanLoadFileJudgesTheExtensionThenTheContent) {
    TempDir dir;
    const std::vector<uint8_t> mp3 = ReadFile(Fixture("l3-44k-stereo.mp3"));
    const std::vector<uint8_t> riffMp3 = ReadFile(Fixture("riff-l3.wav"));
    const std::vector<uint8_t> riffMp2 = ReadFile(Fixture("riff-l2.wav"));
    const std::vector<uint8_t> pcm = MakeWave(PcmFormat(2, 44100, 16), RampBytes(40000));
    const std::vector<uint8_t> text(3000, 'x');
    struct Case {
        const char* name;
        const std::vector<uint8_t>* content;
        bool expected;
    };
    const Case cases[] = {
        {"a.mp3", &mp3, true},
        {"b.MP3", &mp3, true},
        {"noextension", &mp3, true},
        {"c.wav", &mp3, false},
        {"d.atx", &mp3, true},
        {"text.mp3", &text, false},
        {"riff.mp3", &riffMp3, true},
        {"riff.wav", &riffMp3, false},
        {"riff.mp2", &riffMp2, true},
        {"pcm.mp3", &pcm, false},
        {"pcm-noextension", &pcm, false},
    };
    for (const Case& item : cases)
        EXPECT_EQ(TMMMPEGFile::CanLoadFile(dir.Write(item.name, *item.content)), item.expected)
            << item.name;
    EXPECT_FALSE(TMMMPEGFile::CanLoadFile(dir.Path("missing.mp3").string()));
    EXPECT_FALSE(TMMMPEGFile::CanLoadFile(""));

    TMMAudioFileInfo info;
    EXPECT_EQ(TMMMPEGFile::GetFileInfo(dir.Path("a.mp3").string(), info), 1);
    EXPECT_EQ(info.Length, 1541); // 59 frames of 1152 samples at 44100 Hz
    EXPECT_EQ(info.FileName, "a.mp3");
    EXPECT_EQ(TMMMPEGFile::GetFileInfo(dir.Path("text.mp3").string(), info), 0);
}

// ---- the decoder's availability -------------------------------------------------------------

int loadChecks = 0;
bool FailingLoad() {
    ++loadChecks;
    return false;
}
bool WorkingLoad() {
    ++loadChecks;
    return true;
}
int32_t OldVersion() {
    return 24;
}
int32_t CurrentVersion() {
    return 25;
}

struct MpegLibraryTest : ::testing::Test {
    std::vector<std::string> dialogs;
    TempDir dir;
    void SetUp() override {
        loadChecks = 0;
        platform::SetMessageBoxHandler(
            [this](const std::string& text, const std::string&) { dialogs.push_back(text); });
    }
    void TearDown() override {
        SetMpegLibraryChecks({});
        platform::SetMessageBoxHandler(nullptr);
    }
};

TEST_F(MpegLibraryTest, FailuresShowTheirDialogEachTimeUntilTheDecoderLoads) {
    const std::vector<uint8_t> mp3 = ReadFile(Fixture("l3-44k-stereo.mp3"));
    const std::string file = dir.Write("a.mp3", mp3);
    TMMComponentOwner owner;

    SetMpegLibraryChecks({FailingLoad, nullptr});
    // A wave file name is refused before the decoder is looked at.
    EXPECT_FALSE(TMMMPEGFile::CanLoadFile(dir.Write("a.wav", mp3)));
    EXPECT_EQ(loadChecks, 0);
    EXPECT_TRUE(dialogs.empty());

    EXPECT_FALSE(TMMMPEGFile::CanLoadFile(file));
    try {
        new TMMMPEGFile(&owner);
        ADD_FAILURE() << "a reader was made without its decoder";
    } catch (const EMMMpegError& error) {
        EXPECT_STREQ(error.what(), "Unable to load MMMPEG32.DLL");
    }
    EXPECT_TRUE(owner.Components().empty());
    EXPECT_EQ(dialogs, std::vector<std::string>(2, "Unable to load MMMPEG32.DLL"));

    SetMpegLibraryChecks({WorkingLoad, OldVersion});
    EXPECT_FALSE(TMMMPEGFile::CanLoadFile(file));
    EXPECT_EQ(dialogs.back(), "Invalid Mpeg Decoder DLL version");

    // The first success is kept: no further checks, no dialogs.
    SetMpegLibraryChecks({WorkingLoad, CurrentVersion});
    loadChecks = 0;
    dialogs.clear();
    EXPECT_TRUE(TMMMPEGFile::CanLoadFile(file));
    auto* reader = new TMMMPEGFile(&owner);
    reader->SetFileName(file);
    EXPECT_EQ(reader->Frames(), 59);
    EXPECT_EQ(loadChecks, 1);
    EXPECT_TRUE(dialogs.empty());
}

} // namespace
