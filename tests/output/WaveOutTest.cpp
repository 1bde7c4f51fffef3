#include "chain/MMMsgs.h"
#include "output/MMWavOut.h"
#include "platform/WaveOutVirtual.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

// A source that hands out a fixed stream in the pull protocol, with hooks for faults.
class StreamSource : public TMMDSPComponent {
public:
    StreamSource(TMMComponentOwner* owner, const WAVEFORMATEX& format, std::vector<uint8_t> data)
        : TMMDSPComponent(owner), data_(std::move(data)) {
        SetPublishedLinks(plOutput);
        SetPWaveFormat(&format);
    }
    void Start() override {
        TMMDSPComponent::Start();
        at_ = 0;
    }
    void BufferLoad(PMMChainHdr header, bool& more) override {
        ++pulls;
        if (onPull)
            onPull();
        if (starve) {
            header->dwBytesRecorded = 0;
            return;
        }
        const std::size_t count =
            std::min<std::size_t>(header->dwBufferLength, data_.size() - at_.load());
        if (count > 0)
            std::memcpy(header->lpData, data_.data() + at_.load(), count);
        at_ += count;
        header->dwBytesRecorded = static_cast<uint32_t>(count);
        more = at_.load() < data_.size();
    }
    std::function<void()> onPull;
    std::atomic<int> pulls{0};
    std::atomic<bool> starve{false}; // delivers nothing although it promised more

private:
    std::vector<uint8_t> data_;
    std::atomic<std::size_t> at_{0};
};

// Processes the main thread's events until done() or the bound passes.
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

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const EMMWaveOutError& error) {
        return error.what();
    }
    return "(no error)";
}

struct WaveOutTest : ::testing::Test {
    std::shared_ptr<TVirtualWaveOutService> device =
        std::make_shared<TVirtualWaveOutService>(TVirtualClock::Stepped, 2);
    WAVEFORMATEX format = PcmFormat(2, 44100, 16);
    std::vector<std::string> shown; // what reached the application's exception handler

    void SetUp() override {
        SetWaveOutService(device);
        platform::SetExceptionHandler([this](const std::string& text) { shown.push_back(text); });
    }
    void TearDown() override {
        owner.DestroyComponents();
        platform::SetExceptionHandler(nullptr);
        SetWaveOutService(nullptr);
    }

    TMMComponentOwner owner;

    // source -> wave out, 4096-byte buffers, cmThread at tpHighest as the program runs it.
    std::pair<StreamSource*, TMMWaveOut*> MakeChain(std::size_t bytes, int mode = cmThread,
                                                    int32_t bufferSize = 4096) {
        auto* source = new StreamSource(&owner, format, RampBytes(bytes));
        auto* out = new TMMWaveOut(&owner);
        out->SetBufferSize(bufferSize);
        out->SetCallBackMode(mode);
        out->SetPriority(tpHighest);
        out->SetInput(source);
        return {source, out};
    }

    // Plays one buffer's worth on the stepped clock and waits until its refill was written.
    void PlayBuffer(TMMWaveOut* out) {
        device->Advance(out->BufferSize() / 4);
        ASSERT_TRUE(PumpUntil(
            [&] { return out->PendingCount() == out->QueuedCount() || out->State() != 6; }));
    }
};

TEST_F(WaveOutTest, PropertiesKeepTheirRanges) {
    auto* out = new TMMWaveOut(&owner);
    EXPECT_EQ(out->GetProductName(), "Virtual Device 0");
    out->SetNumBuffers(1);
    EXPECT_EQ(out->GetNumBuffers(), 10);
    out->SetNumBuffers(1000);
    EXPECT_EQ(out->GetNumBuffers(), 500);
    out->SetBufferSize(10);
    EXPECT_EQ(out->BufferSize(), 32);
    out->SetDeviceID(MapperId);
    EXPECT_EQ(out->GetDeviceID(), MapperId);
    EXPECT_EQ(out->GetProductName(), "Virtual Mapper");
    out->SetDeviceID(7);
    EXPECT_EQ(out->GetDeviceID(), InvalidId);
    out->SetPWaveFormat(&format);
    EXPECT_EQ(ErrorOf([&] { out->OpenDevice(); }), "Invalid DeviceID");

    std::vector<std::string> boxes;
    platform::SetMessageBoxHandler([&](const std::string& text, const std::string& caption) {
        boxes.push_back(caption + ": " + text);
    });
    out->SetCallBackMode(cmThread);
    out->SetCallBackMode(cmCallback); // refused where notifications cannot call in directly
    EXPECT_EQ(out->GetCallBackMode(), cmThread);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "TMMWaveOut: \"CallBacks\" are called at interrupt time !\n\rThis is "
                        "currently only supported under Windows 95");
    platform::SetMessageBoxHandler(nullptr);
}

TEST_F(WaveOutTest, NoDevicesAndRefusedFormats) {
    device->SetNumDevs(0);
    auto* none = new TMMWaveOut(&owner);
    EXPECT_EQ(none->GetProductName(), "No wave audio playing device found");
    none->SetPWaveFormat(&format);
    EXPECT_EQ(ErrorOf([&] { none->OpenDevice(); }), "No wave audio playing device found");

    device->SetNumDevs(2);
    auto* out = new TMMWaveOut(&owner);
    EXPECT_EQ(ErrorOf([&] { out->OpenDevice(); }), "WaveOutOpen:\n\rInvalid wave format");
    device->SetFormatFilter([](const WAVEFORMATEX* f) { return f->wBitsPerSample == 8; });
    out->SetPWaveFormat(&format);
    EXPECT_EQ(ErrorOf([&] { out->OpenDevice(); }),
              "WaveOutOpen:\n\rThe actual device can''t play this format");
    EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
    device->SetFormatFilter(nullptr);
    device->FailNextOpen(MMSYSERR_ALLOCATED);
    EXPECT_EQ(ErrorOf([&] { out->OpenDevice(); }), "WaveOutOpen:\n\rThe device is already in use");
    EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
    out->OpenDevice();
    EXPECT_EQ(out->State(), TMMWaveOut::wosOpen);
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { out->SetBufferSize(8192); }, [&] { out->SetNumBuffers(4); },
             [&] { out->SetDeviceID(1); }, [&] { out->SetCallBackMode(cmThread); }})
        EXPECT_EQ(ErrorOf(change), "Change to property while device was open");
    out->CloseDevice();
    out->CloseDevice(); // a closed device: nothing
    EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
}

TEST_F(WaveOutTest, TenBuffersStayQueuedAndEachIsRefilledAfterItPlayed) {
    for (int mode : {cmThread, cmWindow}) {
        SCOPED_TRACE(mode == cmThread ? "cmThread" : "cmWindow");
        device->ClearCapture();
        const std::size_t total = 4096 * 25 + 1000; // ends inside a buffer
        auto [source, out] = MakeChain(total, mode);
        std::vector<PMMChainHdr> pushed;
        std::vector<PMMChainHdr> playing;
        out->OnBufferReady = [&](TObject*, PMMChainHdr hdr) {
            pushed.push_back(hdr);
            playing.push_back(hdr->lpPlaying);
        };
        int stops = 0;
        QThread* stoppedOn = nullptr;
        out->OnStop = [&](TObject*) {
            ++stops;
            stoppedOn = QThread::currentThread();
        };
        out->StartDevice();
        EXPECT_EQ(out->QueuedCount(), 10);
        EXPECT_EQ(device->QueuedBuffers(), 10u);
        EXPECT_EQ(source->pulls.load(), 10);

        for (int played = 1; played <= 16; ++played) {
            PlayBuffer(out);
            EXPECT_EQ(device->QueuedBuffers(), 10u) << played;
            EXPECT_EQ(source->pulls.load(), 10 + played);
        }
        // The rest plays out; the end of data stops the device on the main thread.
        while (device->QueuedBuffers() > 0)
            device->Advance(1024);
        ASSERT_TRUE(PumpUntil([&] { return stops == 1; }));
        EXPECT_EQ(stoppedOn, QCoreApplication::instance()->thread());
        EXPECT_EQ(out->State(), TMMWaveOut::wosOpen); // still open
        EXPECT_EQ(device->Captured(), RampBytes(total));
        ASSERT_GE(pushed.size(), 16u);
        for (std::size_t i = 0; i + 1 < pushed.size(); ++i)
            EXPECT_EQ(playing[i], pushed[i + 1]); // the buffer now audible rides along
        out->CloseDevice();
        DestroyComponent(out);
        DestroyComponent(source);
    }
}

TEST_F(WaveOutTest, AQueuePlayedOutBeforeItsRefillIsNotTheEnd) {
    // A device that plays each buffer the moment it is written empties its queue before every
    // refill: only the end of the data may stop it.
    auto instant = std::make_shared<TVirtualWaveOutService>(TVirtualClock::Instant, 1);
    instant->SetWriteWaitsForDone(true);
    SetWaveOutService(instant);
    for (int round = 0; round < 3; ++round) {
        const std::size_t total = 4096 * 300;
        auto [source, out] = MakeChain(total);
        bool stopped = false;
        out->OnStop = [&](TObject*) { stopped = true; };
        instant->ClearCapture();
        out->StartDevice();
        ASSERT_TRUE(PumpUntil([&] { return stopped; }));
        EXPECT_EQ(instant->Captured().size(), total) << round;
        DestroyComponent(out);
        DestroyComponent(source);
    }
}

TEST_F(WaveOutTest, AnEmptyChainCannotStart) {
    auto [source, out] = MakeChain(0);
    int closes = 0;
    out->OnClose = [&](TObject*) { ++closes; };
    EXPECT_EQ(ErrorOf([&] { out->StartDevice(); }), "WaveOutStart:\n\rUnable to start device");
    EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(device->DeviceOpen());
    EXPECT_FALSE(source->Opened());
}

TEST_F(WaveOutTest, PositionFollowsWhatWasPlayed) {
    auto [source, out] = MakeChain(4 * 44100 * 3);
    out->StartDevice();
    for (int i = 0; i < 43; ++i)
        PlayBuffer(out); // 43 × 1024 frames
    device->Advance(44100 - 43 * 1024);
    out->TimeFormat = tfByte;
    EXPECT_EQ(out->GetPosition(), 176400);
    out->TimeFormat = tfMillisecond;
    EXPECT_EQ(out->GetPosition(), 1000);
    out->TimeFormat = tfSample;
    EXPECT_EQ(out->GetPosition(), 44100);
    out->CloseDevice();
    EXPECT_EQ(out->GetPosition(), 0);
}

TEST_F(WaveOutTest, ANarrowDeviceCounterThatWrapsKeepsThePositionGrowing) {
    device->SetPositionModulo(1 << 20); // a 20-bit counter
    auto [source, out] = MakeChain(65536 * 90, cmThread, 65536);
    out->TimeFormat = tfSample;
    out->StartDevice();
    int64_t last = 0;
    for (int i = 0; i < 70; ++i) {
        PlayBuffer(out);
        const int64_t position = out->GetPosition();
        EXPECT_GE(position, last) << i;
        last = position;
    }
    EXPECT_GT(last, 1 << 20);
}

TEST_F(WaveOutTest, ADeviceThatFailsWhilePlayingEndsClosedAndReportsIt) {
    struct Case {
        const char* what;
        std::function<void()> fault;
        std::string message;
    };
    const Case cases[] = {
        {"write fails", [&] { device->FailNextWrite(MMSYSERR_NOMEM); },
         "WaveOutWrite:\n\rOut of memory"},
        {"device lost", [&] { device->DropDevice(MMSYSERR_NODRIVER); },
         "WaveOutGetPosition:\n\rThe device is no longer available"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        shown.clear();
        auto [source, out] = MakeChain(4096 * 100);
        int closes = 0;
        out->OnClose = [&](TObject*) { ++closes; };
        out->StartDevice();
        PlayBuffer(out);
        item.fault();
        device->Advance(1024);
        ASSERT_TRUE(PumpUntil([&] { return !shown.empty() && closes == 1; }));
        EXPECT_EQ(shown, std::vector<std::string>{item.message});
        EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
        EXPECT_FALSE(device->DeviceOpen());
        // A later start works.
        out->StartDevice();
        EXPECT_EQ(device->QueuedBuffers(), 10u);
        out->CloseDevice();
        DestroyComponent(out);
        DestroyComponent(source);
    }
}

TEST_F(WaveOutTest, AFailingRefillClosesTheDeviceAndReportsIt) {
    struct Case {
        const char* what;
        std::function<void(StreamSource*)> fault;
        std::string message;
    };
    const Case cases[] = {
        {"a source that promised more delivers nothing", [](StreamSource* s) { s->starve = true; },
         "Error filling wave buffer"},
        {"a source fails",
         [](StreamSource* s) {
             s->onPull = [] { throw EMMWaveError("Error seeking file position"); };
         },
         "Error seeking file position"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        shown.clear();
        auto [source, out] = MakeChain(4096 * 20);
        int errors = 0;
        out->OnError = [&](TObject*) { ++errors; };
        out->StartDevice();
        item.fault(source);
        device->Advance(1024);
        ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
        EXPECT_EQ(shown, std::vector<std::string>{item.message});
        EXPECT_EQ(errors, 1);
        ASSERT_TRUE(PumpUntil([&] { return out->State() == TMMWaveOut::wosClosed; }));
        DestroyComponent(out);
        DestroyComponent(source);
    }
}

TEST_F(WaveOutTest, StopAndCloseRaceARunningRefill) {
    // The refill runs on the service thread while the main thread stops and closes; repeated
    // so that the close lands at every point of a refill.
    auto clock = std::make_shared<TVirtualWaveOutService>(TVirtualClock::Instant, 1);
    SetWaveOutService(clock);
    for (int round = 0; round < 40; ++round) {
        auto [source, out] = MakeChain(4096 * 1000);
        source->onPull = [round] {
            for (int spin = 0; spin < (round % 8) * 50; ++spin)
                std::this_thread::yield();
        };
        out->StartDevice();
        ASSERT_TRUE(PumpUntil([&] { return source->pulls.load() > 10 + round % 5; }));
        if (round % 2 == 0)
            out->StopDevice();
        out->CloseDevice();
        EXPECT_EQ(out->State(), TMMWaveOut::wosClosed);
        EXPECT_FALSE(clock->DeviceOpen());
        const int pulls = source->pulls.load();
        platform::ProcessMessages();
        EXPECT_EQ(source->pulls.load(), pulls); // nothing pulls after the close
        DestroyComponent(out);
        DestroyComponent(source);
    }
}

TEST_F(WaveOutTest, PauseHoldsAndRestartResumes) {
    auto [source, out] = MakeChain(4096 * 40);
    std::vector<std::string> events;
    out->OnPause = [&](TObject*) { events.push_back("pause"); };
    out->OnRestart = [&](TObject*) { events.push_back("restart"); };
    out->StartDevice();
    PlayBuffer(out);
    out->PauseDevice();
    EXPECT_TRUE(device->DevicePaused());
    EXPECT_EQ(device->Advance(1024), 0);
    out->RestartDevice();
    PlayBuffer(out);
    EXPECT_EQ(events, (std::vector<std::string>{"pause", "restart"}));
    EXPECT_EQ(device->Captured(), std::vector<uint8_t>(RampBytes(4096 * 2)));
}

} // namespace
