#include "platform/Threads.h"
#include "platform/GlobalMem.h"
#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

class LambdaThread : public TMMThreadEx {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body)
        : TMMThreadEx(true), body_(std::move(body)) {}
    ~LambdaThread() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(LambdaThread&)> body_;
};

// Processes the main thread's events until done() or the bound passes.
bool PumpUntil(const std::function<bool()>& done, int boundMs = 10000) {
    const int64_t deadline = MonotonicMilliseconds() + boundMs;
    while (!done()) {
        if (MonotonicMilliseconds() > deadline)
            return false;
        platform::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(GlobalMem, BlocksAreZeroedAndAligned) {
    for (std::size_t size : {0u, 1u, 17u, 4096u}) {
        void* block = GlobalAllocMem(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        const auto* bytes = static_cast<const uint8_t*>(block);
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(bytes[i], 0) << i;
        GlobalFreeMem(block);
        EXPECT_EQ(block, nullptr);
    }
    EXPECT_THROW(GlobalAllocMem(SIZE_MAX - 4), EOutOfMemory);
}

TEST(Events, AutoResetReleasesOneWaitAndManualResetStaysSet) {
    TMMEvent autoReset(false, false);
    EXPECT_FALSE(autoReset.WaitFor(0));
    autoReset.SetEvent();
    EXPECT_TRUE(autoReset.WaitFor(0));
    EXPECT_FALSE(autoReset.WaitFor(0));

    TMMEvent manual(true, true);
    EXPECT_TRUE(manual.WaitFor(0));
    EXPECT_TRUE(manual.WaitFor(0));
    manual.ResetEvent();
    EXPECT_FALSE(manual.WaitFor(5));

    TMMEvent crossThread;
    std::thread setter([&] { crossThread.SetEvent(); });
    EXPECT_TRUE(crossThread.WaitFor(10000));
    setter.join();
}

TEST(Threads, PriorityTableAndLifecycle) {
    const int expected[] = {-15, -2, -1, 0, 1, 2, 15};
    for (int p = tpIdle; p <= tpTimeCritical; ++p)
        EXPECT_EQ(PlatformThreadPriority(static_cast<TThreadPriority>(p)), expected[p]);

    std::atomic<bool> ran{false};
    std::thread::id seenId;
    LambdaThread thread([&](LambdaThread& self) {
        seenId = std::this_thread::get_id();
        EXPECT_TRUE(self.IsCurrentThread());
        while (!self.Terminated())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ran = true;
    });
    // Whether real-time scheduling is allowed here or not, asking for it must not fail.
    thread.SetPriority(tpHighest);
    EXPECT_TRUE(thread.WaitFor(0)); // never resumed counts as finished
    thread.Resume();
    thread.SetPriority(tpTimeCritical);
    thread.SetPriority(tpLowest);
    EXPECT_EQ(thread.Priority(), tpLowest);
    EXPECT_FALSE(thread.WaitFor(20));
    thread.Terminate();
    ASSERT_TRUE(thread.WaitFor(10000));
    EXPECT_TRUE(ran);
    EXPECT_EQ(seenId, thread.ThreadID());
}

TEST(Synchronize, RunsOnTheMainThreadAndCarriesExceptionsBack) {
    QThread* mainThread = QCoreApplication::instance()->thread();
    std::vector<QThread*> ranOn;
    std::string caught;
    LambdaThread worker([&](LambdaThread&) {
        platform::Synchronize([&] { ranOn.push_back(QThread::currentThread()); });
        try {
            platform::Synchronize([] { throw std::runtime_error("from the main thread"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    });
    worker.Resume();
    // The main thread waits for the worker while the worker waits for the main thread.
    ASSERT_TRUE(worker.WaitFor(10000));
    EXPECT_EQ(ranOn, std::vector<QThread*>{mainThread});
    EXPECT_EQ(caught, "from the main thread");
}

TEST(Synchronize, EventWaitOnTheMainThreadServesCalls) {
    TMMEvent done;
    std::atomic<bool> served{false};
    std::thread worker([&] {
        platform::Synchronize([&] { served = true; });
        done.SetEvent();
    });
    EXPECT_TRUE(done.WaitFor(10000));
    worker.join();
    EXPECT_TRUE(served);
}

TEST(MessageWindow, PostedMessagesArriveInOrderAndCanBeRemoved) {
    std::vector<std::pair<uint32_t, intptr_t>> received;
    TMessageWindow window([&](uint32_t message, intptr_t wParam, intptr_t) {
        received.emplace_back(message, wParam);
    });
    std::thread poster([&] {
        window.PostMessage(1, 10);
        window.PostMessage(2, 20);
        window.PostMessage(1, 11);
    });
    poster.join();
    window.RemovePendingMessages(1);
    window.PostMessage(3, 30);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= 2; }));
    platform::ProcessMessages();
    EXPECT_EQ(received, (std::vector<std::pair<uint32_t, intptr_t>>{{2, 20}, {3, 30}}));
}

TEST(ExceptionHandler, ExceptionsFromOtherThreadsAreShownOnTheMainThread) {
    QThread* mainThread = QCoreApplication::instance()->thread();
    std::vector<std::string> shown;
    QThread* shownOn = nullptr;
    platform::SetExceptionHandler([&](const std::string& message) {
        shown.push_back(message);
        shownOn = QThread::currentThread();
    });
    {
        LambdaThread failing([](LambdaThread&) { throw std::runtime_error("device lost"); });
        failing.Resume();
        ASSERT_TRUE(failing.WaitFor(10000));
    }
    ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
    EXPECT_EQ(shown, std::vector<std::string>{"device lost"});
    EXPECT_EQ(shownOn, mainThread);

    TMessageWindow window([](uint32_t, intptr_t, intptr_t) { throw std::logic_error("handler"); });
    window.PostMessage(7);
    ASSERT_TRUE(PumpUntil([&] { return shown.size() == 2; }));
    EXPECT_EQ(shown.back(), "handler");
    platform::SetExceptionHandler(nullptr);
}

} // namespace
