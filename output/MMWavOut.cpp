#include "output/MMWavOut.h"

#include "chain/MMMsgs.h"
#include "platform/GlobalMem.h"
#include "sources/MMWaveIO.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace {

// Prefixes of the device calls' error messages.
constexpr const char* PrefixOpen = "WaveOutOpen:\n\r";
constexpr const char* PrefixClose = "WaveOutClose:\n\r";
constexpr const char* PrefixPause = "WaveOutPause:\n\r";
constexpr const char* PrefixRestart = "WaveOutRestart:\n\r";
constexpr const char* PrefixReset = "WaveOutReset:\n\r";
constexpr const char* PrefixWrite = "WaveOutWrite:\n\r";
constexpr const char* PrefixPosition = "WaveOutGetPosition:\n\r";
constexpr const char* PrefixStart = "WaveOutStart:\n\r";
constexpr const char* PrefixThread = "WaveOut:\n\r";

constexpr int StateWaitSteps = 500; // of 10 ms
constexpr int ThreadStartTimeoutMs = 5000;
constexpr int DoneHandlerWaitMs = 5000;

// Waits in 10 ms steps until the condition holds or the steps are used up; on the main thread
// the waits serve synchronised calls.
template <typename Condition> bool WaitSteps(int steps, Condition condition) {
    TMMEvent never;
    for (int i = 0; i < steps; ++i) {
        if (condition())
            return true;
        never.WaitFor(10);
    }
    return condition();
}

bool IsWaveOutError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const EMMWaveOutError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// ---- TMMAllocator ---------------------------------------------------------------------------

TMMAllocator::~TMMAllocator() {
    FreeAll();
}

void* TMMAllocator::Alloc(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    Block* fit = nullptr;
    for (Block& block : blocks_) {
        if (block.useCount != 0 || block.size < bytes)
            continue;
        if (block.size == bytes) {
            fit = &block;
            break;
        }
        if (fit == nullptr)
            fit = &block;
    }
    if (fit == nullptr) {
        blocks_.push_back({GlobalAllocMem(bytes), bytes, 0});
        fit = &blocks_.back();
    }
    fit->useCount = 1;
    std::memset(fit->address, 0, fit->size);
    return fit->address;
}

void TMMAllocator::Free(void* address) {
    std::lock_guard lock(mutex_);
    for (Block& block : blocks_)
        if (block.address == address)
            block.useCount = 0;
}

void TMMAllocator::FreeAll() {
    std::lock_guard lock(mutex_);
    for (Block& block : blocks_)
        GlobalFreeMem(block.address);
    blocks_.clear();
}

std::size_t TMMAllocator::BlockCount() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

// ---- TMMWaveOutThread -----------------------------------------------------------------------

TMMWaveOutThread::TMMWaveOutThread(TMMWaveOut* owner) : TMMDSPThread(owner), waveOut_(owner) {}

TMMWaveOutThread::~TMMWaveOutThread() {
    RequestStop();
    WaitFor();
}

void TMMWaveOutThread::PostDone(WAVEHDR* hdr) {
    {
        std::lock_guard lock(mutex_);
        if (count_ == queue_.size())
            return; // cannot happen: at most one message per queued buffer
        queue_[(head_ + count_) % queue_.size()] = hdr;
        ++count_;
    }
    wake_.notify_one();
}

void TMMWaveOutThread::Flush() {
    std::lock_guard lock(mutex_);
    head_ = count_ = 0;
}

void TMMWaveOutThread::RequestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
}

void TMMWaveOutThread::Execute() {
    waveOut_->startedSignal_.SetEvent();
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || count_ > 0; });
            if (stop_)
                return;
            head_ = (head_ + 1) % queue_.size(); // the ring says which buffer is done
            --count_;
        }
        try {
            if (!waveOut_->stopping_.load())
                waveOut_->DoneHandling();
        } catch (...) {
            failed_.store(true);
            waveOut_->ServiceThreadFailed(std::current_exception());
            return;
        }
    }
}

// ---- TMMWaveOut: properties -----------------------------------------------------------------

TMMWaveOut::TMMWaveOut(TMMComponentOwner* owner) : TMMCustomWaveOutComponent(owner) {
    SetPublishedLinks(plInput | plOutput);
    numDevs_ = WaveOutService().NumDevs();
    SetDeviceID(0);
}

TMMWaveOut::~TMMWaveOut() {
    // Normally Destroying has closed already.
    CloseDevice();
}

void TMMWaveOut::Destroying() {
    if (handle_ || (state_.load() & wosOpen) != 0)
        CloseDevice();
    windowHandle_.reset();
    allocator_.FreeAll();
    TMMCustomWaveOutComponent::Destroying();
}

void TMMWaveOut::RaiseEvent(const TNotifyEvent& event) {
    if (event)
        event(this);
}

void TMMWaveOut::Error(const std::string& message) {
    RaiseEvent(OnError);
    throw EMMWaveOutError(message);
}

std::string TMMWaveOut::DeviceErrorText(int code) const {
    std::string text = WaveOutService().ErrorText(code);
    return text.empty() ? LoadResStr(SUnknownErrorNumber) : text;
}

void TMMWaveOut::Check(int result, const char* prefix) {
    if (result == MMSYSERR_NOERROR)
        return;
    lastError_.store(result);
    Error(prefix + DeviceErrorText(result));
}

void TMMWaveOut::SetNumBuffers(int32_t value) {
    if ((state_.load() & wosOpen) != 0)
        Error(LoadResStr(SChangeWhileOpen));
    if (value > 1)
        numBuffers_ = std::min(value, MaxWaveBuffers);
}

void TMMWaveOut::SetBufferSize(int32_t value) {
    if ((state_.load() & wosOpen) != 0)
        Error(LoadResStr(SChangeWhileOpen));
    value = std::max<int32_t>(value, 32);
    if (value != BufferSize())
        allocator_.FreeAll(); // the pooled buffers no longer fit
    TMMCustomWaveOutComponent::SetBufferSize(value);
}

int32_t TMMWaveOut::GetBufferSize() const {
    return TMMCustomWaveOutComponent::GetBufferSize();
}

void TMMWaveOut::SetDeviceID(int32_t value) {
    if ((state_.load() & wosOpen) != 0)
        Error(LoadResStr(SChangeWhileOpen));
    productName_ = LoadResStr(SNoPlayingDevice);
    driverVersion_ = 0;
    if (numDevs_ > 0 && value >= MapperId && value < numDevs_) {
        TWaveOutCaps caps;
        if (WaveOutService().GetDevCaps(value, caps) == MMSYSERR_NOERROR) {
            productName_ = caps.productName;
            driverVersion_ = caps.driverVersion;
        }
    }
    deviceId_ = (value < MapperId || value >= numDevs_) ? InvalidId : value;
}

void TMMWaveOut::SetCallBackMode(int value) {
    if ((state_.load() & wosOpen) != 0)
        Error(LoadResStr(SChangeWhileOpen));
    if (value == cmCallback) {
        // Device notifications never call into the program directly on this platform.
        platform::ShowMessageBox("\"CallBacks\" are called at interrupt time !\n\rThis is "
                                 "currently only supported under Windows 95",
                                 "TMMWaveOut");
        return;
    }
    if (value == cmWindow || value == cmThread)
        callBackMode_ = value;
}

void TMMWaveOut::SetLooping(bool value) {
    if (value == looping_)
        return;
    looping_ = value;
    std::lock_guard lock(lock_);
    loopsLeft_ = loopCount_;
}

void TMMWaveOut::SetLoopCount(uint16_t value) {
    if (value == loopCount_)
        return;
    loopCount_ = value;
    std::lock_guard lock(lock_);
    loopsLeft_ = loopCount_;
}

void TMMWaveOut::SetPriority(TThreadPriority value) {
    priority_ = value;
    if (thread_)
        thread_->SetPriority(value);
}

int TMMWaveOut::PendingCount() const {
    std::lock_guard lock(const_cast<TMMCriticalSection&>(lock_));
    return pendingCount_;
}

namespace {
template <typename Enum>
bool EnumValue(const TPropertyValue& value, std::initializer_list<const char*> names, Enum& out) {
    if (const auto* number = std::get_if<int64_t>(&value)) {
        if (*number < 0 || *number >= static_cast<int64_t>(names.size()))
            return false;
        out = static_cast<Enum>(*number);
        return true;
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        int index = 0;
        for (const char* name : names) {
            if (*text == name) {
                out = static_cast<Enum>(index);
                return true;
            }
            ++index;
        }
    }
    return false;
}
} // namespace

bool TMMWaveOut::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* number = std::get_if<int64_t>(&value);
    const auto* flag = std::get_if<bool>(&value);
    if (name == "NumBuffers" && number != nullptr) {
        SetNumBuffers(static_cast<int32_t>(*number));
        return true;
    }
    if (name == "DeviceID" && number != nullptr) {
        SetDeviceID(static_cast<int32_t>(*number));
        return true;
    }
    if (name == "CallBackMode") {
        TMMCBMode mode{};
        if (!EnumValue(value, {"cmWindow", "cmCallback", "cmThread"}, mode))
            return false;
        SetCallBackMode(mode);
        return true;
    }
    if (name == "Priority") {
        TThreadPriority priority{};
        if (!EnumValue(value,
                       {"tpIdle", "tpLowest", "tpLower", "tpNormal", "tpHigher", "tpHighest",
                        "tpTimeCritical"},
                       priority))
            return false;
        SetPriority(priority);
        return true;
    }
    if (name == "TimeFormat") {
        return EnumValue(value, {"tfMillisecond", "tfByte", "tfSample"}, TimeFormat);
    }
    if (name == "Looping" && flag != nullptr) {
        SetLooping(*flag);
        return true;
    }
    if (name == "LoopCount" && number != nullptr) {
        SetLoopCount(static_cast<uint16_t>(*number));
        return true;
    }
    if (name == "ShowHourGlass" && flag != nullptr) {
        ShowHourGlass = *flag;
        return true;
    }
    if (name == "Mapped" && flag != nullptr) {
        Mapped = *flag;
        return true;
    }
    return TMMCustomWaveOutComponent::SetPublishedValue(name, value);
}

void TMMWaveOut::SetPWaveFormat(const WAVEFORMATEX* format) {
    CloseDevice();
    TMMCustomWaveOutComponent::SetPWaveFormat(format);
}

// ---- notifications --------------------------------------------------------------------------

void TMMWaveOut::Notify(TWaveOutNotification what, WAVEHDR* hdr) {
    switch (what) {
    case TWaveOutNotification::Opened:
        state_.store(wosOpen);
        return;
    case TWaveOutNotification::Closed:
        state_.store(wosClosed);
        return;
    case TWaveOutNotification::Done:
        break;
    }
    // Under the lock, so that a stop that sets Stopping and then flushes the queues cannot miss
    // a done message posted in between.
    std::lock_guard lock(lock_);
    --pendingCount_;
    if (resetting_.load()) {
        if (pendingCount_ <= 0)
            resetting_.store(false);
        return;
    }
    if (stopping_.load())
        return;
    if (callBackMode_ == cmThread) {
        if (thread_)
            thread_->PostDone(hdr);
    } else if (windowHandle_) {
        windowHandle_->PostMessage(MessageDone, reinterpret_cast<intptr_t>(hdr));
    }
}

void TMMWaveOut::HandleWindowMessage(uint32_t message, intptr_t, intptr_t) {
    try {
        switch (message) {
        case MessageDone:
            if (!stopping_.load())
                DoneHandling();
            break;
        case MessageStop:
            StopDevice();
            break;
        case MessageThreadFailed: {
            std::exception_ptr error;
            {
                std::lock_guard lock(lock_);
                error = std::exchange(threadError_, nullptr);
            }
            CloseDevice();
            if (error)
                platform::HandleException(error);
            break;
        }
        default:
            break;
        }
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        CloseDevice();
        throw; // to the application's exception handler
    }
}

void TMMWaveOut::ServiceThreadFailed(std::exception_ptr error) {
    {
        std::lock_guard lock(lock_);
        stopping_.store(true); // no further refill
        threadError_ = error;
    }
    // The device is closed from the main thread; until then it holds still.
    if (handle_)
        handle_->Pause();
    if (windowHandle_)
        windowHandle_->PostMessage(MessageThreadFailed);
}

// ---- buffers --------------------------------------------------------------------------------

void TMMWaveOut::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    const uint32_t wanted = static_cast<uint32_t>(GetBufferSize());
    lpWaveHdr->dwBufferLength = wanted;
    lpWaveHdr->dwBytesRecorded = 0;
    lpWaveHdr->dwLooping = looping_ ? MMChainTrue : 0;
    if (looping_) {
        lpWaveHdr->dwLoopCount = loopCount_;
        lpWaveHdr->dwLoopsLeft = loopsLeft_;
        lpWaveHdr->dwLoopWrapped = 0;
    }
    TMMCustomWaveOutComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    // A source may never make the device play past the buffer it was given.
    if (static_cast<int32_t>(lpWaveHdr->dwBytesRecorded) > static_cast<int32_t>(wanted))
        lpWaveHdr->dwBytesRecorded = wanted;
    lpWaveHdr->dwBufferLength = lpWaveHdr->dwBytesRecorded;
    if (looping_)
        loopsLeft_ = lpWaveHdr->dwLoopsLeft;
}

int32_t TMMWaveOut::FillBuffer(TMMChainHdr* hdr) {
    bool more = false;
    BufferLoad(hdr, more);
    const auto got = static_cast<int32_t>(hdr->dwBytesRecorded);
    moreBuffers_.store(more && got > 0);
    return got;
}

void TMMWaveOut::WriteBuffer(TMMChainHdr* hdr) {
    if (OnBufferFilled)
        OnBufferFilled(this, hdr);
    if (stopping_.load())
        return;
    hdr->dwFlags = (hdr->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
    hdr->dwLoadedBytes = hdr->dwBytesRecorded;
    {
        // Counted before the write: a fast device may report it done before Write returns.
        std::lock_guard lock(lock_);
        ++pendingCount_;
    }
    const int result = handle_ ? handle_->Write(hdr) : MMSYSERR_INVALHANDLE;
    if (result != MMSYSERR_NOERROR) {
        std::lock_guard lock(lock_);
        --pendingCount_;
    }
    Check(result, PrefixWrite);
    hdr->dwBytesRecorded = hdr->dwLoadedBytes;
}

TMMChainHdr* TMMWaveOut::AllocRingBuffer() {
    void* block = nullptr;
    try {
        block = allocator_.Alloc(sizeof(TMMChainHdr) + static_cast<std::size_t>(BufferSize()));
    } catch (const EOutOfMemory&) {
        Error(LoadResStr(SNoWaveHeaderMemory));
    }
    auto* hdr = new (block) TMMChainHdr{};
    hdr->lpData = static_cast<char*>(block) + sizeof(TMMChainHdr);
    hdr->dwBufferLength = static_cast<uint32_t>(BufferSize());
    return hdr;
}

void TMMWaveOut::BufferDone() {
    TMMChainHdr* hdr = ring_[static_cast<std::size_t>(ringIndex_)];
    ringIndex_ = queuedCount_ > 0 ? (ringIndex_ + 1) % queuedCount_ : 0;
    hdr->dwBytesRecorded = hdr->dwLoadedBytes;
    TMMChainHdr* next = ring_[static_cast<std::size_t>(ringIndex_)];
    hdr->lpPlaying = next;
    next->dwBytesRecorded = next->dwLoadedBytes;
    TMMCustomWaveOutComponent::BufferReady(hdr);
}

void TMMWaveOut::DoneHandling() {
    {
        std::lock_guard lock(lock_);
        if ((state_.load() & wosPlay) == 0 || resetting_.load() || stopping_.load())
            return;
        ++inDoneHandler_;
    }
    TMMChainHdr* hdr = ring_[static_cast<std::size_t>(ringIndex_)];
    std::exception_ptr failure;
    try {
        BufferDone();
        const int64_t position = DevicePosition();
        {
            std::lock_guard lock(lock_);
            if (lastDevicePos_ - position >= 65535) {
                wrapSize_ = lastDevicePos_ | 0xFFFFF;
                ++wrapCount_;
            }
            lastDevicePos_ = position;
        }
        if (moreBuffers_.load() && !stopPending_.load()) {
            if (looping_ && hdr->dwLoopWrapped != 0) {
                {
                    std::lock_guard lock(lock_);
                    loopBase_ = position;
                    hdr->dwLoopWrapped = 0;
                }
                Looped();
                RaiseEvent(OnLooping);
            }
            // The back ends mark a buffer done before they report it; allow a short grace.
            for (int i = 0; i < 1000 && (hdr->dwFlags & WHDR_DONE) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const int32_t got = FillBuffer(hdr);
            if (got <= 0 && !stopPending_.load())
                Error(LoadResStr(SErrorFillingBuffer));
            if (!stopPending_.load())
                WriteBuffer(hdr);
        }
    } catch (...) {
        failure = std::current_exception();
        if (!IsWaveOutError(failure))
            RaiseEvent(OnError);
    }
    bool postEnd = false;
    bool left = false;
    {
        std::lock_guard lock(lock_);
        --inDoneHandler_;
        left = inDoneHandler_ == 0;
        // A failed refill is not the end of the data: the failure closes the device instead.
        // Nothing queued means the end only once the data has ended: a device that played
        // out its queue while a refill was late (an underrun) goes on playing.
        if (failure == nullptr && inDoneHandler_ == 0 &&
            (stopPending_.load() || (pendingCount_ == 0 && !moreBuffers_.load())) &&
            !endPosted_.load()) {
            endPosted_.store(true);
            stopping_.store(true);
            postEnd = true;
        }
    }
    if (left)
        doneHandlerLeft_.SetEvent();
    if (postEnd) {
        // The end of the data, or a stop that waited for this handler: stopped on the main
        // thread.
        if (handle_)
            Check(handle_->Pause(), PrefixPause);
        if (windowHandle_)
            windowHandle_->PostMessage(MessageStop);
    }
    if (failure)
        std::rethrow_exception(failure);
}

int64_t TMMWaveOut::DevicePosition() {
    if (!handle_)
        return 0;
    int64_t frames = 0;
    Check(handle_->GetPosition(frames), PrefixPosition);
    return frames;
}

int64_t TMMWaveOut::GetPosition() {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if ((state_.load() & wosOpen) == 0 || format == nullptr || closePending_.load())
        return 0;
    const int64_t device = DevicePosition();
    int64_t samples;
    {
        std::lock_guard lock(lock_);
        samples = device + basePos_ + wrapCount_ * wrapSize_ - loopBase_;
    }
    switch (TimeFormat) {
    case tfMillisecond:
        return SamplesToTime64(format, samples);
    case tfByte:
        return SamplesToBytes64(format, samples);
    case tfSample:
        break;
    }
    return samples;
}

// ---- device operations ----------------------------------------------------------------------

bool TMMWaveOut::WaitForState(int bit, bool set, int steps) {
    return WaitSteps(steps, [&] { return ((state_.load() & bit) != 0) == set; });
}

void TMMWaveOut::StartServiceThread() {
    startedSignal_.ResetEvent();
    try {
        thread_ = std::make_unique<TMMWaveOutThread>(this);
        thread_->SetPriority(priority_);
        thread_->Resume();
    } catch (const std::system_error&) {
        thread_.reset();
        Error(PrefixThread + LoadResStr(SCouldNotCreateThread));
    }
    if (!startedSignal_.WaitFor(ThreadStartTimeoutMs))
        Error(PrefixThread + LoadResStr(SCouldNotCreateThread));
}

void TMMWaveOut::StopServiceThread() {
    std::unique_ptr<TMMWaveOutThread> thread;
    {
        // Taken under the lock: the notification thread posts to it under the same lock.
        std::lock_guard lock(lock_);
        thread = std::move(thread_);
    }
    if (!thread)
        return;
    thread->RequestStop();
    thread->WaitFor(ThreadStartTimeoutMs);
    thread.reset(); // joins; a failed thread has left already
}

void TMMWaveOut::OpenDevice() {
    if (numDevs_ == 0)
        Error(LoadResStr(SNoPlayingDevice));
    if (deviceId_ == InvalidId)
        Error(LoadResStr(SInvalidDeviceID));
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr)
        Error(PrefixOpen + LoadResStr(SInvalidWaveFormatLower));
    if ((state_.load() & wosOpen) != 0)
        CloseDevice();
    if ((state_.load() & wosOpen) != 0 || closing_.load())
        return;
    closing_.store(false);
    resetting_.store(false);
    stopping_.store(false);
    endPosted_.store(false);
    try {
        if (WaveOutService().QueryFormat(deviceId_, format) != MMSYSERR_NOERROR)
            Error(PrefixOpen + LoadResStr(SCannotPlayFormat));
        if (!windowHandle_)
            windowHandle_ = std::make_unique<TMessageWindow>(
                [this](uint32_t message, intptr_t wParam, intptr_t lParam) {
                    HandleWindowMessage(message, wParam, lParam);
                });
        handle_.reset();
        closePending_.store(false);
        TMMCustomWaveOutComponent::Open(); // the chain's Open walk
        if (callBackMode_ == cmThread)
            StartServiceThread();
        // Mapped has nothing to choose here: the mapper is the desktop's default device.
        Check(WaveOutService().Open(
                  deviceId_, format,
                  [this](TWaveOutNotification what, WAVEHDR* hdr) { Notify(what, hdr); }, handle_),
              PrefixOpen);
        if (!WaitForState(wosOpen, true, StateWaitSteps))
            Error(PrefixOpen + LoadResStr(SUnableToOpenDevice));
        RaiseEvent(OnOpen);
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        state_.store(wosOpen);
        CloseDevice();
        state_.store(wosClosed);
        throw;
    }
}

void TMMWaveOut::CloseDevice() {
    if ((state_.load() & wosOpen) == 0 || (closing_.load() && !closePending_.load()))
        return;
    closing_.store(true);
    bool stopFailed = false;
    if ((state_.load() & (wosPlay | wosPause)) != 0) {
        try {
            StopDevice();
        } catch (...) {
            stopFailed = true; // reported through OnError; the device is closed all the same
        }
        if (stopPending_.load() && !stopFailed) {
            closePending_.store(true);
            return;
        }
    }
    closePending_.store(false);
    {
        std::lock_guard lock(lock_);
        stopping_.store(true); // no refill from here on
    }
    // The service thread ends before the device it writes to goes away.
    StopServiceThread();
    int closeResult = MMSYSERR_NOERROR;
    bool timedOut = false;
    if (handle_) {
        closeResult = handle_->Close();
        if (closeResult == MMSYSERR_NOERROR)
            timedOut = !WaitForState(wosClosed, true, StateWaitSteps);
        // A device that refuses to close is given up all the same: the program must be able to
        // open it again. Destroying it returns what it still held.
        handle_.reset();
        std::lock_guard lock(lock_);
        wrapCount_ = wrapSize_ = 0;
    }
    state_.store(wosClosed);
    ReleaseRing();
    try {
        TMMCustomWaveOutComponent::Close(); // the chain's Close walk
        closing_.store(false);
        if (!IsDestroying())
            RaiseEvent(OnClose);
        Check(closeResult, PrefixClose);
        if (timedOut)
            Error(PrefixClose + LoadResStr(SUnableToCloseDevice));
    } catch (...) {
        // Close failures are reported through OnError only.
        closing_.store(false);
    }
}

void TMMWaveOut::StartDevice() {
    if ((state_.load() & wosOpen) == 0)
        OpenDevice();
    if ((state_.load() & wosOpen) == 0 || (state_.load() & wosPlay) != 0)
        return;
    bool busy = false;
    try {
        {
            std::lock_guard lock(lock_);
            basePos_ = lastDevicePos_ = wrapCount_ = wrapSize_ = loopBase_ = 0;
            loopsLeft_ = loopCount_;
            inDoneHandler_ = 0;
            pendingCount_ = 0;
        }
        stopPending_.store(false);
        resetting_.store(false);
        stopping_.store(false);
        endPosted_.store(false);
        ringIndex_ = 0;
        if (ShowHourGlass && static_cast<int64_t>(BufferSize()) * numBuffers_ > 100000) {
            platform::SetBusyCursor(true);
            busy = true;
        }
        Check(handle_->Pause(), PrefixPause); // queued buffers wait until all are written
        TMMCustomWaveOutComponent::Start();   // the chain's Start walk
        moreBuffers_.store(true);
        int written = 0;
        for (int i = 0; i < numBuffers_ && moreBuffers_.load(); ++i) {
            TMMChainHdr*& slot = ring_[static_cast<std::size_t>(i)];
            if (slot == nullptr) {
                slot = AllocRingBuffer();
                Check(handle_->Prepare(slot), PrefixWrite);
            }
            if (FillBuffer(slot) < 1)
                break;
            WriteBuffer(slot);
            ++written;
        }
        queuedCount_ = written;
        state_.fetch_or(wosPlay);
        if (busy) {
            platform::SetBusyCursor(false);
            busy = false;
        }
        if (queuedCount_ == 0) {
            TMMCustomWaveOutComponent::Stop(); // the chain's Stop walk
            Error(PrefixStart + LoadResStr(SUnableToStartDevice));
        }
        if ((state_.load() & wosPause) == 0)
            Check(handle_->Restart(), PrefixRestart);
        RaiseEvent(OnStart);
    } catch (...) {
        if (busy)
            platform::SetBusyCursor(false);
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        state_.fetch_or(wosPlay);
        CloseDevice();
        state_.store(wosClosed);
        throw;
    }
}

void TMMWaveOut::PauseDevice() {
    if ((state_.load() & wosOpen) == 0)
        OpenDevice();
    if ((state_.load() & wosOpen) == 0 || (state_.load() & wosPause) != 0)
        return;
    try {
        if ((state_.load() & wosPlay) != 0) {
            Check(handle_->Pause(), PrefixPause);
            state_.fetch_or(wosPause);
            if (UpstreamDevice()) {
                const int64_t position = DevicePosition();
                {
                    std::lock_guard lock(lock_);
                    basePos_ += position;
                    resetting_.store(true);
                }
                Check(handle_->Reset(), PrefixReset);
                std::lock_guard lock(lock_);
                ringIndex_ = 0;
                pendingCount_ = 0;
            }
        }
        state_.fetch_or(wosPause);
        TMMCustomWaveOutComponent::Pause(); // the chain's Pause walk
        RaiseEvent(OnPause);
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        CloseDevice();
        throw;
    }
}

void TMMWaveOut::RestartDevice() {
    const int state = state_.load();
    if ((state & wosPlay) == 0 || (state & wosPause) == 0)
        return;
    try {
        resetting_.store(false);
        TMMCustomWaveOutComponent::Restart(); // the chain's Restart walk
        Check(handle_->Restart(), PrefixRestart);
        state_.fetch_and(~wosPause);
        RaiseEvent(OnRestart);
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        CloseDevice();
        throw;
    }
}

void TMMWaveOut::StopDevice() {
    if ((state_.load() & (wosPlay | wosPause)) == 0)
        return;
    try {
        {
            std::lock_guard lock(lock_);
            stopping_.store(true);
            resetting_.store(true);
            wrapCount_ = wrapSize_ = 0;
            // Done messages already handed on belong to the run that ends here.
            if (thread_)
                thread_->Flush();
            if (windowHandle_)
                windowHandle_->RemovePendingMessages(MessageDone);
        }
        if (handle_)
            Check(handle_->Reset(), PrefixReset); // every queued buffer comes back
        CompleteStop();
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        CloseDevice();
        throw;
    }
}

void TMMWaveOut::CompleteStop() {
    // A refill running on the service thread ends before the ring is taken down; the wait
    // serves synchronised calls, which that refill may be waiting for.
    const bool canWait = callBackMode_ == cmThread && thread_ && !thread_->IsCurrentThread();
    if (canWait) {
        const int64_t deadline = MonotonicMilliseconds() + DoneHandlerWaitMs;
        for (;;) {
            {
                std::lock_guard lock(lock_);
                if (inDoneHandler_ == 0)
                    break;
            }
            if (MonotonicMilliseconds() > deadline)
                break;
            doneHandlerLeft_.WaitFor(10);
        }
    }
    {
        std::lock_guard lock(lock_);
        if (inDoneHandler_ > 0) {
            stopPending_.store(true); // the running handler posts the stop again
            return;
        }
    }
    state_.fetch_and(~(wosPlay | wosPause));
    WaitSteps(StateWaitSteps, [&] { return PendingCount() == 0; });
    TMMCustomWaveOutComponent::Stop(); // the chain's Stop walk
    ReleaseRing();
    stopPending_.store(false);
    if (!IsDestroying())
        RaiseEvent(OnStop);
    if (closePending_.load())
        CloseDevice();
}

void TMMWaveOut::ReleaseRing() {
    for (int i = 0; i < queuedCount_; ++i) {
        TMMChainHdr* hdr = ring_[static_cast<std::size_t>(i)];
        if (hdr == nullptr)
            continue;
        for (int check = 0; check < 65000 && (hdr->dwFlags & WHDR_DONE) == 0; ++check)
            std::this_thread::yield();
        hdr->dwFlags = (hdr->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
        if (handle_)
            handle_->Unprepare(hdr);
    }
    for (TMMChainHdr*& hdr : ring_) {
        if (hdr != nullptr)
            allocator_.Free(hdr);
        hdr = nullptr;
    }
    queuedCount_ = 0;
    ringIndex_ = 0;
    std::lock_guard lock(lock_);
    pendingCount_ = 0;
}

void TMMWaveOut::ResetDevice() {
    const int state = state_.load();
    if ((state & (wosPlay | wosPause)) == 0 || resetting_.load())
        return;
    try {
        {
            std::lock_guard lock(lock_);
            resetting_.store(true);
            if (thread_)
                thread_->Flush();
            if (windowHandle_)
                windowHandle_->RemovePendingMessages(MessageDone);
        }
        WaitSteps(DoneHandlerWaitMs / 10, [&] {
            std::lock_guard lock(lock_);
            return inDoneHandler_ == 0;
        });
        Check(handle_->Pause(), PrefixPause);
        Check(handle_->Reset(), PrefixReset);
        WaitSteps(100, [&] { return !resetting_.load(); });
        Check(handle_->Restart(), PrefixRestart);
        Check(handle_->Pause(), PrefixPause);
        {
            std::lock_guard lock(lock_);
            ringIndex_ = 0;
            pendingCount_ = 0;
            basePos_ = lastDevicePos_ = wrapCount_ = wrapSize_ = loopBase_ = 0;
            resetting_.store(false);
        }
        TMMCustomWaveOutComponent::Reset(); // the chain's Reset walk
        moreBuffers_.store(true);
        int written = 0;
        for (int i = 0; i < queuedCount_ && moreBuffers_.load(); ++i) {
            TMMChainHdr* hdr = ring_[static_cast<std::size_t>(i)];
            if (FillBuffer(hdr) < 1)
                break;
            WriteBuffer(hdr);
            ++written;
        }
        queuedCount_ = written;
        if ((state_.load() & wosPause) == 0)
            Check(handle_->Restart(), PrefixRestart);
        if (written == 0)
            StopDevice();
    } catch (...) {
        if (!IsWaveOutError(std::current_exception()))
            RaiseEvent(OnError);
        CloseDevice();
        throw;
    }
}

void RegisterWaveOutClass() {
    RegisterComponentClass("TMMWaveOut", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMWaveOut(owner);
    });
}
