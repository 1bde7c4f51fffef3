#include "sources/MMAudio.h"

TMMCustomFile::TMMCustomFile(TMMComponentOwner* owner) : TMMDSPComponent(owner) {}

int32_t TMMCustomFile::GetSampleRate() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? static_cast<int32_t>(format->nSamplesPerSec) : 0;
}

int32_t TMMCustomFile::GetChannels() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? format->nChannels : 0;
}

void TMMCustomFile::DoFileChange() {
    if (OnChange)
        OnChange(this);
    if (OnChanged)
        OnChanged(this);
}
