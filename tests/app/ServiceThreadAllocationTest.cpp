// The output's service thread allocates nothing while it plays: every refill of the whole chain
// (file source, converters, five mixers, volume stage) works in buffers made before it starts.
// Counted with the program's own allocation functions replaced in this test program.
#include "app/AudioChain.h"
#include "output/MMWavOut.h"
#include "platform/WaveOutVirtual.h"
#include "sources/MMAudio.h"
#include "support/WavFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <thread>

namespace {

// The thread whose allocations are counted, and the count.
std::atomic<std::thread::id> watched{};
std::atomic<int64_t> allocations{0};

void Count() {
    if (std::this_thread::get_id() == watched.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer owns the allocation functions; it tells of every allocation (also the C
// libraries' ones) through its hook instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*mallocHook)(const volatile void*, std::size_t), void (*freeHook)(const volatile void*));

namespace {
void OnMalloc(const volatile void*, std::size_t) { Count(); }
void OnFree(const volatile void*) {}
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
} // namespace
#else
void* operator new(std::size_t size) {
    Count();
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#endif

namespace {

using namespace testsupport;

bool PumpUntil(const std::function<bool()>& done, int boundMs = 20000) {
    const int64_t deadline = MonotonicMilliseconds() + boundMs;
    while (!done()) {
        if (MonotonicMilliseconds() > deadline)
            return false;
        platform::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<uint8_t> Tone(int rate, int channels, int seconds) {
    std::vector<int16_t> samples(static_cast<std::size_t>(rate * channels * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(std::lround(
            8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i / channels) / rate)));
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

TEST(ServiceThread, RefillsAllocateNothing) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string path;
    };
    const Case cases[] = {
        {"wave at the mix's own format",
         dir.Write("cd.wav", MakeWave(PcmFormat(2, 44100, 16), Tone(44100, 2, 3)))},
        {"wave converted by the mixer",
         dir.Write("mono.wav", MakeWave(PcmFormat(1, 22050, 16), Tone(22050, 1, 3)))},
        {"MPEG layer 3", std::string(TESSARO_FIXTURES_DIR) + "/mpeg/l3-44k-stereo.mp3"},
    };
    auto device = std::make_shared<TVirtualWaveOutService>(TVirtualClock::Instant, 1);
    device->SetCapture(false);
    SetWaveOutService(device);
    {
        TAudioChain chain;
        TMMWaveOut* out = chain.WaveOut();
        std::atomic<int> refills{0};
        // The first refill names the service thread; counting starts with the next one.
        out->OnBufferFilled = [&](TObject*, PMMChainHdr) {
            if (out->State() & TMMWaveOut::wosPlay) {
                if (refills.fetch_add(1) == 0)
                    watched.store(std::this_thread::get_id());
            }
        };
        for (const Case& item : cases) {
            SCOPED_TRACE(item.what);
            refills = 0;
            watched.store(std::thread::id{});
            chain.Play(1, item.path);
            ASSERT_TRUE(PumpUntil([&] { return refills.load() > 100; }));
            out->CloseDevice();
            EXPECT_EQ(allocations.exchange(0), 0) << "allocations on the service thread";
        }
    }
    SetWaveOutService(nullptr);
}

} // namespace
