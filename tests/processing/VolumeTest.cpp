#include "chain/MMMsgs.h"
#include "processing/MMVolume.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

// Hands out the same block on every pull.
class BlockSource : public TMMDSPComponent {
public:
    BlockSource(TMMComponentOwner* owner, const WAVEFORMATEX& format) : TMMDSPComponent(owner) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(&format);
    }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        const std::size_t count = std::min<std::size_t>(block.size(), header->dwBufferLength);
        if (count > 0)
            std::memcpy(header->lpData, block.data(), count);
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = true;
    }
    std::vector<uint8_t> block;
};

// Keeps what is pushed to it.
class Sink : public TMMDSPComponent {
public:
    explicit Sink(TMMComponentOwner* owner) : TMMDSPComponent(owner) { SetPublishedLinks(plInput); }
    void BufferReady(PMMChainHdr header) override {
        received.assign(header->lpData, header->lpData + header->dwBytesRecorded);
    }
    std::vector<uint8_t> received;
};

// Sample values to little-endian bytes: 8-bit values are the unsigned byte values.
std::vector<uint8_t> Encode(int bits, const std::vector<int>& samples) {
    std::vector<uint8_t> bytes;
    for (int sample : samples) {
        bytes.push_back(static_cast<uint8_t>(sample & 0xFF));
        if (bits == 16)
            bytes.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
    }
    return bytes;
}

std::vector<int> Decode(int bits, const std::vector<uint8_t>& bytes) {
    std::vector<int> samples;
    for (std::size_t i = 0; i + static_cast<std::size_t>(bits / 8) <= bytes.size(); i += bits / 8)
        samples.push_back(bits == 8 ? bytes[i]
                                    : static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return samples;
}

struct VolumeTest : ::testing::Test {
    TMMComponentOwner owner;
    TMMVolume* volume = new TMMVolume(&owner);
    Sink* sink = new Sink(&owner);

    // Pulls one block of up to `length` bytes through the stage from `source`.
    std::vector<uint8_t> Pull(uint32_t length) {
        std::vector<uint8_t> data(length, 0xEE);
        TMMChainHdr header{};
        header.lpData = reinterpret_cast<char*>(data.data());
        header.dwBufferLength = length;
        bool more = false;
        volume->BufferLoad(&header, more);
        data.resize(header.dwBytesRecorded);
        return data;
    }
    // Pushes `bytes` through the stage; what reached the next link.
    std::vector<uint8_t> Push(std::vector<uint8_t> bytes) {
        TMMChainHdr header{};
        header.lpData = reinterpret_cast<char*>(bytes.data());
        header.dwBufferLength = static_cast<uint32_t>(bytes.size());
        header.dwBytesRecorded = static_cast<uint32_t>(bytes.size());
        volume->BufferReady(&header);
        return sink->received;
    }
};

TEST_F(VolumeTest, ScalesPulledAndPushedBlocksAlike) {
    struct Case {
        const char* name;
        uint16_t bits, channels;
        int32_t volume, panning;
        bool enabled;
        int32_t storedVolume, storedPanning, leftGain, rightGain;
        std::vector<int> in, out;
    };
    const Case cases[] = {
        {"unity leaves the data",
         16,
         2,
         16384,
         0,
         true,
         16384,
         0,
         16384,
         16384,
         {1000, -1000, 32767, -32768},
         {1000, -1000, 32767, -32768}},
        {"40000 is clamped to 32768, which doubles",
         16,
         2,
         40000,
         0,
         true,
         32768,
         0,
         32768,
         32768,
         {1000, -1000, 20000, -20000},
         {2000, -2000, 32767, -32768}},
        {"-5 is clamped to 0: 16-bit silence",
         16,
         2,
         -5,
         0,
         true,
         0,
         0,
         0,
         0,
         {1000, -1000, 32767, -32768},
         {0, 0, 0, 0}},
        {"-5 is clamped to 0: 8-bit silence",
         8,
         1,
         -5,
         0,
         true,
         0,
         0,
         0,
         0,
         {0, 200, 255, 128},
         {128, 128, 128, 128}},
        {"panning 20000 is clamped to 16384: the left is silent",
         16,
         2,
         12000,
         20000,
         true,
         12000,
         16384,
         0,
         12000,
         {16384, 16384, -16384, -16384},
         {0, 12000, 0, -12000}},
        {"panning -20000 is clamped to -16384: the right is silent",
         16,
         2,
         16384,
         -20000,
         true,
         16384,
         -16384,
         16384,
         0,
         {1000, 1000},
         {1000, 0}},
        {"half volume rounds towards minus infinity",
         16,
         1,
         8192,
         0,
         true,
         8192,
         0,
         8192,
         8192,
         {1000, -1, -3, 1},
         {500, -1, -2, 0}},
        {"8-bit stereo at half volume",
         8,
         2,
         8192,
         0,
         true,
         8192,
         0,
         8192,
         8192,
         {200, 56, 128, 0},
         {164, 92, 128, 64}},
        {"disabled passes the data unchanged",
         16,
         2,
         8192,
         0,
         false,
         8192,
         0,
         8192,
         8192,
         {1000, -1000},
         {1000, -1000}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        auto* source = new BlockSource(&owner, PcmFormat(item.channels, 44100, item.bits));
        source->block = Encode(item.bits, item.in);
        volume->SetInput(source);
        volume->SetOutput(sink);
        volume->SetVolume(item.volume);
        volume->SetPanning(item.panning);
        volume->SetEnabled(item.enabled);
        EXPECT_EQ(volume->Volume(), item.storedVolume);
        EXPECT_EQ(volume->Panning(), item.storedPanning);
        EXPECT_EQ(volume->LeftGain(), item.leftGain);
        EXPECT_EQ(volume->RightGain(), item.rightGain);
        volume->Open();
        ASSERT_TRUE(volume->Ready());
        EXPECT_EQ(Decode(item.bits, Pull(4096)), item.out);
        EXPECT_EQ(Decode(item.bits, Push(Encode(item.bits, item.in))), item.out);
        volume->Close();
        DestroyComponent(source);
    }
}

TEST_F(VolumeTest, EmptyBlocksAreNotTouched) {
    auto* source = new BlockSource(&owner, PcmFormat(2, 44100, 16));
    volume->SetInput(source);
    volume->SetOutput(sink);
    volume->SetVolume(8192);
    volume->Open();
    std::vector<uint8_t> data(16, 0x40);
    TMMChainHdr header{};
    header.lpData = reinterpret_cast<char*>(data.data());
    header.dwBufferLength = 16;
    bool more = false;
    volume->BufferLoad(&header, more); // the source has nothing
    EXPECT_EQ(header.dwBytesRecorded, 0u);
    volume->BufferReady(&header);
    EXPECT_EQ(data, std::vector<uint8_t>(16, 0x40));
}

TEST_F(VolumeTest, OnlyValidPCMIsTakenAndScaledFromTheNextOpen) {
    const WAVEFORMATEX stereo8 = PcmFormat(2, 22050, 8);
    volume->SetPWaveFormat(&stereo8);
    EXPECT_EQ(volume->GetPWaveFormat()->wBitsPerSample, 8);

    WAVEFORMATEX compressed = PcmFormat(2, 44100, 16);
    compressed.wFormatTag = 2;
    for (const WAVEFORMATEX& format :
         {compressed, PcmFormat(3, 44100, 16), PcmFormat(2, 100001, 16), PcmFormat(2, 44100, 24)}) {
        try {
            volume->SetPWaveFormat(&format);
            ADD_FAILURE() << "accepted";
        } catch (const EMMVolumeError& error) {
            EXPECT_STREQ(error.what(), "Invalid WaveFormat");
        }
        EXPECT_EQ(volume->GetPWaveFormat()->nSamplesPerSec, 22050u); // unchanged
    }

    // Opened without a format, the stage passes data unscaled until it is opened again.
    volume->SetPWaveFormat(nullptr);
    volume->SetVolume(8192);
    volume->SetOutput(sink);
    volume->Open();
    EXPECT_FALSE(volume->Ready());
    const WAVEFORMATEX stereo16 = PcmFormat(2, 44100, 16);
    volume->SetPWaveFormat(&stereo16);
    const std::vector<uint8_t> block = Encode(16, {1000, -1000});
    EXPECT_EQ(Push(block), block);
    volume->Close();
    volume->Open();
    EXPECT_TRUE(volume->Ready());
    EXPECT_EQ(Decode(16, Push(block)), (std::vector<int>{500, -500}));
    volume->Close();
    EXPECT_FALSE(volume->Ready());
}

TEST(VolumeDescription, LoadsItsPropertiesAndLinks) {
    RegisterVolumeClass();
    TMMComponentOwner owner;
    TComponentsDescription description;
    description.components = {
        {"TMMVolume",
         "Volume1",
         {{"Volume", int64_t{40000}}, {"Panning", int64_t{-20000}}, {"Enabled", false}}},
        {"TMMVolume", "Volume2", {}},
    };
    description.links = {{"Volume2", "Input", "Volume1"}};
    owner.Load(description);
    auto* first = owner.Find<TMMVolume>("Volume1");
    auto* second = owner.Find<TMMVolume>("Volume2");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Volume(), 32768);
    EXPECT_EQ(first->Panning(), -16384);
    EXPECT_EQ(first->RightGain(), 0);
    EXPECT_FALSE(first->Enabled());
    EXPECT_EQ(first->Output(), second);

    TComponentsDescription wrong;
    wrong.components = {{"TMMVolume", "Volume3", {{"Loop1", true}}}};
    EXPECT_THROW(owner.Load(wrong), std::invalid_argument);
}

} // namespace
