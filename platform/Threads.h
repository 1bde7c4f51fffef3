// Threads with priorities, events, the re-entrant lock and a periodic-safe sleep.
//
// Threading: TMMEvent and TMMCriticalSection may be used from any thread. A TMMThreadEx is
// created, resumed, prioritised, terminated and waited for by its owner's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The platform priority of a thread priority: -15, -2, -1, 0, 1, 2, 15.
int PlatformThreadPriority(TThreadPriority priority);

// Applies a platform priority to a running thread (its pthread handle and kernel thread id):
// real-time round-robin scheduling for positive values where the process is allowed it, else a
// nice value; silent when neither is allowed.
void ApplyThreadPriority(std::thread::native_handle_type thread, int kernelThreadId,
                         int platformPriority);

// An event: manual reset (stays set until Reset) or auto reset (a successful wait resets it).
class TMMEvent {
public:
    explicit TMMEvent(bool manualReset = false, bool initialState = false);
    void SetEvent();
    void ResetEvent();
    // Waits up to timeoutMs (negative: without limit); true when the event was set. On the main
    // thread the wait keeps serving synchronised calls, so a thread that waits for the main
    // thread cannot deadlock against it.
    bool WaitFor(int timeoutMs);
    bool IsSet() const;

private:
    bool WaitSlice(int timeoutMs);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
};

// The component lock: a critical section, re-entrant for the owning thread.
class TMMCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    // For std::lock_guard and std::unique_lock.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex mutex_;
};

// A thread that is created suspended or running, runs Execute once and can be prioritised.
class TMMThreadEx {
public:
    explicit TMMThreadEx(bool createSuspended);
    // Asks the thread to end and waits for it. A thread must not destroy itself.
    virtual ~TMMThreadEx();
    TMMThreadEx(const TMMThreadEx&) = delete;
    TMMThreadEx& operator=(const TMMThreadEx&) = delete;

    // Starts a suspended thread; nothing when it already runs. Throws std::system_error when
    // the thread cannot be created.
    void Resume();
    void Terminate() { terminated_.store(true, std::memory_order_release); }
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    // Waits until Execute has returned (a thread never resumed counts as finished); true when
    // it finished in time. On the main thread the wait serves synchronised calls.
    bool WaitFor(int timeoutMs = -1);
    bool Finished() const { return finished_.IsSet(); }

    void SetPriority(TThreadPriority priority);
    TThreadPriority Priority() const { return priority_.load(std::memory_order_relaxed); }

    // The identifier of the running thread; the default id before Resume.
    std::thread::id ThreadID() const;
    // True when called from this thread.
    bool IsCurrentThread() const { return ThreadID() == std::this_thread::get_id(); }

    // Runs a call on the main thread while this thread waits (see platform/MainThread.h).
    template <typename F> void Synchronize(F&& call);

protected:
    virtual void Execute() = 0;

private:
    void Run();

    mutable std::mutex mutex_; // guards thread_ against Resume racing ThreadID
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<TThreadPriority> priority_{tpNormal};
    TMMEvent finished_{true, false};
    bool started_ = false;
    std::atomic<int> kernelThreadId_{0}; // set by the thread itself before Execute
};

// Current monotonic time in milliseconds.
int64_t MonotonicMilliseconds();

#include "platform/MainThread.h"

template <typename F> void TMMThreadEx::Synchronize(F&& call) {
    platform::Synchronize(std::forward<F>(call));
}
