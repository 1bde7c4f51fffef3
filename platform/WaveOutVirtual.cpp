#include "platform/WaveOutVirtual.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t MaxQueued = 1024;
using Clock = std::chrono::steady_clock;

bool PlainPcm(const WAVEFORMATEX* format) {
    return format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM && format->nChannels > 0 &&
           format->nBlockAlign > 0 && format->nSamplesPerSec > 0 &&
           (format->wBitsPerSample == 8 || format->wBitsPerSample == 16 ||
            format->wBitsPerSample == 24 || format->wBitsPerSample == 32);
}

} // namespace

struct TVirtualWaveOutService::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    const TVirtualClock clock;
    int numDevs;
    std::function<bool(const WAVEFORMATEX*)> accepts = PlainPcm;
    int failOpen = 0, failWrite = 0, failReset = 0;
    int openCount = 0;

    // The open device.
    bool open = false;
    int dropped = 0; // the error every call answers once the device has gone
    WAVEFORMATEX format{};
    TWaveOutCallback callback;
    std::array<WAVEHDR*, MaxQueued> queue{}; // written, not yet completely played
    std::size_t head = 0, queued = 0;
    uint32_t playedOfHead = 0;              // bytes of the oldest buffer already played
    std::array<WAVEHDR*, MaxQueued> done{}; // played, done not yet notified
    std::size_t doneHead = 0, doneCount = 0;
    bool notifying = false; // the notification thread is inside the callback
    int64_t playedFrames = 0;
    int64_t positionModulo = 0;
    bool writeWaitsForDone = false;
    bool keepCapture = true;
    bool paused = false;
    int64_t framesToPlay = 0; // stepped clock: what Advance allows
    Clock::time_point lastTick = Clock::now();
    std::vector<uint8_t> capture;
    bool stopThread = false;
    std::thread notifier;

    explicit State(TVirtualClock c, int devices) : clock(c), numDevs(devices) {}

    void PushDone(WAVEHDR* hdr) {
        hdr->dwFlags = (hdr->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
        done[(doneHead + doneCount) % MaxQueued] = hdr;
        ++doneCount;
    }

    // Moves every queued buffer to the done list (a reset or a lost device).
    void ReturnQueued() {
        while (queued > 0) {
            PushDone(queue[head]);
            head = (head + 1) % MaxQueued;
            --queued;
        }
        playedOfHead = 0;
    }

    // Plays up to `frames` frames of the queue; returns what was played.
    int64_t Play(int64_t frames) {
        const uint32_t align = format.nBlockAlign;
        int64_t played = 0;
        while (frames > played && queued > 0) {
            WAVEHDR* hdr = queue[head];
            const uint32_t length = hdr->dwBufferLength / align * align;
            const uint32_t left = length - playedOfHead;
            const int64_t framesLeft = frames - played;
            const uint32_t take = framesLeft >= static_cast<int64_t>(left / align)
                                      ? left
                                      : static_cast<uint32_t>(framesLeft) * align;
            if (keepCapture)
                capture.insert(capture.end(), hdr->lpData + playedOfHead,
                               hdr->lpData + playedOfHead + take);
            playedOfHead += take;
            played += take / align;
            if (playedOfHead >= length) {
                PushDone(hdr);
                head = (head + 1) % MaxQueued;
                --queued;
                playedOfHead = 0;
            }
        }
        playedFrames += played;
        return played;
    }

    void AdvanceClock() {
        const auto now = Clock::now();
        if (paused || dropped != 0) {
            lastTick = now;
            return;
        }
        switch (clock) {
        case TVirtualClock::Stepped:
            framesToPlay -= Play(framesToPlay);
            if (queued == 0)
                framesToPlay = 0; // frames with nothing queued are lost, as on a real device
            break;
        case TVirtualClock::Instant:
            Play(INT64_MAX / 2);
            break;
        case TVirtualClock::RealTime: {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(now - lastTick).count();
            const int64_t frames = elapsed * format.nSamplesPerSec / 1000000;
            if (frames > 0) {
                Play(frames);
                lastTick += std::chrono::microseconds(frames * 1000000 / format.nSamplesPerSec);
            }
            break;
        }
        }
    }

    void Run() {
        std::unique_lock lock(mutex);
        while (!stopThread) {
            AdvanceClock();
            while (doneCount > 0) {
                WAVEHDR* hdr = done[doneHead];
                doneHead = (doneHead + 1) % MaxQueued;
                --doneCount;
                notifying = true;
                TWaveOutCallback notify = callback;
                lock.unlock();
                notify(TWaveOutNotification::Done, hdr);
                lock.lock();
                notifying = false;
            }
            changed.notify_all();
            if (stopThread)
                break;
            if (clock == TVirtualClock::RealTime)
                changed.wait_for(lock, std::chrono::milliseconds(2));
            else
                changed.wait(lock, [&] { return stopThread || doneCount > 0 || CanPlay(); });
        }
    }

    // Whether the stepped or instant clock has something to play now.
    bool CanPlay() const {
        if (paused || dropped != 0 || queued == 0)
            return false;
        return clock == TVirtualClock::Instant || framesToPlay > 0;
    }

    // Waits until the notification thread has delivered what is done (caller holds the lock).
    void WaitDelivered(std::unique_lock<std::mutex>& lock) {
        changed.notify_all();
        changed.wait(lock, [&] { return (doneCount == 0 && !notifying) || stopThread; });
    }
};

namespace {

class VirtualDevice : public IWaveOutDevice {
public:
    explicit VirtualDevice(std::shared_ptr<TVirtualWaveOutService::State> state)
        : state_(std::move(state)) {}
    ~VirtualDevice() override {
        if (closed_)
            return;
        // Dropped without Close: return what is queued and end the notification thread.
        {
            std::unique_lock lock(state_->mutex);
            state_->ReturnQueued();
            state_->WaitDelivered(lock);
        }
        StopThread();
    }

    int Prepare(WAVEHDR* hdr) override {
        if (hdr == nullptr)
            return MMSYSERR_INVALPARAM;
        hdr->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }
    int Unprepare(WAVEHDR* hdr) override {
        if (hdr == nullptr)
            return MMSYSERR_INVALPARAM;
        std::lock_guard lock(state_->mutex);
        if ((hdr->dwFlags & WHDR_INQUEUE) != 0)
            return WAVERR_STILLPLAYING;
        hdr->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }
    int Write(WAVEHDR* hdr) override {
        std::unique_lock lock(state_->mutex);
        if (state_->dropped != 0)
            return state_->dropped;
        if (state_->failWrite != 0)
            return std::exchange(state_->failWrite, 0);
        if (hdr == nullptr || (hdr->dwFlags & WHDR_PREPARED) == 0)
            return WAVERR_UNPREPARED;
        if (state_->queued >= MaxQueued)
            return MMSYSERR_NOMEM;
        hdr->dwFlags = (hdr->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
        state_->queue[(state_->head + state_->queued) % MaxQueued] = hdr;
        ++state_->queued;
        state_->changed.notify_all();
        if (state_->writeWaitsForDone && state_->clock == TVirtualClock::Instant && !state_->paused)
            state_->changed.wait(lock, [&] {
                return state_->stopThread || state_->dropped != 0 ||
                       ((hdr->dwFlags & WHDR_DONE) != 0 && state_->doneCount == 0 &&
                        !state_->notifying);
            });
        return MMSYSERR_NOERROR;
    }
    int Pause() override { return SetPaused(true); }
    int Restart() override { return SetPaused(false); }
    int Reset() override {
        std::unique_lock lock(state_->mutex);
        if (state_->failReset != 0)
            return std::exchange(state_->failReset, 0);
        state_->ReturnQueued();
        state_->playedFrames = 0;
        state_->framesToPlay = 0;
        state_->WaitDelivered(lock);
        return state_->dropped;
    }
    int GetPosition(int64_t& frames) override {
        std::lock_guard lock(state_->mutex);
        if (state_->dropped != 0)
            return state_->dropped;
        frames = state_->positionModulo > 0 ? state_->playedFrames % state_->positionModulo
                                            : state_->playedFrames;
        return MMSYSERR_NOERROR;
    }
    int Close() override {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->queued > 0 && state_->dropped == 0)
                return WAVERR_STILLPLAYING;
        }
        StopThread();
        closed_ = true;
        TWaveOutCallback notify;
        {
            std::lock_guard lock(state_->mutex);
            state_->open = false;
            notify = std::move(state_->callback);
            state_->callback = nullptr;
        }
        if (notify)
            notify(TWaveOutNotification::Closed, nullptr);
        return MMSYSERR_NOERROR;
    }

private:
    int SetPaused(bool paused) {
        std::lock_guard lock(state_->mutex);
        if (state_->dropped != 0)
            return state_->dropped;
        state_->paused = paused;
        state_->lastTick = Clock::now();
        state_->changed.notify_all();
        return MMSYSERR_NOERROR;
    }
    void StopThread() {
        {
            std::lock_guard lock(state_->mutex);
            state_->stopThread = true;
            state_->changed.notify_all();
        }
        if (state_->notifier.joinable())
            state_->notifier.join();
    }

    std::shared_ptr<TVirtualWaveOutService::State> state_;
    bool closed_ = false;
};

} // namespace

TVirtualWaveOutService::TVirtualWaveOutService(TVirtualClock clock, int numDevs)
    : state_(std::make_shared<State>(clock, numDevs)) {}

TVirtualWaveOutService::~TVirtualWaveOutService() = default;

int TVirtualWaveOutService::NumDevs() {
    std::lock_guard lock(state_->mutex);
    return state_->numDevs;
}

int TVirtualWaveOutService::GetDevCaps(int id, TWaveOutCaps& caps) {
    std::lock_guard lock(state_->mutex);
    if (id < WAVE_MAPPER || id >= state_->numDevs || state_->numDevs == 0)
        return MMSYSERR_BADDEVICEID;
    caps.productName =
        id == WAVE_MAPPER ? "Virtual Mapper" : "Virtual Device " + std::to_string(id);
    caps.driverVersion = 0x0100;
    return MMSYSERR_NOERROR;
}

int TVirtualWaveOutService::QueryFormat(int id, const WAVEFORMATEX* format) {
    std::lock_guard lock(state_->mutex);
    if (id < WAVE_MAPPER || id >= state_->numDevs || state_->numDevs == 0)
        return MMSYSERR_BADDEVICEID;
    return state_->accepts(format) ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

int TVirtualWaveOutService::Open(int id, const WAVEFORMATEX* format, TWaveOutCallback callback,
                                 std::unique_ptr<IWaveOutDevice>& device) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->failOpen != 0)
            return std::exchange(state_->failOpen, 0);
        if (id < WAVE_MAPPER || id >= state_->numDevs || state_->numDevs == 0)
            return MMSYSERR_BADDEVICEID;
        if (!state_->accepts(format) || format->nBlockAlign == 0)
            return WAVERR_BADFORMAT;
        if (state_->open)
            return MMSYSERR_ALLOCATED;
        state_->open = true;
        state_->dropped = 0;
        state_->format = *format;
        state_->callback = callback;
        state_->head = state_->queued = state_->doneHead = state_->doneCount = 0;
        state_->playedOfHead = 0;
        state_->playedFrames = 0;
        state_->framesToPlay = 0;
        state_->paused = false;
        state_->stopThread = false;
        state_->lastTick = Clock::now();
        ++state_->openCount;
        state_->notifier = std::thread([state = state_] { state->Run(); });
    }
    device = std::make_unique<VirtualDevice>(state_);
    callback(TWaveOutNotification::Opened, nullptr);
    return MMSYSERR_NOERROR;
}

std::string TVirtualWaveOutService::ErrorText(int code) {
    switch (code) {
    case MMSYSERR_ERROR:
        return "Unspecified error";
    case MMSYSERR_BADDEVICEID:
        return "The device identifier is out of range";
    case MMSYSERR_ALLOCATED:
        return "The device is already in use";
    case MMSYSERR_NODRIVER:
        return "The device is no longer available";
    case MMSYSERR_NOMEM:
        return "Out of memory";
    case WAVERR_BADFORMAT:
        return "The device cannot play this format";
    case WAVERR_STILLPLAYING:
        return "Buffers are still queued";
    case WAVERR_UNPREPARED:
        return "The buffer is not prepared";
    default:
        return {};
    }
}

void TVirtualWaveOutService::SetNumDevs(int count) {
    std::lock_guard lock(state_->mutex);
    state_->numDevs = std::max(count, 0);
}

void TVirtualWaveOutService::SetFormatFilter(std::function<bool(const WAVEFORMATEX*)> accepts) {
    std::lock_guard lock(state_->mutex);
    state_->accepts = accepts ? std::move(accepts) : PlainPcm;
}

void TVirtualWaveOutService::FailNextOpen(int code) {
    std::lock_guard lock(state_->mutex);
    state_->failOpen = code;
}

void TVirtualWaveOutService::FailNextWrite(int code) {
    std::lock_guard lock(state_->mutex);
    state_->failWrite = code;
}

void TVirtualWaveOutService::FailNextReset(int code) {
    std::lock_guard lock(state_->mutex);
    state_->failReset = code;
}

void TVirtualWaveOutService::DropDevice(int code) {
    std::lock_guard lock(state_->mutex);
    if (!state_->open)
        return;
    state_->dropped = code;
    state_->ReturnQueued();
    state_->changed.notify_all();
}

void TVirtualWaveOutService::SetCapture(bool keep) {
    std::lock_guard lock(state_->mutex);
    state_->keepCapture = keep;
}

void TVirtualWaveOutService::SetWriteWaitsForDone(bool value) {
    std::lock_guard lock(state_->mutex);
    state_->writeWaitsForDone = value;
}

void TVirtualWaveOutService::SetPositionModulo(int64_t frames) {
    std::lock_guard lock(state_->mutex);
    state_->positionModulo = std::max<int64_t>(frames, 0);
}

int64_t TVirtualWaveOutService::Advance(int64_t frames) {
    std::unique_lock lock(state_->mutex);
    if (!state_->open)
        return 0;
    const int64_t before = state_->playedFrames;
    state_->framesToPlay += frames;
    state_->changed.notify_all();
    // Until the clock has used what it can and the done notifications have been delivered.
    state_->changed.wait(lock, [&] {
        const bool blocked = state_->queued == 0 || state_->paused || state_->dropped != 0;
        return state_->stopThread || ((state_->framesToPlay == 0 || blocked) &&
                                      state_->doneCount == 0 && !state_->notifying);
    });
    state_->framesToPlay = 0; // time that passed while paused or starved plays nothing later
    return state_->playedFrames - before;
}

bool TVirtualWaveOutService::WaitUntilDrained(int timeoutMs) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !state_->open ||
               (state_->queued == 0 && state_->doneCount == 0 && !state_->notifying);
    });
}

std::vector<uint8_t> TVirtualWaveOutService::Captured() const {
    std::lock_guard lock(state_->mutex);
    return state_->capture;
}

void TVirtualWaveOutService::ClearCapture() {
    std::lock_guard lock(state_->mutex);
    state_->capture.clear();
}

int64_t TVirtualWaveOutService::PlayedFrames() const {
    std::lock_guard lock(state_->mutex);
    return state_->playedFrames;
}

std::size_t TVirtualWaveOutService::QueuedBuffers() const {
    std::lock_guard lock(state_->mutex);
    return state_->queued;
}

int TVirtualWaveOutService::OpenCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->openCount;
}

bool TVirtualWaveOutService::DeviceOpen() const {
    std::lock_guard lock(state_->mutex);
    return state_->open;
}

bool TVirtualWaveOutService::DevicePaused() const {
    std::lock_guard lock(state_->mutex);
    return state_->paused;
}
