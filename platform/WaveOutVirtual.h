// A virtual wave output service for tests and the render tool: its clock is stepped by the
// test, runs in real time, or plays every buffer at once; everything "played" is captured; and
// faults can be injected (an open, a write or a reset that fails, a device that disappears).
//
// Threading: the control calls may come from any thread. Done notifications run on the open
// device's own notification thread, as with a real device.
#pragma once

#include "platform/WaveOut.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

enum class TVirtualClock {
    Stepped,  // frames play only when the test calls Advance
    RealTime, // frames play at the format's rate
    Instant,  // a buffer plays as soon as it is written (and not paused)
};

class TVirtualWaveOutService : public IWaveOutService {
public:
    explicit TVirtualWaveOutService(TVirtualClock clock = TVirtualClock::Stepped, int numDevs = 1);
    ~TVirtualWaveOutService() override;

    int NumDevs() override;
    int GetDevCaps(int id, TWaveOutCaps& caps) override;
    int QueryFormat(int id, const WAVEFORMATEX* format) override;
    int Open(int id, const WAVEFORMATEX* format, TWaveOutCallback callback,
             std::unique_ptr<IWaveOutDevice>& device) override;
    std::string ErrorText(int code) override;

    // ---- control
    void SetNumDevs(int count);
    // Formats the devices refuse (default: anything but PCM).
    void SetFormatFilter(std::function<bool(const WAVEFORMATEX*)> accepts);
    void FailNextOpen(int code);
    void FailNextWrite(int code);
    void FailNextReset(int code);
    // The open device fails: what is queued comes back done, and every later call on it fails
    // with code.
    void DropDevice(int code);
    // Instant clock: Write returns only once the buffer has played and its done notification
    // was delivered, as a device that drains faster than it is fed.
    void SetWriteWaitsForDone(bool value);
    // The position counter wraps at `frames` (0: never), as a narrow hardware counter does.
    void SetPositionModulo(int64_t frames);

    // Stepped clock: plays up to `frames` frames of the queued buffers and waits until their
    // done notifications have been delivered. Returns the frames played.
    int64_t Advance(int64_t frames);
    // Waits until every written buffer has been played and notified (Instant and RealTime).
    bool WaitUntilDrained(int timeoutMs);

    // Whether what plays is kept (on by default).
    void SetCapture(bool keep);
    std::vector<uint8_t> Captured() const;
    void ClearCapture();
    int64_t PlayedFrames() const; // since the last open or reset
    std::size_t QueuedBuffers() const;
    int OpenCount() const;
    bool DeviceOpen() const;
    bool DevicePaused() const;

    struct State; // shared with the open device

private:
    std::shared_ptr<State> state_;
};
