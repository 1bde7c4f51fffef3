#include "platform/Threads.h"

#include <algorithm>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

int PlatformThreadPriority(TThreadPriority priority) {
    switch (priority) {
    case tpIdle:
        return -15;
    case tpLowest:
        return -2;
    case tpLower:
        return -1;
    case tpNormal:
        return 0;
    case tpHigher:
        return 1;
    case tpHighest:
        return 2;
    case tpTimeCritical:
        return 15;
    }
    return 0;
}

namespace {

// Real-time priorities (1..99) for the positive platform priorities; the audio service thread
// runs at tpHighest and must stay above ordinary desktop real-time threads but below the
// sound server's own.
int RealtimePriority(int platformPriority) {
    if (platformPriority >= 15)
        return 40;
    return platformPriority >= 2 ? 20 : 10;
}

int NiceValue(int platformPriority) {
    if (platformPriority <= -15)
        return 19;
    if (platformPriority >= 15)
        return -19;
    return std::clamp(-5 * platformPriority, -19, 19);
}

} // namespace

void ApplyThreadPriority(std::thread::native_handle_type thread, int kernelThreadId,
                         int platformPriority) {
    if (platformPriority > 0) {
        int wanted = RealtimePriority(platformPriority);
        rlimit limit{};
        if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && geteuid() != 0 &&
            limit.rlim_cur != RLIM_INFINITY)
            wanted = std::min<int>(wanted, static_cast<int>(limit.rlim_cur));
        if (wanted > 0) {
            sched_param param{};
            param.sched_priority = wanted;
            if (pthread_setschedparam(thread, SCHED_RR, &param) == 0)
                return;
        }
    } else {
        sched_param param{};
        param.sched_priority = 0;
        pthread_setschedparam(thread, SCHED_OTHER, &param);
    }
    // Not allowed real-time scheduling: a nice value is the best the thread can have. A raise
    // that needs a privilege the process lacks fails, and the thread keeps its value.
    if (kernelThreadId > 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(kernelThreadId), NiceValue(platformPriority));
}

int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---- TMMEvent -------------------------------------------------------------------------------

TMMEvent::TMMEvent(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

void TMMEvent::SetEvent() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void TMMEvent::ResetEvent() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool TMMEvent::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool TMMEvent::WaitSlice(int timeoutMs) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return signalled_; };
    bool set;
    if (timeoutMs < 0) {
        changed_.wait(lock, ready);
        set = true;
    } else {
        set = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (set && !manualReset_)
        signalled_ = false;
    return set;
}

bool TMMEvent::WaitFor(int timeoutMs) {
    if (!platform::IsMainThread())
        return WaitSlice(timeoutMs);
    // The main thread waits in short slices and serves synchronised calls between them: the
    // thread it waits for may itself be waiting for the main thread.
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : MonotonicMilliseconds() + timeoutMs;
    for (;;) {
        platform::ServeSynchronizedCalls();
        const int64_t left = deadline - MonotonicMilliseconds();
        if (WaitSlice(static_cast<int>(std::clamp<int64_t>(left, 0, 1))))
            return true;
        if (left <= 0)
            return false;
    }
}

// ---- TMMThreadEx ----------------------------------------------------------------------------

TMMThreadEx::TMMThreadEx(bool createSuspended) {
    if (!createSuspended)
        Resume();
}

TMMThreadEx::~TMMThreadEx() {
    Terminate();
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        thread = std::move(thread_);
    }
    if (thread.joinable()) {
        WaitFor(-1);
        thread.join();
    }
}

void TMMThreadEx::Resume() {
    std::lock_guard lock(mutex_);
    if (started_)
        return;
    thread_ = std::thread([this] { Run(); }); // throws std::system_error when it cannot start
    started_ = true;
}

void TMMThreadEx::Run() {
    kernelThreadId_.store(static_cast<int>(syscall(SYS_gettid)), std::memory_order_release);
    const int priority = PlatformThreadPriority(Priority());
    if (priority != 0)
        ApplyThreadPriority(pthread_self(), kernelThreadId_.load(), priority);
    try {
        Execute();
    } catch (...) {
        platform::HandleException(std::current_exception());
    }
    finished_.SetEvent();
}

bool TMMThreadEx::WaitFor(int timeoutMs) {
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return true;
    }
    return finished_.WaitFor(timeoutMs);
}

void TMMThreadEx::SetPriority(TThreadPriority priority) {
    priority_.store(priority, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    const int tid = kernelThreadId_.load(std::memory_order_acquire);
    if (started_ && tid != 0 && !finished_.IsSet())
        ApplyThreadPriority(thread_.native_handle(), tid, PlatformThreadPriority(priority));
}

std::thread::id TMMThreadEx::ThreadID() const {
    std::lock_guard lock(mutex_);
    return thread_.get_id();
}
