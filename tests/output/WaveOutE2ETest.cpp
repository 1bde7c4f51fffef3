// A wave file played by the wave file reader through the wave output on a real sound server
// (PulseAudio with a null sink, reached through ALSA), recorded from the sink's monitor.
#include "output/MMWavOut.h"
#include "sources/MMWave.h"
#include "support/PulseNullSink.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// Two seconds of 16-bit stereo at 44100 Hz: a tone on the left, a counting ramp on the right,
// so that every frame is distinct and a dropped or repeated one shows.
std::vector<int16_t> Signal(int frames) {
    std::vector<int16_t> samples(static_cast<std::size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        samples[2 * i] =
            static_cast<int16_t>(std::lround(9000 * std::sin(2 * M_PI * 441 * i / 44100.0)));
        samples[2 * i + 1] = static_cast<int16_t>((i * 7) % 30011 - 15000);
    }
    return samples;
}

int64_t FindStart(const std::vector<int16_t>& recording, const std::vector<int16_t>& signal) {
    const int64_t key = 64;
    const int64_t frames = static_cast<int64_t>(recording.size()) / 2;
    for (int64_t i = 0; i + key <= frames; ++i)
        if (std::equal(signal.begin(), signal.begin() + 2 * key, recording.begin() + 2 * i))
            return i;
    return -1;
}

void Keep(const std::string& name, const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    std::ofstream out(std::filesystem::path(::testing::TempDir()) / name, std::ios::binary);
    const auto wave = MakeWave(PcmFormat(2, 44100, 16), bytes);
    out.write(reinterpret_cast<const char*>(wave.data()),
              static_cast<std::streamsize>(wave.size()));
}

TEST(WaveOutOnASoundServer, AWaveFilePlaysEveryFrameInRealTime) {
    if (!PulseNullSink::Installed())
        GTEST_SKIP() << "PulseAudio is not installed (Debian packages pulseaudio, "
                        "pulseaudio-utils, libasound2-plugins)";
    ASSERT_EQ(PulseNullSink::EnsureRunning(), "");
    SetWaveOutService(nullptr); // the ALSA back end

    const int frames = 2 * 44100;
    const std::vector<int16_t> signal = Signal(frames);
    std::vector<uint8_t> bytes(signal.size() * 2);
    std::memcpy(bytes.data(), signal.data(), bytes.size());
    TempDir dir;
    const std::string path = dir.Write("signal.wav", MakeWave(PcmFormat(2, 44100, 16), bytes));

    TMMComponentOwner owner;
    auto* reader = new TMMWaveFile(&owner);
    reader->SetFileName(path);
    auto* out = new TMMWaveOut(&owner);
    out->SetDeviceID(MapperId);
    out->SetBufferSize(4096);
    out->SetNumBuffers(10);
    out->SetCallBackMode(cmThread);
    out->SetPriority(tpHighest);
    out->TimeFormat = tfMillisecond;
    out->SetInput(reader);
    bool stopped = false;
    QThread* stoppedOn = nullptr;
    Clock::time_point started;
    double stoppedAt = 0; // ms since the start
    out->OnStop = [&](TObject*) {
        stopped = true;
        stoppedOn = QThread::currentThread();
        stoppedAt = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    };

    ASSERT_EQ(PulseNullSink::Recorder().Start(), "");
    started = Clock::now();
    out->StartDevice();
    // While playing, the position in milliseconds follows the wall clock from the moment the
    // first frame was heard.
    std::vector<std::pair<double, int64_t>> samples; // (ms since start, position)
    while (!stopped && Clock::now() - started < std::chrono::seconds(10)) {
        platform::ProcessMessages();
        const int64_t position = out->GetPosition();
        samples.emplace_back(
            std::chrono::duration<double, std::milli>(Clock::now() - started).count(), position);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::vector<int16_t> recording = PulseNullSink::Recorder().Stop();

    ASSERT_TRUE(stopped) << "the end of the file did not stop the device";
    EXPECT_EQ(stoppedOn, QCoreApplication::instance()->thread());
    EXPECT_EQ(out->State(), TMMWaveOut::wosOpen);  // stopped, still open

    // The wall time at which the position was 0, from the middle of the run; every position
    // while playing must then agree with the clock.
    std::vector<double> offsets;
    for (const auto& [at, position] : samples)
        if (position > 0 && position < 1900)
            offsets.push_back(at - static_cast<double>(position));
    ASSERT_FALSE(offsets.empty());
    std::vector<double> sorted = offsets;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double heardAt = sorted[sorted.size() / 2];
    for (double offset : offsets)
        EXPECT_NEAR(offset, heardAt, 50.0);
    // From the first frame heard to the stop after the last: the file's real duration, within
    // 5 % (the stop comes once the last buffer has been heard, within a device period).
    EXPECT_NEAR(stoppedAt - heardAt, 2000.0, 100.0);
    if (std::getenv("TESSARO_E2E_VERBOSE") != nullptr)
        for (const auto& [at, position] : samples)
            std::printf("%8.1f %6lld %8.1f\n", at, static_cast<long long>(position),
                        at - static_cast<double>(position) - heardAt);

    const int64_t start = FindStart(recording, signal);
    if (start < 0 || recording.size() < static_cast<std::size_t>(2 * (start + frames))) {
        Keep("e2e-heard.wav", recording);
        FAIL() << "the signal was not heard whole; recording kept in " << ::testing::TempDir();
    }
    const bool same = std::equal(signal.begin(), signal.end(), recording.begin() + 2 * start);
    if (!same)
        Keep("e2e-heard.wav", recording);
    EXPECT_TRUE(same) << "what was heard differs from the file";
    out->CloseDevice();
}

} // namespace
