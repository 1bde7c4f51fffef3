// The ALSA back end of the wave output service.
//
// Devices: WAVE_MAPPER is ALSA "default"; devices 0 … N-1 are the playback PCMs that
// snd_device_name_hint lists, in its order, read once per service object. "null" is left out:
// it swallows samples as fast as they come, so a cart would race through in an instant.
//
// An open device owns its PCM (opened non-blocking) and one writer thread. Everything the
// device shares between its callers and that thread sits under one mutex, and every ALSA call
// on the PCM is made under it, so the PCM is never used from two threads at once. Only the
// thread's poll() runs without the mutex. The mutex is never held while the callback runs, so
// the callback may write, pause, restart and ask for the position.
//
// Positions are sample frames on one time line that starts at open and at every reset:
// - a queued header covers the frames [startFrame, endFrame) of that line;
// - written_ frames have been handed to ALSA;
// - heard_ = written_ − snd_pcm_delay is what has left the loudspeaker, never going back, and
//   for a second after a start never more than real time allows (a busy sound server's
//   estimate runs ahead there). An underrun means everything written has been played.
// A header is done once heard_ has reached its end frame. The thread feeds ALSA in pieces of
// at most one period and looks at the delay every time it wakes, which is at least once per
// period while anything is in flight, so Done comes within about one period of the header's
// last frame being heard, not when it was merely copied to ALSA. When the queue runs dry the
// thread keeps looking until the last frame written has been heard. The stream is started
// as soon as the thread has put in what there is (at most a buffer), and so plays at once.
//
// Pause stops the stream with snd_pcm_pause where the device can pause. Where it cannot, the
// device is dropped and the feeding goes back to the first frame not yet heard: the headers
// are not done before they were heard, so that audio is still in them and is fed again at
// Restart. Either way the position holds while paused. A device paused before the first write
// does not start at all until Restart. Reset keeps a paused device paused.
//
// A device that fails while playing (an error snd_pcm_recover cannot mend, such as a sound
// server that went away) returns its queued headers as done; Write, Pause and Restart then
// answer with the ALSA error, while Reset and Close still work.
#include "platform/Threads.h"
#include "platform/WaveOut.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* params) const { snd_pcm_sw_params_free(params); }
};
struct HintsFree {
    void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};
struct CharFree {
    void operator()(char* text) const { std::free(text); }
};
using HintText = std::unique_ptr<char, CharFree>;

struct FileDescriptor {
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0)
            close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int fd;
};

// The PCM settings a wave format stands for.
struct PcmFormat {
    snd_pcm_format_t sampleFormat = SND_PCM_FORMAT_UNKNOWN;
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned frameBytes = 0;
};

// Plain PCM only; everything else must be converted before it reaches the device.
int DescribeFormat(const WAVEFORMATEX* format, PcmFormat& pcm) {
    if (format == nullptr)
        return MMSYSERR_INVALPARAM;
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels == 0 ||
        format->nSamplesPerSec == 0)
        return WAVERR_BADFORMAT;
    switch (format->wBitsPerSample) {
    case 8:
        pcm.sampleFormat = SND_PCM_FORMAT_U8;
        break;
    case 16:
        pcm.sampleFormat = SND_PCM_FORMAT_S16_LE;
        break;
    case 24:
        pcm.sampleFormat = SND_PCM_FORMAT_S24_3LE;
        break;
    case 32:
        pcm.sampleFormat = SND_PCM_FORMAT_S32_LE;
        break;
    default:
        return WAVERR_BADFORMAT;
    }
    pcm.channels = format->nChannels;
    pcm.rate = format->nSamplesPerSec;
    pcm.frameBytes = pcm.channels * (format->wBitsPerSample / 8u);
    if (format->nBlockAlign != pcm.frameBytes)
        return WAVERR_BADFORMAT;
    return MMSYSERR_NOERROR;
}

// Narrows the configuration space to the format: 0, or WAVERR_BADFORMAT when the device
// cannot take it (ALSA may resample to reach the rate exactly).
int RestrictToFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, const PcmFormat& format) {
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0)
        return err;
    if (snd_pcm_hw_params_set_rate_resample(pcm, hw, 1) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, format.sampleFormat) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, format.channels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw, format.rate, 0) < 0)
        return WAVERR_BADFORMAT;
    return 0;
}

// The period asked for (the device rounds it), and the buffer in periods. Short periods make
// Done and the position precise and pause and reset quick; four of them ride out a late wake.
constexpr unsigned kPeriodsPerSecond = 100;
constexpr snd_pcm_uframes_t kPeriodsPerBuffer = 4;
// Headers a device can hold queued at once; the ring is sized at open.
constexpr std::size_t kMaxQueuedHeaders = 512;
// How long after a start the position is held to real time (see UpdateHeard). Later the
// device's own clock rules, which may run a little faster than the system's.
constexpr std::chrono::milliseconds kStartSettling{1000};

class AlsaOutputDevice final : public IWaveOutDevice {
public:
    AlsaOutputDevice(PcmHandle pcm, const PcmFormat& format, TWaveOutCallback callback)
        : pcm_(std::move(pcm)), format_(format), callback_(std::move(callback)),
          ring_(kMaxQueuedHeaders) {}

    ~AlsaOutputDevice() override { StopThread(); }

    // Sets up the stream and starts the writer thread: 0 or an error code.
    int Start(bool useDevicePause) {
        std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> hw;
        std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree> sw;
        {
            snd_pcm_hw_params_t* rawHw = nullptr;
            snd_pcm_sw_params_t* rawSw = nullptr;
            if (snd_pcm_hw_params_malloc(&rawHw) < 0 || snd_pcm_sw_params_malloc(&rawSw) < 0) {
                snd_pcm_hw_params_free(rawHw);
                return MMSYSERR_NOMEM;
            }
            hw.reset(rawHw);
            sw.reset(rawSw);
        }
        snd_pcm_t* pcm = pcm_.get();
        int err = RestrictToFormat(pcm, hw.get(), format_);
        if (err != 0)
            return err;
        snd_pcm_uframes_t period = std::max(1u, format_.rate / kPeriodsPerSecond);
        int direction = 0;
        // Rounded by the device; what it grants is read back below.
        snd_pcm_hw_params_set_period_size_near(pcm, hw.get(), &period, &direction);
        snd_pcm_uframes_t buffer = period * kPeriodsPerBuffer;
        snd_pcm_hw_params_set_buffer_size_near(pcm, hw.get(), &buffer);
        if ((err = snd_pcm_hw_params(pcm, hw.get())) < 0)
            return err;
        snd_pcm_hw_params_get_period_size(hw.get(), &period, &direction);
        snd_pcm_hw_params_get_buffer_size(hw.get(), &buffer);
        period_ = static_cast<snd_pcm_sframes_t>(period);
        canPause_ = useDevicePause && snd_pcm_hw_params_can_pause(hw.get()) != 0;
        periodMs_ = std::max(1, static_cast<int>(period * 1000 / format_.rate));

        // The stream is started by hand as soon as the writer has put in what it has (Feed);
        // ALSA alone starts it only on a full buffer. Starting on the first period instead
        // lets a busy system empty the server's buffer while the next periods are still on
        // their way, and the sound server then skips frames at the very start.
        if ((err = snd_pcm_sw_params_current(pcm, sw.get())) < 0 ||
            (err = snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), buffer)) < 0 ||
            (err = snd_pcm_sw_params_set_avail_min(pcm, sw.get(), period)) < 0 ||
            (err = snd_pcm_sw_params(pcm, sw.get())) < 0)
            return err;
        if ((err = snd_pcm_prepare(pcm)) < 0)
            return err;

        const int descriptors = snd_pcm_poll_descriptors_count(pcm);
        if (descriptors < 0)
            return descriptors;
        pollFds_.resize(static_cast<std::size_t>(descriptors) + 1);
        wake_.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_.fd < 0)
            return -errno;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

    void NotifyOpened() {
        if (callback_)
            callback_(TWaveOutNotification::Opened, nullptr);
    }

    int Prepare(WAVEHDR* hdr) override {
        if (hdr == nullptr)
            return MMSYSERR_INVALPARAM;
        std::lock_guard lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        hdr->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    int Unprepare(WAVEHDR* hdr) override {
        if (hdr == nullptr)
            return MMSYSERR_INVALPARAM;
        std::lock_guard lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if ((hdr->dwFlags & WHDR_INQUEUE) != 0)
            return WAVERR_STILLPLAYING;
        hdr->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    int Write(WAVEHDR* hdr) override {
        if (hdr == nullptr || (hdr->lpData == nullptr && hdr->dwBufferLength != 0))
            return MMSYSERR_INVALPARAM;
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return MMSYSERR_INVALHANDLE;
            if ((hdr->dwFlags & WHDR_PREPARED) == 0)
                return WAVERR_UNPREPARED;
            if ((hdr->dwFlags & WHDR_INQUEUE) != 0)
                return WAVERR_STILLPLAYING;
            if (failure_ != 0)
                return failure_;
            if (count_ == ring_.size())
                return MMSYSERR_NOMEM;
            // A trailing piece of a frame cannot be played and is left out.
            const int64_t frames = hdr->dwBufferLength / format_.frameBytes;
            Entry& entry = ring_[(head_ + count_) % ring_.size()];
            entry = {hdr, queuedEnd_, queuedEnd_ + frames};
            queuedEnd_ = entry.endFrame;
            ++count_;
            hdr->dwFlags = (hdr->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        }
        Wake();
        return MMSYSERR_NOERROR;
    }

    int Pause() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return MMSYSERR_INVALHANDLE;
            if (failure_ != 0)
                return failure_;
            if (paused_)
                return MMSYSERR_NOERROR;
            UpdateHeard();
            paused_ = true;
            if (failure_ == 0 && snd_pcm_state(pcm_.get()) == SND_PCM_STATE_RUNNING) {
                if (canPause_ && snd_pcm_pause(pcm_.get(), 1) == 0)
                    running_ = false;
                else
                    DropAndRewind();
            }
        }
        Wake();
        return MMSYSERR_NOERROR;
    }

    int Restart() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return MMSYSERR_INVALHANDLE;
            if (failure_ != 0)
                return failure_;
            if (!paused_)
                return MMSYSERR_NOERROR;
            paused_ = false;
            if (snd_pcm_state(pcm_.get()) == SND_PCM_STATE_PAUSED) {
                if (snd_pcm_pause(pcm_.get(), 0) == 0)
                    MarkRunning();
                else
                    DropAndRewind();
            }
        }
        Wake();
        return MMSYSERR_NOERROR;
    }

    int Reset() override {
        std::unique_lock lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (failure_ == 0) {
            snd_pcm_drop(pcm_.get());
            running_ = false;
            const int err = snd_pcm_prepare(pcm_.get());
            if (err < 0)
                Fail(err);
        }
        readyCount_ = count_;
        feedIndex_ = count_;
        written_ = heard_ = queuedEnd_ = 0;
        // Every header taken off the ring so far, and those still on it, must have been
        // notified; a Done already running for a taken header counts too.
        const uint64_t returned = takenCount_ + count_;
        if (std::this_thread::get_id() == thread_.get_id()) {
            // Called from the Done callback: the thread cannot also be waited for.
            NotifyReady(lock);
        } else {
            Wake();
            doneChanged_.wait(lock, [&] { return doneCount_ >= returned; });
        }
        return MMSYSERR_NOERROR;
    }

    int GetPosition(int64_t& frames) override {
        std::lock_guard lock(mutex_);
        if (closed_)
            return MMSYSERR_INVALHANDLE;
        if (!paused_)
            UpdateHeard();
        frames = heard_;
        return MMSYSERR_NOERROR;
    }

    int Close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return MMSYSERR_INVALHANDLE;
            if (count_ != 0)
                return WAVERR_STILLPLAYING;
            if (std::this_thread::get_id() == thread_.get_id())
                return MMSYSERR_ERROR; // the writer thread cannot wait for itself
            closed_ = true;
        }
        StopThread();
        {
            std::lock_guard lock(mutex_);
            pcm_.reset();
        }
        if (callback_)
            callback_(TWaveOutNotification::Closed, nullptr);
        return MMSYSERR_NOERROR;
    }

private:
    struct Entry {
        WAVEHDR* hdr = nullptr;
        int64_t startFrame = 0;
        int64_t endFrame = 0;
    };

    Entry& At(std::size_t index) { return ring_[(head_ + index) % ring_.size()]; }

    void Wake() {
        const uint64_t one = 1;
        // A full counter already means "wake up", so a failed write loses nothing.
        [[maybe_unused]] const ssize_t ignored = write(wake_.fd, &one, sizeof one);
    }

    void StopThread() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
        std::lock_guard lock(mutex_);
        if (pcm_ && failure_ == 0)
            snd_pcm_drop(pcm_.get());
    }

    // Under the mutex from here on.

    // The device is lost: every queued header goes back as done, and later calls get err.
    void Fail(int err) {
        failure_ = err;
        readyCount_ = count_;
        feedIndex_ = count_;
    }

    // An underrun means every frame written has been played out (a sound server may still
    // hold a few milliseconds of it); after a suspend what was in the buffer is gone.
    bool Recover(int err) {
        if (err == -EPIPE || err == -ESTRPIPE)
            heard_ = written_;
        running_ = false;
        const int result = snd_pcm_recover(pcm_.get(), err, 1);
        if (result < 0) {
            Fail(result);
            return false;
        }
        return true;
    }

    void UpdateHeard() {
        if (failure_ != 0 || written_ == heard_)
            return;
        snd_pcm_t* pcm = pcm_.get();
        switch (snd_pcm_state(pcm)) {
        case SND_PCM_STATE_XRUN:
            Recover(-EPIPE);
            return;
        case SND_PCM_STATE_SUSPENDED:
            Recover(-ESTRPIPE);
            return;
        case SND_PCM_STATE_RUNNING:
        case SND_PCM_STATE_DRAINING:
            break;
        default:
            return; // not started or paused: nothing has moved
        }
        snd_pcm_sframes_t avail = 0;
        snd_pcm_sframes_t delay = 0;
        const int err = snd_pcm_avail_delay(pcm, &avail, &delay);
        if (err == -EAGAIN)
            return;
        if (err < 0) {
            Recover(err);
            return;
        }
        int64_t audible = written_ - std::max<snd_pcm_sframes_t>(delay, 0);
        // Right after a start a busy sound server's estimate runs ahead (it counts from when
        // it was asked to start); nothing can have been heard faster than real time.
        const auto running = std::chrono::steady_clock::now() - runningSince_;
        if (running < kStartSettling) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(running).count();
            audible = std::min(audible, heardWhenStarted_ + us * format_.rate / 1000000);
        }
        heard_ = std::clamp(audible, heard_, written_);
    }

    // The stream has just started or resumed.
    void MarkRunning() {
        running_ = true;
        runningSince_ = std::chrono::steady_clock::now();
        heardWhenStarted_ = heard_;
    }

    // Stops the stream where the device cannot pause, and feeds again from the first frame
    // not yet heard: those frames are still in their headers.
    void DropAndRewind() {
        UpdateHeard();
        if (failure_ != 0)
            return;
        snd_pcm_drop(pcm_.get());
        running_ = false;
        const int err = snd_pcm_prepare(pcm_.get());
        if (err < 0) {
            Fail(err);
            return;
        }
        written_ = heard_;
        feedIndex_ = readyCount_;
    }

    // Hands queued frames to ALSA while it has room, a period at most at a time.
    void Feed() {
        snd_pcm_t* pcm = pcm_.get();
        while (failure_ == 0 && feedIndex_ < count_) {
            const Entry& entry = At(feedIndex_);
            if (written_ >= entry.endFrame) {
                ++feedIndex_;
                continue;
            }
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
            if (avail < 0) {
                if (avail == -EAGAIN || !Recover(static_cast<int>(avail)))
                    break;
                continue;
            }
            if (avail == 0)
                break;
            const int64_t frames = std::min<int64_t>({avail, period_, entry.endFrame - written_});
            const char* data = entry.hdr->lpData + (written_ - entry.startFrame) *
                                                       static_cast<int64_t>(format_.frameBytes);
            const snd_pcm_sframes_t done =
                snd_pcm_writei(pcm, data, static_cast<snd_pcm_uframes_t>(frames));
            if (done == -EAGAIN)
                break;
            if (done < 0) {
                if (!Recover(static_cast<int>(done)))
                    break;
                continue;
            }
            written_ += done;
        }
        // Everything there is, or a full buffer, is in: play.
        if (failure_ == 0 && written_ > heard_ && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) {
            const int err = snd_pcm_start(pcm);
            if (err < 0)
                Recover(err);
        }
        if (!running_ && failure_ == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING)
            MarkRunning();
    }

    void Service() {
        UpdateHeard();
        if (!paused_)
            Feed();
        // Only fed headers can have been heard; Feed steps over empty ones.
        while (readyCount_ < feedIndex_ && At(readyCount_).endFrame <= heard_)
            ++readyCount_;
    }

    // Notifies Done for the headers that are ready, in order, without holding the mutex.
    void NotifyReady(std::unique_lock<std::mutex>& lock) {
        while (readyCount_ > 0) {
            WAVEHDR* hdr = ring_[head_].hdr;
            head_ = (head_ + 1) % ring_.size();
            ++takenCount_;
            --count_;
            --readyCount_;
            --feedIndex_;
            hdr->dwFlags = (hdr->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            lock.unlock();
            if (callback_)
                callback_(TWaveOutNotification::Done, hdr);
            lock.lock();
            ++doneCount_;
            doneChanged_.notify_all();
        }
    }

    void Run() {
        ApplyThreadPriority(pthread_self(), static_cast<int>(gettid()),
                            PlatformThreadPriority(tpTimeCritical));
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            Service();
            if (readyCount_ > 0) {
                NotifyReady(lock);
                continue; // the callback may have written more
            }
            // Wait for room in the device while there is more to feed, and look at the delay
            // again after a period while frames are on their way.
            const bool running = failure_ == 0 && !paused_;
            const bool waitForRoom = running && feedIndex_ < count_;
            const int timeoutMs = running && written_ > heard_ ? periodMs_ : -1;
            pollFds_[0] = {wake_.fd, POLLIN, 0};
            int descriptors = 0;
            if (waitForRoom) {
                descriptors = snd_pcm_poll_descriptors(pcm_.get(), &pollFds_[1],
                                                       static_cast<unsigned>(pollFds_.size() - 1));
                descriptors = std::max(descriptors, 0);
            }
            lock.unlock();
            poll(pollFds_.data(), static_cast<nfds_t>(descriptors + 1), timeoutMs);
            uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t ignored = read(wake_.fd, &wakes, sizeof wakes);
            lock.lock();
            if (descriptors > 0) {
                // Lets plug-ins that signal through their own descriptors reset them; what
                // the device is ready for is read from its state when serviced.
                unsigned short events = 0;
                snd_pcm_poll_descriptors_revents(pcm_.get(), &pollFds_[1],
                                                 static_cast<unsigned>(descriptors), &events);
            }
        }
    }

    PcmHandle pcm_;
    const PcmFormat format_;
    const TWaveOutCallback callback_;
    snd_pcm_sframes_t period_ = 0;
    int periodMs_ = 1;
    bool canPause_ = false;
    FileDescriptor wake_{-1};     // eventfd: a caller wakes the writer thread
    std::vector<pollfd> pollFds_; // the wake descriptor, then the PCM's; writer thread only
    std::thread thread_;

    std::mutex mutex_; // guards everything below and every call on the PCM after Start
    std::condition_variable doneChanged_;
    std::vector<Entry> ring_; // queued headers in write order, oldest at head_
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::size_t readyCount_ = 0; // leading headers heard (or returned), waiting for Done
    std::size_t feedIndex_ = 0;  // the header being fed; count_ when everything is fed
    int64_t queuedEnd_ = 0;      // end frame of the last queued header
    int64_t written_ = 0;
    int64_t heard_ = 0;
    bool running_ = false; // the stream plays (started or resumed, and not stopped since)
    std::chrono::steady_clock::time_point runningSince_;
    int64_t heardWhenStarted_ = 0;
    uint64_t takenCount_ = 0; // headers taken off the ring for Done since open
    uint64_t doneCount_ = 0;  // headers whose Done has returned since open
    bool paused_ = false;
    bool stopping_ = false;
    bool closed_ = false;
    int failure_ = 0; // the ALSA error that ended the device, 0 while it works
};

struct DeviceEntry {
    std::string pcmName;
    std::string productName;
};

class AlsaOutputService final : public IWaveOutService {
public:
    explicit AlsaOutputService(bool useDevicePause) : useDevicePause_(useDevicePause) {}

    int NumDevs() override {
        std::lock_guard lock(mutex_);
        Enumerate();
        return static_cast<int>(devices_.size());
    }

    int GetDevCaps(int id, TWaveOutCaps& caps) override {
        std::lock_guard lock(mutex_);
        Enumerate();
        if (id == WAVE_MAPPER) {
            caps.productName = mapperName_;
        } else if (id >= 0 && static_cast<std::size_t>(id) < devices_.size()) {
            caps.productName = devices_[static_cast<std::size_t>(id)].productName;
        } else {
            return MMSYSERR_BADDEVICEID;
        }
        caps.driverVersion = SND_LIB_VERSION;
        return MMSYSERR_NOERROR;
    }

    int QueryFormat(int id, const WAVEFORMATEX* format) override {
        PcmFormat pcmFormat;
        int err = DescribeFormat(format, pcmFormat);
        if (err != MMSYSERR_NOERROR)
            return err;
        std::string name;
        if ((err = PcmName(id, name)) != MMSYSERR_NOERROR)
            return err;
        PcmHandle pcm;
        if ((err = OpenPcm(name, pcm)) < 0)
            return err;
        snd_pcm_hw_params_t* raw = nullptr;
        if (snd_pcm_hw_params_malloc(&raw) < 0)
            return MMSYSERR_NOMEM;
        std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> hw(raw);
        return RestrictToFormat(pcm.get(), hw.get(), pcmFormat);
    }

    int Open(int id, const WAVEFORMATEX* format, TWaveOutCallback callback,
             std::unique_ptr<IWaveOutDevice>& device) override {
        PcmFormat pcmFormat;
        int err = DescribeFormat(format, pcmFormat);
        if (err != MMSYSERR_NOERROR)
            return err;
        std::string name;
        if ((err = PcmName(id, name)) != MMSYSERR_NOERROR)
            return err;
        PcmHandle pcm;
        if ((err = OpenPcm(name, pcm)) < 0)
            return err;
        auto opened =
            std::make_unique<AlsaOutputDevice>(std::move(pcm), pcmFormat, std::move(callback));
        if ((err = opened->Start(useDevicePause_)) != MMSYSERR_NOERROR)
            return err;
        opened->NotifyOpened();
        device = std::move(opened);
        return MMSYSERR_NOERROR;
    }

    std::string ErrorText(int code) override {
        if (code < 0)
            return snd_strerror(code);
        switch (code) {
        case MMSYSERR_NOERROR:
            return "No error";
        case MMSYSERR_ERROR:
            return "Unspecified error";
        case MMSYSERR_BADDEVICEID:
            return "The device identifier is out of range";
        case MMSYSERR_NOTENABLED:
            return "The driver failed to enable";
        case MMSYSERR_ALLOCATED:
            return "The device is already in use";
        case MMSYSERR_INVALHANDLE:
            return "The device is not open";
        case MMSYSERR_NODRIVER:
            return "No device driver is present";
        case MMSYSERR_NOMEM:
            return "Out of memory";
        case MMSYSERR_INVALPARAM:
            return "An invalid parameter was passed";
        case WAVERR_BADFORMAT:
            return "The device cannot play this wave format";
        case WAVERR_STILLPLAYING:
            return "Buffers are still queued on the device";
        case WAVERR_UNPREPARED:
            return "The buffer header is not prepared";
        default:
            return {};
        }
    }

private:
    static int OpenPcm(const std::string& name, PcmHandle& pcm) {
        snd_pcm_t* raw = nullptr;
        const int err = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (err < 0)
            return err;
        pcm.reset(raw);
        return 0;
    }

    int PcmName(int id, std::string& name) {
        if (id == WAVE_MAPPER) {
            name = "default";
            return MMSYSERR_NOERROR;
        }
        std::lock_guard lock(mutex_);
        Enumerate();
        if (id < 0 || static_cast<std::size_t>(id) >= devices_.size())
            return MMSYSERR_BADDEVICEID;
        name = devices_[static_cast<std::size_t>(id)].pcmName;
        return MMSYSERR_NOERROR;
    }

    // Under mutex_.
    void Enumerate() {
        if (enumerated_)
            return;
        enumerated_ = true;
        mapperName_ = "Default output device";
        void** rawHints = nullptr;
        if (snd_device_name_hint(-1, "pcm", &rawHints) < 0)
            return;
        std::unique_ptr<void*, HintsFree> hints(rawHints);
        std::vector<std::string> descriptions;
        for (void** hint = hints.get(); *hint != nullptr; ++hint) {
            HintText name(snd_device_name_get_hint(*hint, "NAME"));
            HintText description(snd_device_name_get_hint(*hint, "DESC"));
            HintText direction(snd_device_name_get_hint(*hint, "IOID"));
            if (name == nullptr ||
                (direction != nullptr && std::string(direction.get()) != "Output"))
                continue;
            const std::string pcmName = name.get();
            const std::string text = description ? description.get() : pcmName;
            if (pcmName == "default")
                mapperName_ = FirstLine(text);
            if (pcmName == "null")
                continue;
            devices_.push_back({pcmName, FirstLine(text)});
            descriptions.push_back(text);
        }
        // Cards list several outputs under one first line ("HDA Intel PCH, ALC892 Analog"); the
        // second line ("Front output / input") tells them apart.
        std::vector<std::string> firstLines;
        for (const DeviceEntry& device : devices_)
            firstLines.push_back(device.productName);
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            const auto same = std::count(firstLines.begin(), firstLines.end(), firstLines[i]);
            const std::size_t lineEnd = descriptions[i].find('\n');
            if (same > 1 && lineEnd != std::string::npos)
                devices_[i].productName += ", " + FirstLine(descriptions[i].substr(lineEnd + 1));
        }
    }

    static std::string FirstLine(const std::string& text) {
        return text.substr(0, text.find('\n'));
    }

    const bool useDevicePause_;
    std::mutex mutex_; // guards the device list
    bool enumerated_ = false;
    std::vector<DeviceEntry> devices_;
    std::string mapperName_;
};

} // namespace

std::shared_ptr<IWaveOutService> MakeAlsaWaveOutService() {
    return std::make_shared<AlsaOutputService>(true);
}

// The same back end pausing by dropping the stream and feeding again, as it does on devices
// that cannot pause; tests reach that path through it on devices that can.
std::shared_ptr<IWaveOutService> MakeAlsaWaveOutServiceWithoutDevicePause() {
    return std::make_shared<AlsaOutputService>(false);
}
