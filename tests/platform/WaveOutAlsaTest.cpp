// The ALSA wave output back end against a real-time sound server: PulseAudio with a null sink,
// whose monitor is recorded, so that what the device reports can be checked against what was
// heard and when.
#include "platform/WaveOut.h"
#include "support/PulseNullSink.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The same back end pausing by dropping the stream and feeding again (WaveOutAlsa.cpp).
std::shared_ptr<IWaveOutService> MakeAlsaWaveOutServiceWithoutDevicePause();

namespace {

using testsupport::PulseNullSink;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr int kFrameBytes = 4;
// The period the back end asks for (10 ms) and the server grants: the precision of Done.
constexpr int64_t kPeriodFrames = kRate / 100;
// As the output device component plays: ten buffers of 4096 bytes (1024 frames, not a whole
// number of periods).
constexpr int kBuffers = 10;
constexpr uint32_t kBufferBytes = 4096;

WAVEFORMATEX Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX format = testsupport::PcmFormat(channels, rate, bits);
    format.wFormatTag = tag;
    return format;
}

// A counting ramp in 16-bit stereo: every dropped or repeated frame shows, and no frame comes
// twice (the left channel counts frames, the right one also counts laps of 65536 frames).
std::vector<int16_t> Ramp(int64_t frames, int seed) {
    std::vector<int16_t> samples(static_cast<std::size_t>(frames) * 2);
    for (int64_t i = 0; i < frames; ++i) {
        samples[2 * i] = static_cast<int16_t>(i * 5 + 1 + seed);
        samples[2 * i + 1] = static_cast<int16_t>(-(i * 3) - 7 - seed + (i >> 16) * 1237);
    }
    return samples;
}

int64_t Frames(const std::vector<int16_t>& samples) {
    return static_cast<int64_t>(samples.size()) / 2;
}

bool FramesEqual(const std::vector<int16_t>& a, int64_t atA, const std::vector<int16_t>& b,
                 int64_t atB, int64_t frames) {
    return std::equal(a.begin() + 2 * atA, a.begin() + 2 * (atA + frames), b.begin() + 2 * atB);
}

// The first frame of `recording` where `signal` starts; -1 when it is not there.
int64_t FindStart(const std::vector<int16_t>& recording, const std::vector<int16_t>& signal) {
    constexpr int64_t kKey = 32;
    for (int64_t i = 0; i + kKey <= Frames(recording); ++i)
        if (FramesEqual(recording, i, signal, 0, kKey))
            return i;
    return -1;
}

// The frames that agree from recording[atRecording] and signal[atSignal] on.
int64_t MatchingRun(const std::vector<int16_t>& recording, int64_t atRecording,
                    const std::vector<int16_t>& signal, int64_t atSignal) {
    int64_t n = 0;
    while (atRecording + n < Frames(recording) && atSignal + n < Frames(signal) &&
           FramesEqual(recording, atRecording + n, signal, atSignal + n, 1))
        ++n;
    return n;
}

// Keeps a failed recording beside its signal, to be listened to.
std::string KeepForListening(const std::string& name, const std::vector<int16_t>& recording,
                             const std::vector<int16_t>& signal) {
    const std::filesystem::path folder = ::testing::TempDir();
    const auto keep = [&](const std::string& suffix, const std::vector<int16_t>& samples) {
        std::vector<uint8_t> bytes(samples.size() * 2);
        std::memcpy(bytes.data(), samples.data(), bytes.size());
        const std::vector<uint8_t> wave =
            testsupport::MakeWave(testsupport::PcmFormat(2, kRate, 16), bytes);
        if (FILE* file = std::fopen((folder / (name + suffix)).c_str(), "wb")) {
            std::fwrite(wave.data(), 1, wave.size(), file);
            std::fclose(file);
        }
    };
    keep("-heard.wav", recording);
    keep("-played.wav", signal);
    return "recording and signal kept as " + (folder / name).string() + "-heard.wav / -played.wav";
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

struct DoneRecord {
    uintptr_t serial; // which write this was, in write order
    int64_t position; // the device position inside Done
    Clock::time_point at;
};

// Plays a signal the way the output device component does: a ring of headers, all written
// while the device is paused, each refilled and written again as soon as it comes back done,
// either inside Done or on a thread of its own that Done hands the header to.
class RingPlayer {
public:
    enum class Refill { InsideDone, OnOwnThread };

    RingPlayer(IWaveOutService& service, Refill refill) : service_(service), refill_(refill) {
        for (int i = 0; i < kBuffers; ++i) {
            data_.emplace_back(kBufferBytes);
            headers_.push_back(WAVEHDR{});
            headers_.back().lpData = data_.back().data();
        }
        if (refill_ == Refill::OnOwnThread)
            refiller_ = std::thread([this] { RefillLoop(); });
    }

    ~RingPlayer() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            stopped_ = true;
        }
        changed_.notify_all();
        if (refiller_.joinable())
            refiller_.join();
        if (device_) {
            device_->Reset();
            device_->Close();
        }
    }

    int Open(const WAVEFORMATEX& format) {
        const int result = service_.Open(
            WAVE_MAPPER, &format,
            [this](TWaveOutNotification what, WAVEHDR* hdr) { Notify(what, hdr); }, device_);
        if (result == MMSYSERR_NOERROR) {
            for (WAVEHDR& hdr : headers_)
                EXPECT_EQ(device_->Prepare(&hdr), MMSYSERR_NOERROR);
        }
        return result;
    }

    IWaveOutDevice& Device() { return *device_; }

    // Pauses, writes the whole ring and restarts unless told to stay paused.
    void Play(std::vector<int16_t> signal, bool restart = true) {
        {
            std::lock_guard lock(mutex_);
            signal_ = std::move(signal);
            cursor_ = 0;
            writeError_ = 0;
            stopped_ = false;
            ends_.clear();
            dones_.clear();
        }
        ASSERT_EQ(device_->Pause(), MMSYSERR_NOERROR);
        for (WAVEHDR& hdr : headers_) {
            std::lock_guard lock(mutex_);
            FillAndWrite(&hdr);
        }
        started_ = Clock::now();
        if (restart) {
            ASSERT_EQ(device_->Restart(), MMSYSERR_NOERROR);
        }
    }

    // Refills no more, as the component does before it resets the device.
    void StopRefilling() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }

    // Waits until every write has come back done, the signal being written in full or a write
    // having failed, or until the bound passes.
    bool WaitUntilAllDone(Clock::duration bound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return AllDone(); });
    }

    // Waits until the position has reached `frames` (or everything is done), sampling it
    // against the wall clock every few milliseconds on the way.
    bool WaitForPosition(int64_t frames, Clock::duration bound) {
        const auto deadline = Clock::now() + bound;
        std::unique_lock lock(mutex_);
        for (;;) {
            lock.unlock();
            int64_t position = 0;
            EXPECT_EQ(device_->GetPosition(position), MMSYSERR_NOERROR);
            const auto now = Clock::now();
            lock.lock();
            positions_.push_back({position, now});
            if (position >= frames || AllDone())
                return true;
            if (now > deadline)
                return false;
            changed_.wait_for(lock, 10ms); // the sampling interval
        }
    }

    std::vector<DoneRecord> Dones() {
        std::lock_guard lock(mutex_);
        return dones_;
    }
    int64_t EndFrame(uintptr_t serial) {
        std::lock_guard lock(mutex_);
        return ends_.at(serial);
    }
    std::size_t Writes() {
        std::lock_guard lock(mutex_);
        return ends_.size();
    }
    std::vector<std::pair<int64_t, Clock::time_point>> Positions() {
        std::lock_guard lock(mutex_);
        return positions_;
    }
    int WriteError() {
        std::lock_guard lock(mutex_);
        return writeError_;
    }
    Clock::time_point Started() const { return started_; }
    std::vector<WAVEHDR>& Headers() { return headers_; }
    bool Opened() const { return opened_; }
    bool Closed() const { return closed_; }

private:
    bool AllDone() const {
        return (cursor_ == Frames(signal_) || writeError_ != 0) && dones_.size() == ends_.size();
    }

    void Notify(TWaveOutNotification what, WAVEHDR* hdr) {
        if (what == TWaveOutNotification::Opened) {
            opened_ = true;
            return;
        }
        if (what == TWaveOutNotification::Closed) {
            closed_ = true;
            return;
        }
        int64_t position = -1;
        EXPECT_EQ(device_->GetPosition(position), MMSYSERR_NOERROR);
        EXPECT_TRUE((hdr->dwFlags & WHDR_DONE) != 0 && (hdr->dwFlags & WHDR_INQUEUE) == 0);
        std::lock_guard lock(mutex_);
        dones_.push_back({hdr->dwUser, position, Clock::now()});
        if (!stopped_) {
            if (refill_ == Refill::InsideDone)
                FillAndWrite(hdr);
            else
                toRefill_.push_back(hdr);
        }
        changed_.notify_all();
    }

    void RefillLoop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return quit_ || !toRefill_.empty(); });
            if (quit_)
                return;
            WAVEHDR* hdr = toRefill_.front();
            toRefill_.pop_front();
            if (!stopped_)
                FillAndWrite(hdr);
        }
    }

    // Under mutex_. A failed write ends the refilling; the error is kept for the test.
    void FillAndWrite(WAVEHDR* hdr) {
        const int64_t frames =
            std::min<int64_t>(kBufferBytes / kFrameBytes, Frames(signal_) - cursor_);
        if (frames == 0 || writeError_ != 0)
            return;
        std::memcpy(hdr->lpData, signal_.data() + 2 * cursor_,
                    static_cast<std::size_t>(frames) * kFrameBytes);
        hdr->dwBufferLength = static_cast<uint32_t>(frames * kFrameBytes);
        hdr->dwUser = ends_.size();
        cursor_ += frames;
        ends_.push_back(cursor_);
        const int result = device_->Write(hdr);
        if (result != MMSYSERR_NOERROR) {
            writeError_ = result;
            cursor_ -= frames;
            ends_.pop_back();
        }
    }

    IWaveOutService& service_;
    const Refill refill_;
    std::unique_ptr<IWaveOutDevice> device_;
    std::vector<std::vector<char>> data_;
    std::vector<WAVEHDR> headers_;
    std::thread refiller_;
    Clock::time_point started_;
    std::atomic<bool> opened_{false};
    std::atomic<bool> closed_{false};

    std::mutex mutex_; // guards everything below
    std::condition_variable changed_;
    std::vector<int16_t> signal_;
    int64_t cursor_ = 0; // frames of the signal written so far
    int writeError_ = 0;
    std::vector<int64_t> ends_; // per write: the signal frame its header ends at
    std::vector<DoneRecord> dones_;
    std::deque<WAVEHDR*> toRefill_;
    std::vector<std::pair<int64_t, Clock::time_point>> positions_;
    bool stopped_ = false;
    bool quit_ = false;
};

class AlsaWaveOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseNullSink::Installed())
            GTEST_SKIP() << "PulseAudio is not installed (Debian packages pulseaudio, "
                            "pulseaudio-utils, libasound2-plugins)";
        ASSERT_EQ(PulseNullSink::EnsureRunning(), "");
        ASSERT_EQ(PulseNullSink::Recorder().Start(), "");
        service_ = MakeAlsaWaveOutService();
    }
    void TearDown() override { PulseNullSink::Recorder().Stop(0); }

    const WAVEFORMATEX cd_ = testsupport::PcmFormat(2, kRate, 16);
    std::shared_ptr<IWaveOutService> service_;
};

TEST_F(AlsaWaveOutTest, ListsPlaybackDevicesAndOpensTheMapper) {
    const int count = service_->NumDevs();
    ASSERT_GT(count, 0);
    TWaveOutCaps caps;
    for (int id = WAVE_MAPPER; id < count; ++id) {
        ASSERT_EQ(service_->GetDevCaps(id, caps), MMSYSERR_NOERROR) << id;
        EXPECT_FALSE(caps.productName.empty()) << id;
        EXPECT_EQ(caps.productName.find('\n'), std::string::npos) << id;
    }
    EXPECT_EQ(service_->GetDevCaps(count, caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(service_->GetDevCaps(-2, caps), MMSYSERR_BADDEVICEID);
    std::unique_ptr<IWaveOutDevice> device;
    EXPECT_EQ(service_->Open(count, &cd_, nullptr, device), MMSYSERR_BADDEVICEID);

    RingPlayer player(*service_, RingPlayer::Refill::InsideDone);
    ASSERT_EQ(player.Open(cd_), MMSYSERR_NOERROR);
    EXPECT_TRUE(player.Opened()); // notified inside Open
    EXPECT_EQ(player.Device().Close(), MMSYSERR_NOERROR);
    EXPECT_TRUE(player.Closed()); // notified inside Close
    EXPECT_EQ(player.Device().Close(), MMSYSERR_INVALHANDLE);
}

TEST_F(AlsaWaveOutTest, QueryFormatTakesPlainPcmOnly) {
    struct Case {
        WAVEFORMATEX format;
        int expected;
    };
    WAVEFORMATEX badBlockAlign = cd_;
    badBlockAlign.nBlockAlign = 3;
    const Case cases[] = {
        {cd_, MMSYSERR_NOERROR},
        {Format(WAVE_FORMAT_PCM, 1, 22050, 8), MMSYSERR_NOERROR},
        {Format(WAVE_FORMAT_PCM, 2, 48000, 24), MMSYSERR_NOERROR},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 32), MMSYSERR_NOERROR},
        {Format(WAVE_FORMAT_PCM, 2, 44100, 12), WAVERR_BADFORMAT},
        {Format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32), WAVERR_BADFORMAT},
        {Format(WAVE_FORMAT_MPEGLAYER3, 2, 44100, 16), WAVERR_BADFORMAT},
        {Format(WAVE_FORMAT_EXTENSIBLE, 2, 44100, 16), WAVERR_BADFORMAT},
        {badBlockAlign, WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "tag " << c.format.wFormatTag << ", " << c.format.nChannels << " ch, "
                     << c.format.nSamplesPerSec << " Hz, " << c.format.wBitsPerSample << " bits");
        EXPECT_EQ(service_->QueryFormat(WAVE_MAPPER, &c.format), c.expected);
        if (c.expected == WAVERR_BADFORMAT) {
            std::unique_ptr<IWaveOutDevice> device;
            EXPECT_EQ(service_->Open(WAVE_MAPPER, &c.format, nullptr, device), WAVERR_BADFORMAT);
            EXPECT_EQ(device, nullptr);
        }
    }
}

void PrintTo(RingPlayer::Refill refill, std::ostream* out) {
    *out << (refill == RingPlayer::Refill::InsideDone ? "refill inside Done"
                                                      : "refill on own thread");
}

class AlsaWaveOutPlayTest : public AlsaWaveOutTest,
                            public ::testing::WithParamInterface<RingPlayer::Refill> {};

TEST_P(AlsaWaveOutPlayTest, PlaysEveryFrameInRealTimeAndReportsDoneOnceHeard) {
    // 2 s and a piece of a buffer: the last header is short.
    const std::vector<int16_t> signal = Ramp(2 * kRate + 333, 0);
    const double duration = static_cast<double>(Frames(signal)) / kRate;
    RingPlayer player(*service_, GetParam());
    ASSERT_EQ(player.Open(cd_), MMSYSERR_NOERROR);
    player.Play(signal);
    ASSERT_TRUE(player.WaitForPosition(Frames(signal), 10s));
    ASSERT_TRUE(player.WaitUntilAllDone(5s)) << player.Dones().size() << " of " << player.Writes();
    ASSERT_EQ(player.WriteError(), MMSYSERR_NOERROR);
    const std::vector<int16_t> recording = PulseNullSink::Recorder().Stop();

    // Done in write order, each once its header's last frame could have been heard: by the
    // device's position and by the wall clock since playing started.
    const std::vector<DoneRecord> dones = player.Dones();
    ASSERT_EQ(dones.size(), player.Writes());
    for (std::size_t i = 0; i < dones.size(); ++i) {
        ASSERT_EQ(dones[i].serial, i);
        const int64_t end = player.EndFrame(i);
        EXPECT_GE(dones[i].position, end - kPeriodFrames) << "header " << i;
        EXPECT_GE(Seconds(dones[i].at - player.Started()),
                  static_cast<double>(end - kPeriodFrames) / kRate)
            << "header " << i;
    }
    const double elapsed = Seconds(dones.back().at - player.Started());
    EXPECT_NEAR(elapsed, duration, 0.05 * duration);
    int64_t position = 0;
    EXPECT_EQ(player.Device().GetPosition(position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, Frames(signal));

    // The position follows the wall clock while playing, and never goes back. It may lag by
    // the time the first frame took to be heard, but never runs ahead of what can have been
    // heard since Restart (by more than the wavering of the server's latency estimate).
    int64_t previous = 0;
    for (const auto& [frames, at] : player.Positions()) {
        EXPECT_GE(frames, previous);
        previous = frames;
        if (frames > 0 && frames < Frames(signal)) {
            const double ahead =
                static_cast<double>(frames) / kRate - Seconds(at - player.Started());
            EXPECT_LE(ahead, 0.015) << "at frame " << frames;
            EXPECT_GE(ahead, -0.050) << "at frame " << frames;
        }
    }

    const int64_t start = FindStart(recording, signal);
    ASSERT_GE(start, 0) << KeepForListening("play-start", recording, signal);
    EXPECT_EQ(MatchingRun(recording, start, signal, 0), Frames(signal))
        << KeepForListening("play", recording, signal);
}

INSTANTIATE_TEST_SUITE_P(Refill, AlsaWaveOutPlayTest,
                         ::testing::Values(RingPlayer::Refill::InsideDone,
                                           RingPlayer::Refill::OnOwnThread),
                         [](const auto& testInfo) {
                             return testInfo.param == RingPlayer::Refill::InsideDone
                                        ? "InsideDone"
                                        : "OnOwnThread";
                         });

struct PauseCase {
    const char* name;
    bool devicePause;
};

void PrintTo(const PauseCase& pauseCase, std::ostream* out) {
    *out << pauseCase.name;
}

class AlsaWaveOutPauseTest : public AlsaWaveOutTest,
                             public ::testing::WithParamInterface<PauseCase> {};

TEST_P(AlsaWaveOutPauseTest, PauseHoldsThePositionAndRestartGoesOnWhereItStopped) {
    auto service = GetParam().devicePause ? service_ : MakeAlsaWaveOutServiceWithoutDevicePause();
    const std::vector<int16_t> signal = Ramp(kRate * 3 / 2, 11);
    RingPlayer player(*service, RingPlayer::Refill::InsideDone);
    ASSERT_EQ(player.Open(cd_), MMSYSERR_NOERROR);
    player.Play(signal);
    ASSERT_TRUE(player.WaitForPosition(kRate * 4 / 10, 5s));
    ASSERT_EQ(player.Device().Pause(), MMSYSERR_NOERROR);
    int64_t paused = 0;
    ASSERT_EQ(player.Device().GetPosition(paused), MMSYSERR_NOERROR);
    const auto pausedAt = Clock::now();
    const std::size_t donesBefore = player.Dones().size();

    // Held for 300 ms (the length of the pause is what is tested): the position stays, and
    // nothing past it is reported played.
    player.WaitForPosition(Frames(signal), 300ms);
    for (const auto& [frames, at] : player.Positions()) {
        if (at > pausedAt) {
            EXPECT_EQ(frames, paused);
        }
    }
    const std::vector<DoneRecord> dones = player.Dones();
    for (std::size_t i = donesBefore; i < dones.size(); ++i)
        EXPECT_LE(player.EndFrame(dones[i].serial), paused);

    ASSERT_EQ(player.Device().Restart(), MMSYSERR_NOERROR);
    ASSERT_TRUE(player.WaitUntilAllDone(10s));
    int64_t position = 0;
    EXPECT_EQ(player.Device().GetPosition(position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, Frames(signal));
    const std::vector<int16_t> recording = PulseNullSink::Recorder().Stop();

    // Heard: the signal up to about the pause, a silence as long as the pause, then the rest.
    // Pausing the device keeps every frame. Feeding again from the position loses none either,
    // but repeats what the sink had taken ahead of its reported delay: the null sink renders
    // up to its latency (20 ms with the recorder) ahead and, never rewinding, plays that; the
    // position itself is good to a period.
    const int64_t start = FindStart(recording, signal);
    ASSERT_GE(start, 0) << KeepForListening("pause-start", recording, signal);
    const int64_t before = MatchingRun(recording, start, signal, 0);
    EXPECT_NEAR(static_cast<double>(before), static_cast<double>(paused), kPeriodFrames * 5);
    int64_t gapEnd = start + before;
    while (gapEnd < Frames(recording) && recording[2 * gapEnd] == 0 &&
           recording[2 * gapEnd + 1] == 0)
        ++gapEnd;
    EXPECT_GE(gapEnd - (start + before), kRate / 4) << "the pause was not heard";
    int64_t resumed = -1;
    for (int64_t at = std::max<int64_t>(0, before - 4 * kPeriodFrames);
         at <= before + 4 * kPeriodFrames && resumed < 0; ++at)
        if (FramesEqual(recording, gapEnd, signal, at, 32))
            resumed = at;
    ASSERT_GE(resumed, 0) << KeepForListening(std::string("pause-") + GetParam().name, recording,
                                              signal);
    if (GetParam().devicePause)
        EXPECT_EQ(resumed, before);
    else
        EXPECT_LE(before - resumed, kRate / 50 + kPeriodFrames);
    EXPECT_LE(resumed, before) << "frames were skipped";
    EXPECT_EQ(MatchingRun(recording, gapEnd, signal, resumed), Frames(signal) - resumed)
        << KeepForListening(std::string("pause-") + GetParam().name, recording, signal);
}

INSTANTIATE_TEST_SUITE_P(Pause, AlsaWaveOutPauseTest,
                         ::testing::Values(PauseCase{"DevicePause", true},
                                           PauseCase{"DropAndFeedAgain", false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(AlsaWaveOutTest, PausedBeforeTheFirstWriteWaitsForRestart) {
    const std::vector<int16_t> signal = Ramp(kBuffers * kBufferBytes / kFrameBytes, 23);
    RingPlayer player(*service_, RingPlayer::Refill::InsideDone);
    ASSERT_EQ(player.Open(cd_), MMSYSERR_NOERROR);
    player.Play(signal, /*restart=*/false);
    player.WaitForPosition(1, 300ms); // how long it is held is what is tested
    for (const auto& sample : player.Positions())
        EXPECT_EQ(sample.first, 0);
    EXPECT_TRUE(player.Dones().empty());
    EXPECT_EQ(player.Device().Unprepare(&player.Headers()[0]), WAVERR_STILLPLAYING);
    EXPECT_EQ(player.Device().Close(), WAVERR_STILLPLAYING);

    ASSERT_EQ(player.Device().Restart(), MMSYSERR_NOERROR);
    ASSERT_TRUE(player.WaitUntilAllDone(5s));
    const std::vector<int16_t> recording = PulseNullSink::Recorder().Stop();
    const int64_t start = FindStart(recording, signal);
    ASSERT_GE(start, 0) << KeepForListening("paused-start", recording, signal);
    EXPECT_EQ(MatchingRun(recording, start, signal, 0), Frames(signal))
        << KeepForListening("paused-start", recording, signal);
    EXPECT_EQ(player.Device().Close(), MMSYSERR_NOERROR);
}

TEST_F(AlsaWaveOutTest, ResetReturnsEveryQueuedHeaderAndPlaysAfresh) {
    RingPlayer player(*service_, RingPlayer::Refill::OnOwnThread);
    ASSERT_EQ(player.Open(cd_), MMSYSERR_NOERROR);
    player.Play(Ramp(3 * kRate, 5));
    ASSERT_TRUE(player.WaitForPosition(kRate * 3 / 10, 5s));
    player.StopRefilling();
    ASSERT_EQ(player.Device().Reset(), MMSYSERR_NOERROR);
    // Everything back before Reset returned, in order, and the position starts again.
    const std::vector<DoneRecord> dones = player.Dones();
    EXPECT_EQ(dones.size(), player.Writes());
    for (std::size_t i = 0; i < dones.size(); ++i)
        EXPECT_EQ(dones[i].serial, i);
    for (const WAVEHDR& hdr : player.Headers())
        EXPECT_EQ(hdr.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    int64_t position = -1;
    EXPECT_EQ(player.Device().GetPosition(position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, 0);

    // New writes after the reset play in full, counted from 0.
    const std::vector<int16_t> second = Ramp(kRate / 2, 777);
    PulseNullSink::Recorder().Stop(0);
    ASSERT_EQ(PulseNullSink::Recorder().Start(), "");
    player.Play(second);
    ASSERT_TRUE(player.WaitUntilAllDone(5s));
    EXPECT_EQ(player.Device().GetPosition(position), MMSYSERR_NOERROR);
    EXPECT_EQ(position, Frames(second));
    const std::vector<int16_t> recording = PulseNullSink::Recorder().Stop();
    const int64_t start = FindStart(recording, second);
    ASSERT_GE(start, 0) << KeepForListening("reset-start", recording, second);
    EXPECT_EQ(MatchingRun(recording, start, second, 0), Frames(second))
        << KeepForListening("reset", recording, second);
    EXPECT_EQ(player.Device().Close(), MMSYSERR_NOERROR);
}

TEST_F(AlsaWaveOutTest, ALostServerReturnsTheQueueAndFailsFurtherWrites) {
    testsupport::PrivatePulseServer server;
    ASSERT_EQ(server.Start(), "");
    // The mapper's stream connects to the server named at open.
    const char* previous = std::getenv("PULSE_SERVER");
    const std::string restore = previous != nullptr ? previous : "";
    setenv("PULSE_SERVER", server.Address().c_str(), 1);
    RingPlayer player(*service_, RingPlayer::Refill::InsideDone);
    const int opened = player.Open(cd_);
    if (previous != nullptr)
        setenv("PULSE_SERVER", restore.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
    ASSERT_EQ(opened, MMSYSERR_NOERROR);

    player.Play(Ramp(5 * kRate, 3));
    ASSERT_TRUE(player.WaitForPosition(1, 5s));
    server.Kill();
    // Every header comes back (the refills in Done fail), and the device still resets and
    // closes.
    ASSERT_TRUE(player.WaitUntilAllDone(5s)) << player.Dones().size() << " of " << player.Writes();
    EXPECT_LT(player.WriteError(), 0);
    WAVEHDR& hdr = player.Headers()[0];
    const int written = player.Device().Write(&hdr);
    EXPECT_LT(written, 0);
    EXPECT_FALSE(service_->ErrorText(written).empty());
    EXPECT_EQ(player.Device().Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(player.Device().Close(), MMSYSERR_NOERROR);
}

} // namespace
