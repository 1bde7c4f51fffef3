// The wave output device: keeps a ring of buffers queued on a platform output device, pulls
// their content through the chain and, when the device has played a buffer, pushes it
// downstream (to the monitors) and refills it.
//
// Threading: properties and the device operations (Open/Start/Pause/Restart/Stop/Close) run on
// the main thread. In cmThread mode every refill (BufferLoad through the chain, BufferReady to
// the monitors) runs on the service thread; in cmWindow mode on the main thread. The platform's
// notification thread only counts finished buffers and hands them on. Lock guards the pending
// count, the loop bookkeeping and the stop flags; no device call is made while it is held, so
// a device that notifies from within its own calls cannot deadlock against it. Teardown (stop,
// close, the end of data, a failed service thread) always happens on the main thread.
#pragma once

#include "chain/MMDSPObj.h"
#include "platform/MainThread.h"
#include "platform/Threads.h"
#include "platform/WaveOut.h"
#include "sources/MMWave.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum TMMCBMode { cmWindow, cmCallback, cmThread };

constexpr int MapperId = WAVE_MAPPER;
constexpr int InvalidId = -2;
constexpr int MaxWaveBuffers = 500;

// Pooled buffer memory: blocks are reused across start/stop cycles.
class TMMAllocator {
public:
    ~TMMAllocator();
    // A zero-filled block of at least `bytes` (an exact free fit first, else the first free one
    // large enough, else a new one). Throws EOutOfMemory.
    void* Alloc(std::size_t bytes);
    void Free(void* block);
    void FreeAll();
    std::size_t BlockCount() const;

private:
    struct Block {
        void* address;
        std::size_t size;
        int useCount;
    };
    mutable std::mutex mutex_;
    std::vector<Block> blocks_;
};

class TMMWaveOut;

// The service thread of a wave output in cmThread mode: runs the done handling of every played
// buffer, in order.
class TMMWaveOutThread : public TMMDSPThread {
public:
    explicit TMMWaveOutThread(TMMWaveOut* owner);
    ~TMMWaveOutThread() override;

    // Called from the notification thread; never blocks and never allocates.
    void PostDone(WAVEHDR* hdr);
    // Drops every queued done message.
    void Flush();
    void RequestStop();
    bool Failed() const { return failed_.load(); }

protected:
    void Execute() override;

private:
    TMMWaveOut* waveOut_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::array<WAVEHDR*, 2 * MaxWaveBuffers> queue_{};
    std::size_t head_ = 0, count_ = 0;
    bool stop_ = false;
    std::atomic<bool> failed_{false};
};

class TMMWaveOut : public TMMCustomWaveOutComponent {
public:
    // State bits.
    static constexpr int wosClosed = 1, wosOpen = 2, wosPlay = 4, wosPause = 8;

    explicit TMMWaveOut(TMMComponentOwner* owner);
    ~TMMWaveOut() override;
    const char* ClassName() const override { return "TMMWaveOut"; }

    // ---- properties
    void SetNumBuffers(int32_t value) override;
    int32_t GetNumBuffers() const override { return numBuffers_; }
    void SetDeviceID(int32_t value) override;
    int32_t GetDeviceID() const override { return deviceId_; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return productName_; }
    void SetCallBackMode(int value) override;
    int GetCallBackMode() const override { return callBackMode_; }
    void SetBufferSize(int32_t value) override;
    int32_t GetBufferSize() const override;
    TMMTimeFormats TimeFormat = tfByte;
    bool Looping() const { return looping_; }
    void SetLooping(bool value);
    uint16_t LoopCount() const { return loopCount_; }
    void SetLoopCount(uint16_t value);
    bool ShowHourGlass = true;
    bool Mapped = false;
    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);
    int NumDevs() const { return numDevs_; }
    uint32_t DriverVersion() const { return driverVersion_; }
    int State() const { return state_.load(); }
    int LastError() const { return lastError_.load(); }

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    // ---- device
    int64_t GetPosition() override;
    void OpenDevice() override;
    void CloseDevice() override;
    void ResetDevice() override;
    void StartDevice() override;
    void PauseDevice() override;
    void RestartDevice() override;
    void StopDevice() override;
    // Raises OnError, then EMMWaveOutError with the message.
    [[noreturn]] void Error(const std::string& message);

    // ---- chain
    void Open() override { OpenDevice(); }
    void Close() override { CloseDevice(); }
    void Start() override { StartDevice(); }
    void Pause() override { PauseDevice(); }
    void Restart() override { RestartDevice(); }
    void Stop() override { StopDevice(); }
    void SetPWaveFormat(const WAVEFORMATEX* format) override;
    void BufferReady(PMMChainHdr) override {}
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;

    TNotifyEvent OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose, OnLooping, OnError;
    TMMBufferEvent OnBufferFilled;

    // Test seams: the number of buffers written and not yet done, and of buffers in the ring.
    int PendingCount() const;
    int QueuedCount() const { return queuedCount_; }

protected:
    void Destroying() override;

private:
    friend class TMMWaveOutThread;

    // Messages of the hidden window.
    static constexpr uint32_t MessageDone = 0x03BD;
    static constexpr uint32_t MessageStop = 0x8001;
    static constexpr uint32_t MessageThreadFailed = 0x8002;

    std::string DeviceErrorText(int code) const;
    void Check(int result, const char* prefix);
    void Notify(TWaveOutNotification what, WAVEHDR* hdr);
    void HandleWindowMessage(uint32_t message, intptr_t wParam, intptr_t lParam);
    void DoneHandling();
    void BufferDone();
    int32_t FillBuffer(TMMChainHdr* hdr);
    void WriteBuffer(TMMChainHdr* hdr);
    TMMChainHdr* AllocRingBuffer();
    int64_t DevicePosition();
    bool WaitForState(int bit, bool set, int steps);
    void StartServiceThread();
    void StopServiceThread();
    void ServiceThreadFailed(std::exception_ptr error);
    void CompleteStop();
    // Unprepares the ring's buffers and returns them to the pool.
    void ReleaseRing();
    void RaiseEvent(const TNotifyEvent& event);

    int32_t numBuffers_ = 10;
    int32_t deviceId_ = 0;
    std::string productName_;
    uint32_t driverVersion_ = 0;
    int callBackMode_ = cmWindow;
    bool looping_ = false;
    uint16_t loopCount_ = 0;
    TThreadPriority priority_ = tpHigher;
    int numDevs_ = 0;

    std::unique_ptr<IWaveOutDevice> handle_;
    std::unique_ptr<TMessageWindow> windowHandle_;
    std::unique_ptr<TMMWaveOutThread> thread_;
    TMMAllocator allocator_;
    TMMCriticalSection lock_;

    // Written by the notification thread (opened/closed) and read by waits on the main thread.
    std::atomic<int> state_{wosClosed};
    std::atomic<int> lastError_{0};
    // Flags shared between the main, service and notification threads.
    std::atomic<bool> closing_{false}, closePending_{false}, stopping_{false}, stopPending_{false},
        resetting_{false}, endPosted_{false}, moreBuffers_{false};
    // Guarded by lock_: the done handlers running, the buffers written and not yet done.
    int inDoneHandler_ = 0;
    int pendingCount_ = 0;
    // Owned by whoever runs the refills (service thread while started, main thread otherwise).
    std::array<TMMChainHdr*, MaxWaveBuffers> ring_{};
    int queuedCount_ = 0;
    int ringIndex_ = 0;
    // Position state, samples; guarded by lock_.
    int64_t lastDevicePos_ = 0, wrapCount_ = 0, wrapSize_ = 0, loopBase_ = 0, basePos_ = 0;
    int32_t loopsLeft_ = 0;
    std::exception_ptr threadError_; // guarded by lock_: why the service thread left
    TMMEvent startedSignal_{true, false};
    TMMEvent doneHandlerLeft_{false, false};
};

// Makes "TMMWaveOut" known to descriptions of components.
void RegisterWaveOutClass();
