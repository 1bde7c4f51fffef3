// The wave output service: playback devices, opened with a format, fed with buffer headers that
// come back as "done" once they have been heard.
//
// Two back ends implement it: ALSA for real devices (platform/WaveOutAlsa.cpp) and a virtual
// device for tests (platform/WaveOutVirtual.h). The process uses one service at a time.
//
// Threading contract:
// - Every call may come from any thread, but calls on one open device are not made
//   concurrently by its user except Write racing the notification thread's done handling,
//   which the back end must allow. Calls never block for longer than a bounded wait (a reset
//   or close waits for the back end's own threads, never for the caller's).
// - Opened is notified from within Open and Closed from within Close, on the calling thread.
//   Done is notified on a thread of the back end (never a caller's), once per written buffer,
//   in write order. The callback must not call Close or Reset on the same device.
// - Reset returns every queued buffer through Done (in order) before it returns.
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Result codes. Negative values are the back end's own error codes (for ALSA, a negative errno
// as ALSA returns it); ErrorText gives a text for both kinds.
constexpr int MMSYSERR_NOERROR = 0;
constexpr int MMSYSERR_ERROR = 1;
constexpr int MMSYSERR_BADDEVICEID = 2;
constexpr int MMSYSERR_NOTENABLED = 3;
constexpr int MMSYSERR_ALLOCATED = 4;
constexpr int MMSYSERR_INVALHANDLE = 5;
constexpr int MMSYSERR_NODRIVER = 6;
constexpr int MMSYSERR_NOMEM = 7;
constexpr int MMSYSERR_INVALPARAM = 11;
constexpr int WAVERR_BADFORMAT = 32;
constexpr int WAVERR_STILLPLAYING = 33;
constexpr int WAVERR_UNPREPARED = 34;

// The mapper: the device the desktop routes sound to ("default" with ALSA).
constexpr int WAVE_MAPPER = -1;

struct TWaveOutCaps {
    std::string productName; // as a user sees it
    uint32_t driverVersion = 0;
};

enum class TWaveOutNotification { Opened, Done, Closed };

// hdr is the played buffer for Done, nullptr otherwise.
using TWaveOutCallback = std::function<void(TWaveOutNotification what, WAVEHDR* hdr)>;

// One open output device.
class IWaveOutDevice {
public:
    virtual ~IWaveOutDevice() = default;
    // Marks the header prepared / unprepared. Prepared headers may be written.
    virtual int Prepare(WAVEHDR* hdr) = 0;
    virtual int Unprepare(WAVEHDR* hdr) = 0; // WAVERR_STILLPLAYING while queued
    // Queues dwBufferLength bytes at lpData (whole frames); sets WHDR_INQUEUE and clears
    // WHDR_DONE, which is set again (and WHDR_INQUEUE cleared) just before Done is notified.
    virtual int Write(WAVEHDR* hdr) = 0;
    // Holds playback where it is; queued buffers wait. A device paused before any write starts
    // playing only at Restart.
    virtual int Pause() = 0;
    virtual int Restart() = 0;
    // Stops at once and returns every queued buffer as done; the position goes back to 0.
    virtual int Reset() = 0;
    // The audible position in sample frames since open (or the last reset).
    virtual int GetPosition(int64_t& frames) = 0;
    // Closes the device; WAVERR_STILLPLAYING while buffers are queued. Notifies Closed.
    virtual int Close() = 0;
};

class IWaveOutService {
public:
    virtual ~IWaveOutService() = default;
    virtual int NumDevs() = 0;
    // id: 0 .. NumDevs() - 1, or WAVE_MAPPER.
    virtual int GetDevCaps(int id, TWaveOutCaps& caps) = 0;
    // Whether the device can play the format, without opening it for playing.
    virtual int QueryFormat(int id, const WAVEFORMATEX* format) = 0;
    virtual int Open(int id, const WAVEFORMATEX* format, TWaveOutCallback callback,
                     std::unique_ptr<IWaveOutDevice>& device) = 0;
    // A text for a result code of this service; empty when it has none.
    virtual std::string ErrorText(int code) = 0;
};

// The service in use: the ALSA back end unless another was installed.
IWaveOutService& WaveOutService();
// Installs a service (tests install a virtual device); nullptr returns to ALSA.
void SetWaveOutService(std::shared_ptr<IWaveOutService> service);
// The ALSA back end.
std::shared_ptr<IWaveOutService> MakeAlsaWaveOutService();
