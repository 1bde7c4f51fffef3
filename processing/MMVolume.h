// The volume stage: a pass-through chain link that scales every PCM block passing it, pulled or
// pushed, by a volume and a panning, in place.
//
// Threading: the property setters run on the main thread; BufferLoad and BufferReady run on the
// thread that pulls or pushes (the output device's service thread). No lock is taken: the two
// gains are atomics read once per block, so a block may be scaled with one gain from before and
// one from after a concurrent change.
#pragma once

#include "chain/MMDSPObj.h"
#include "processing/MMPCM.h"

#include <atomic>
#include <cstdint>

class TMMVolume : public TMMDSPComponent {
public:
    explicit TMMVolume(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMVolume"; }

    bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
    void SetEnabled(bool value); // takes effect with the next block
    int32_t Volume() const { return volume_; }
    void SetVolume(int32_t value); // clamped to 0..32768; 16384 = unity
    int32_t Panning() const { return panning_; }
    void SetPanning(int32_t value); // clamped to -16384..16384; positive lowers the left
    int32_t LeftGain() const { return leftGain_.load(std::memory_order_relaxed); }
    int32_t RightGain() const { return rightGain_.load(std::memory_order_relaxed); }
    // The format at Open was valid PCM: blocks are scaled until Close.
    bool Ready() const { return ready_.load(std::memory_order_acquire); }
    bool Clipped() const { return clipped_.load(std::memory_order_relaxed); }

    // Refuses a format that is not valid PCM with EMMVolumeError "Invalid WaveFormat" (except
    // at design time); the held format is then unchanged.
    void SetPWaveFormat(const WAVEFORMATEX* format) override;

    void Open() override;
    void Close() override;
    void BufferReady(PMMChainHdr lpWaveHdr) override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

private:
    void UpdateGains();
    void Scale(PMMChainHdr lpWaveHdr);

    int32_t volume_ = PCMUnityGain;
    int32_t panning_ = 0;
    // Written by the main thread, read once per block by the pulling thread; each value stands
    // alone, so relaxed order is enough.
    std::atomic<int32_t> leftGain_{PCMUnityGain}, rightGain_{PCMUnityGain};
    std::atomic<bool> enabled_{true};
    // Set by Open and cleared by Close, on whichever thread walks the chain; acquire/release
    // pairs it with the held format it was checked against.
    std::atomic<bool> ready_{false};
    std::atomic<bool> clipped_{false};
};

// Makes "TMMVolume" known to descriptions of components.
void RegisterVolumeClass();
