#include "processing/MMVolume.h"

#include "chain/MMMsgs.h"

#include <algorithm>

namespace {

constexpr int32_t MaxVolume = 32768;
constexpr int32_t MaxPanning = 16384;

int32_t ToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

} // namespace

TMMVolume::TMMVolume(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
    SetPublishedLinks(plInput | plOutput);
}

void RegisterVolumeClass() {
    RegisterComponentClass("TMMVolume", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMVolume(owner);
    });
}

void TMMVolume::SetEnabled(bool value) {
    enabled_.store(value, std::memory_order_relaxed);
}

void TMMVolume::SetVolume(int32_t value) {
    value = std::clamp(value, 0, MaxVolume);
    if (value == volume_)
        return;
    volume_ = value;
    UpdateGains();
}

void TMMVolume::SetPanning(int32_t value) {
    value = std::clamp(value, -MaxPanning, MaxPanning);
    if (value == panning_)
        return;
    panning_ = value;
    UpdateGains();
}

void TMMVolume::UpdateGains() {
    int32_t left = 0;
    int32_t right = 0;
    CalcVolumeGains(PCMUnityGain, volume_, panning_, left, right);
    leftGain_.store(left, std::memory_order_relaxed);
    rightGain_.store(right, std::memory_order_relaxed);
}

void TMMVolume::SetPWaveFormat(const WAVEFORMATEX* format) {
    if (format != nullptr && !IsDesigning() && !IsValidPCMFormat(format))
        throw EMMVolumeError(LoadResStr(SInvalidWaveFormat));
    TMMDSPComponent::SetPWaveFormat(format);
}

void TMMVolume::Open() {
    if (!ready_.load(std::memory_order_acquire) && IsValidPCMFormat(GetPWaveFormat()))
        ready_.store(true, std::memory_order_release);
    TMMDSPComponent::Open();
}

void TMMVolume::Close() {
    ready_.store(false, std::memory_order_release);
    TMMDSPComponent::Close();
}

void TMMVolume::Scale(PMMChainHdr lpWaveHdr) {
    if (!enabled_.load(std::memory_order_relaxed) || !ready_.load(std::memory_order_acquire))
        return;
    const int32_t left = leftGain_.load(std::memory_order_relaxed);
    const int32_t right = rightGain_.load(std::memory_order_relaxed);
    if (PCMVolume(GetPWaveFormat(), lpWaveHdr->lpData,
                  static_cast<int32_t>(lpWaveHdr->dwBytesRecorded), left, right))
        clipped_.store(true, std::memory_order_relaxed);
}

void TMMVolume::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    Scale(lpWaveHdr);
}

void TMMVolume::BufferReady(PMMChainHdr lpWaveHdr) {
    Scale(lpWaveHdr);
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

bool TMMVolume::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (name == "Enabled" && flag != nullptr) {
        SetEnabled(*flag);
        return true;
    }
    if (name == "Volume" && number != nullptr) {
        SetVolume(ToInt32(*number));
        return true;
    }
    if (name == "Panning" && number != nullptr) {
        SetPanning(ToInt32(*number));
        return true;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}
