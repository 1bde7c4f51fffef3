#include "sources/MMWave.h"
#include "chain/MMMsgs.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

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

struct WaveReaderTest : ::testing::Test {
    TempDir dir;
    TMMComponentOwner owner;
    TMMWaveFile* reader = new TMMWaveFile(&owner);

    std::string WriteWave(const std::string& name, const WAVEFORMATEX& format,
                          const std::vector<uint8_t>& data) {
        return dir.Write(name, MakeWave(format, data));
    }
    void OpenAndStart(int32_t bufferSize) {
        reader->SetBufferSize(bufferSize);
        reader->Open();
        reader->Start();
    }
};

TEST_F(WaveReaderTest, DeliversEveryByteOfTheFileWithAwkwardBufferSizes) {
    // 6-byte blocks (24-bit stereo) and buffer sizes that do not divide them.
    const auto format = PcmFormat(2, 48000, 24);
    const auto data = RampBytes(6 * 10007);
    const std::string path = WriteWave("ramp.wav", format, data);
    for (int32_t bufferSize : {6, 4096, 4097, 70000}) {
        SCOPED_TRACE(bufferSize);
        reader->SetFileName(path);
        OpenAndStart(bufferSize);
        const int32_t real = reader->GetBufferSize();
        EXPECT_EQ(real % 6, 0);
        Pull pull = PullAll(*reader, real);
        EXPECT_EQ(pull.bytes, data);
        EXPECT_FALSE(pull.lastMore);
        // The last pull with data ends the stream; a further one delivers nothing.
        EXPECT_GT(pull.recorded.back(), 0);
        Pull after = PullAll(*reader, real);
        EXPECT_EQ(after.recorded, std::vector<int32_t>{0});
        reader->Close();
    }
}

TEST_F(WaveReaderTest, LoopCountsGiveTheirPassesAndZeroNeverEnds) {
    const auto format = PcmFormat(1, 8000, 16);
    const auto data = RampBytes(2 * 1000);
    reader->SetFileName(WriteWave("loop.wav", format, data));
    OpenAndStart(512);

    Pull twice = PullAll(*reader, 512, 2);
    std::vector<uint8_t> expected;
    for (int pass = 0; pass < 3; ++pass)
        expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(twice.bytes, expected);
    EXPECT_EQ(twice.wraps, 2);

    reader->SetPosition(0);
    Pull endless = PullAll(*reader, 512, 0, 200);
    EXPECT_EQ(endless.recorded.size(), 200u);
    EXPECT_TRUE(endless.lastMore);
    EXPECT_GE(endless.wraps, 40);
}

TEST_F(WaveReaderTest, SilentWhenDisabledOrNotStartedAndNeverEnds) {
    struct Case {
        uint16_t bits;
        uint8_t silence;
    };
    for (const Case& item : {Case{8, 128}, Case{16, 0}}) {
        reader->SetFileName(WriteWave("s" + std::to_string(item.bits) + ".wav",
                                      PcmFormat(1, 8000, item.bits), RampBytes(64)));
        EXPECT_EQ(reader->SilenceByte(), item.silence);
        reader->SetBufferSize(1000);
        reader->Open(); // opened, not started
        for (bool started : {false, true}) {
            if (started) {
                reader->Start();
                reader->SetEnabled(false);
            }
            Pull pull = PullAll(*reader, reader->GetBufferSize(), -1, 3);
            ASSERT_EQ(pull.recorded.size(), 3u);
            EXPECT_TRUE(pull.lastMore);
            EXPECT_EQ(pull.bytes, std::vector<uint8_t>(3 * 1000, item.silence));
        }
        reader->SetEnabled(true);
        reader->Close();
    }
}

TEST_F(WaveReaderTest, AReaderWithoutDataEndsAtOnce) {
    reader->Wave().FileMustExist = false;
    reader->SetFileName(dir.Path("missing.wav").string());
    EXPECT_TRUE(reader->IsEmpty());
    EXPECT_EQ(reader->GetPWaveFormat(), nullptr);
    OpenAndStart(4096);
    EXPECT_FALSE(reader->FileOpen());
    EXPECT_EQ(PullAll(*reader, 4096).recorded, std::vector<int32_t>{0});
}

TEST_F(WaveReaderTest, PositionsAreClampedAndTheEndDeliversNothing) {
    const auto format = PcmFormat(2, 44100, 16);
    const auto data = RampBytes(4 * 44100);
    reader->SetFileName(WriteWave("pos.wav", format, data));
    EXPECT_EQ(reader->GetTime(), 1000);
    OpenAndStart(4096);
    reader->SetTimePosition(500);
    EXPECT_EQ(reader->GetTimePosition(), 500);
    Pull half = PullAll(*reader, 4096);
    EXPECT_EQ(half.bytes, std::vector<uint8_t>(data.begin() + 4 * 22050, data.end()));

    for (int32_t position : {44100, 1 << 30}) {
        reader->SetPosition(position);
        EXPECT_EQ(PullAll(*reader, 4096).recorded, std::vector<int32_t>{0});
    }
    // Start seeks back to the position kept at Open.
    reader->Stop();
    reader->Start();
    EXPECT_EQ(PullAll(*reader, 4096).bytes, data);
}

TEST_F(WaveReaderTest, AFileThatShrinksWhilePlayingEndsWithAShortSilentBlock) {
    const auto format = PcmFormat(2, 44100, 16);
    const auto data = RampBytes(4 * 40000);
    const std::string path = WriteWave("shrink.wav", format, data);
    reader->SetFileName(path);
    OpenAndStart(4096);
    Pull first = PullAll(*reader, 4096, -1, 1);
    ASSERT_EQ(first.recorded, std::vector<int32_t>{4096});
    std::filesystem::resize_file(path, 44 + 4 * 10000);
    Pull rest = PullAll(*reader, 4096);
    ASSERT_GE(rest.recorded.size(), 2u);
    EXPECT_EQ(rest.recorded.back(), 4);
    EXPECT_FALSE(rest.lastMore);
    EXPECT_EQ(std::vector<uint8_t>(rest.bytes.end() - 4, rest.bytes.end()),
              std::vector<uint8_t>(4, 0));
    const std::vector<uint8_t> played(rest.bytes.begin(), rest.bytes.end() - 4);
    EXPECT_TRUE(std::equal(played.begin(), played.end(), data.begin() + 4096));
    EXPECT_EQ(PullAll(*reader, 4096).recorded, std::vector<int32_t>{0});
}

TEST_F(WaveReaderTest, LoadingRulesAndErrors) {
    const auto format = PcmFormat(1, 8000, 8);
    const std::string good = WriteWave("good.wav", format, RampBytes(800));
    int changes = 0;
    reader->OnChanged = [&](TObject*) { ++changes; };

    reader->SetFileName(good);
    EXPECT_EQ(changes, 1);
    reader->SetFileName(good); // same name, same size: nothing happens
    EXPECT_EQ(changes, 1);
    WriteWave("good.wav", format, RampBytes(1600)); // rewritten with a new size: reloaded
    reader->SetFileName(good);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(reader->Wave().DataSize(), 1600);

    const std::string text = dir.Write("text.wav", {'h', 'e', 'l', 'l', 'o'});
    try {
        reader->SetFileName(text);
        FAIL() << "a text file loaded";
    } catch (const EMMWaveError& error) {
        EXPECT_STREQ(error.what(), "Invalid wave file...");
    }
    try {
        reader->SetFileName(dir.Path("missing.wav").string());
        FAIL() << "a missing file loaded";
    } catch (const EMMWaveError& error) {
        EXPECT_STREQ(error.what(), "Error reading wave file");
    }
    // The failed loads kept the file that was loaded.
    EXPECT_EQ(reader->GetFileName(), good);
    EXPECT_EQ(reader->Wave().DataSize(), 1600);

    reader->SetFileName("");
    EXPECT_TRUE(reader->IsEmpty());
    EXPECT_EQ(reader->GetPWaveFormat(), nullptr);
}

TEST(WaveReaderClass, CanLoadFileJudgesTheExtensionThenTheContent) {
    TempDir dir;
    const auto wave = MakeWave(PcmFormat(1, 8000, 16), RampBytes(100));
    struct Case {
        const char* name;
        std::vector<uint8_t> content;
        bool expected;
    };
    const Case cases[] = {
        {"a.wav", wave, true},  {"b.WAV", wave, true},   {"noextension", wave, true},
        {"c.mp3", wave, false}, {"d.wav", {'x'}, false}, {"dir.wav.d/e", wave, true},
    };
    std::filesystem::create_directory(dir.Path("dir.wav.d"));
    for (const Case& item : cases)
        EXPECT_EQ(TMMCustomWaveFile::CanLoadFile(dir.Write(item.name, item.content)), item.expected)
            << item.name;
    EXPECT_EQ(TMMCustomWaveFile::GetFileFilter(), "Wave Files(*.wav)|*.wav");
    TMMAudioFileInfo info;
    EXPECT_EQ(TMMCustomWaveFile::GetFileInfo(dir.Path("a.wav").string(), info), 1);
    EXPECT_EQ(info.Length, 6); // 50 samples at 8000 Hz
    EXPECT_EQ(info.FileName, "a.wav");
}

TEST_F(WaveReaderTest, OpenAndCloseEventsAndTheDescription) {
    RegisterWaveFileClass();
    const std::string path = WriteWave("d.wav", PcmFormat(2, 22050, 16), RampBytes(4 * 100));
    TMMComponentOwner form;
    form.Load(
        {{{"TMMWaveFile", "Reader", {{"Wave.FileName", path}, {"BufferSize", int64_t{64}}}}}, {}});
    auto* described = form.Find<TMMWaveFile>("Reader");
    ASSERT_NE(described, nullptr);
    ASSERT_NE(described->GetPWaveFormat(), nullptr);
    EXPECT_EQ(described->GetPWaveFormat()->nSamplesPerSec, 22050u);

    std::vector<std::string> events;
    described->OnOpen = [&](TObject*) { events.push_back("open"); };
    described->OnClose = [&](TObject*) { events.push_back("close"); };
    described->Open();
    described->Start();
    EXPECT_EQ(PullAll(*described, described->GetBufferSize()).bytes.size(), 400u);
    described->Close();
    EXPECT_EQ(events, (std::vector<std::string>{"open", "close"}));
}

// A source that hands out a known stream, for recording through a reader with an Input.
class RampSource : public TMMDSPComponent {
public:
    RampSource(TMMComponentOwner* owner, std::vector<uint8_t> data, const WAVEFORMATEX& format)
        : TMMDSPComponent(owner), data_(std::move(data)) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(&format);
    }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        const std::size_t count = std::min<std::size_t>(header->dwBufferLength, data_.size() - at_);
        std::memcpy(header->lpData, data_.data() + at_, count);
        at_ += count;
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = at_ < data_.size();
    }

private:
    std::vector<uint8_t> data_;
    std::size_t at_ = 0;
};

TEST_F(WaveReaderTest, RecordingWritesWhatPassesThroughIntoANewFile) {
    const auto format = PcmFormat(2, 44100, 16);
    const auto data = RampBytes(4 * 3000);
    auto* source = new RampSource(&owner, data, format);
    reader->Wave().FileMustExist = false;
    const std::string path = dir.Path("recorded.wav").string();
    reader->SetFileName(path);
    reader->SetInput(source);
    ASSERT_EQ(reader->Input(), source);
    OpenAndStart(1000);
    Pull pull = PullAll(*reader, reader->GetBufferSize());
    EXPECT_EQ(pull.bytes, data); // passed on unchanged
    reader->Close();

    // The completed file reads back as the same stream.
    TMMComponentOwner other;
    auto* player = new TMMWaveFile(&other);
    player->SetFileName(path);
    ASSERT_NE(player->GetPWaveFormat(), nullptr);
    EXPECT_EQ(std::memcmp(player->GetPWaveFormat(), &format, 16), 0);
    player->Open();
    player->Start();
    EXPECT_EQ(PullAll(*player, 4096).bytes, data);
}

} // namespace
