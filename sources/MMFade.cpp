#include "sources/MMFade.h"

#include <algorithm>
#include <cstring>

void PanGains(int32_t volume, int32_t panning, int32_t& left, int32_t& right) {
    left = right = volume;
    if (panning > 0)
        left = static_cast<int32_t>(static_cast<int64_t>(volume) * (MaxPan - panning) / MaxPan);
    else
        right = static_cast<int32_t>(static_cast<int64_t>(volume) * (MaxPan + panning) / MaxPan);
}

TMMFadeList::TMMFadeList() {
    // Room for every point an envelope of the file source has, so that rebuilding it (also on
    // the service thread when a loop wraps) never allocates.
    points_.reserve(16);
}

void TMMFadeList::Clear() {
    points_.clear();
    CurrentIndex = 0;
    CurrentPosition = 0;
    CurrentLeft = CurrentRight = 0;
}

void TMMFadeList::Add(int64_t position, int32_t volume, int32_t panning) {
    if (points_.size() == points_.capacity()) {
        // Grows by 4 while small, then 8, then 16 points at a time.
        const std::size_t size = points_.size();
        points_.reserve(size + (size < 5 ? 4 : size < 9 ? 8 : 16));
    }
    TMMFadePoint point;
    point.Position = position;
    point.Volume = volume;
    PanGains(volume, panning, point.LeftGain, point.RightGain);
    points_.push_back(point);
}

void TMMFadeList::Sort() {
    const std::size_t count = points_.size();
    std::size_t gap = 1;
    while (gap * 3 + 1 <= count / 9)
        gap = gap * 3 + 1;
    for (; gap > 0; gap /= 3) {
        for (std::size_t i = gap; i < count; ++i) {
            const TMMFadePoint moving = points_[i];
            std::size_t j = i;
            while (j >= gap && points_[j - gap].Position > moving.Position) {
                points_[j] = points_[j - gap];
                j -= gap;
            }
            points_[j] = moving;
        }
    }
}

int TMMFadeList::UpperBound(int64_t pos) const {
    for (int i = 0; i < Count(); ++i)
        if ((*this)[i].Position > pos)
            return i;
    return Count();
}

int32_t TMMFadeList::InterpolateVolume(int64_t pos) const {
    int upper = UpperBound(pos);
    if (upper <= 0)
        return 0;
    upper = std::min(upper, Count() - 1);
    if (upper <= 0)
        return 0;
    const TMMFadePoint& low = (*this)[upper - 1];
    const TMMFadePoint& high = (*this)[upper];
    if (low.Position >= high.Position)
        return 0;
    return static_cast<int32_t>(low.Volume + static_cast<int64_t>(high.Volume - low.Volume) *
                                                 (pos - low.Position) /
                                                 (high.Position - low.Position));
}

namespace {

// Reads and writes one sample of 1 (unsigned), 2, 3 or 4 bytes as a signed value.
int64_t LoadSample(const uint8_t* at, int bytes) {
    if (bytes == 1)
        return static_cast<int64_t>(*at) - 128;
    uint32_t raw = 0;
    for (int b = 0; b < bytes; ++b)
        raw |= static_cast<uint32_t>(at[b]) << (8 * b);
    const int shift = 32 - 8 * bytes; // sign-extends the top byte
    return static_cast<int64_t>(static_cast<int32_t>(raw << shift) >> shift);
}

void StoreSample(uint8_t* at, int bytes, int64_t value) {
    if (bytes == 1) {
        *at = static_cast<uint8_t>(value + 128);
        return;
    }
    const auto raw = static_cast<uint32_t>(static_cast<int32_t>(value));
    for (int b = 0; b < bytes; ++b)
        at[b] = static_cast<uint8_t>(raw >> (8 * b));
}

// Scales one channel of `frames` frames from gain `from` towards `to`, which it reaches after
// `span` frames; returns the gain reached. Sets clipped when a sample saturates.
int32_t RampChannel(uint8_t* data, int32_t frames, int32_t frameBytes, int sampleBytes,
                    int32_t from, int32_t to, int64_t span, bool& clipped) {
    if (span <= 0)
        return to;
    const int64_t difference = static_cast<int64_t>(to) - from;
    const int64_t step = difference / span;
    const int64_t remainder = difference % span;
    const int64_t remainderSize = remainder < 0 ? -remainder : remainder;
    const int64_t remainderSign = remainder < 0 ? -1 : 1;
    int64_t error = span / 2;
    int64_t gain = from;
    const auto advance = [&] {
        gain += step;
        error += remainderSize;
        if (error >= span) {
            error -= span;
            gain += remainderSign;
        }
    };
    if (from == UnityGain && to == UnityGain)
        return to; // unity over the whole span: the data stays as it is
    if (from == 0 && to == 0) {
        for (int32_t f = 0; f < frames; ++f)
            StoreSample(data + f * frameBytes, sampleBytes, 0);
        return 0;
    }
    // The sample's range: 8-bit samples are scaled as if they were 16-bit ones, as the gain's
    // arithmetic was made for 16 bits.
    const int64_t top = sampleBytes == 1 ? 127 : (int64_t{1} << (8 * sampleBytes - 1)) - 1;
    for (int32_t f = 0; f < frames; ++f, advance()) {
        uint8_t* sample = data + f * frameBytes;
        const int64_t value = LoadSample(sample, sampleBytes);
        const int64_t scaled =
            sampleBytes == 1 ? (value * 256 * 4 * gain) >> 24 : (value * 4 * gain) >> 16;
        if (scaled < -top - 1 || scaled > top)
            clipped = true;
        StoreSample(sample, sampleBytes, std::clamp<int64_t>(scaled, -top - 1, top));
    }
    return static_cast<int32_t>(gain);
}

} // namespace

bool ApplyEnvelope(const WAVEFORMATEX* format, void* data, int32_t count, TMMFadeList& envelope) {
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels == 0 ||
        count <= 0)
        return false;
    // Samples by their container: 8-bit unsigned, 16, 24 or 32-bit signed.
    const int32_t channels = format->nChannels;
    const int32_t sampleBytes = std::clamp<int32_t>(format->nBlockAlign / channels, 1, 4);
    const int32_t frameBytes = std::max<int32_t>(format->nBlockAlign, sampleBytes * channels);
    auto* bytes = static_cast<uint8_t*>(data);
    bool clipped = false;
    int index = std::max(envelope.UpperBound(envelope.CurrentPosition) - 1, 0);
    while (count > 0 && index < envelope.Count()) {
        const TMMFadePoint& target = envelope[index];
        const int64_t distance = target.Position - envelope.CurrentPosition;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, distance));
        if (n > 0) {
            const int32_t frames = n / frameBytes;
            const int64_t span = distance / frameBytes;
            int32_t left = envelope.CurrentLeft, right = envelope.CurrentRight;
            for (int32_t channel = 0; channel < channels; ++channel) {
                const bool isLeft = channel % 2 == 0 || channels == 1;
                const int32_t reached =
                    RampChannel(bytes + channel * sampleBytes, frames, frameBytes, sampleBytes,
                                isLeft ? envelope.CurrentLeft : envelope.CurrentRight,
                                isLeft ? target.LeftGain : target.RightGain, span, clipped);
                if (channel == 0)
                    left = reached;
                else if (channel == 1)
                    right = reached;
            }
            envelope.CurrentLeft = left;
            envelope.CurrentRight = channels == 1 ? target.RightGain : right;
            bytes += n;
            count -= n;
            envelope.CurrentPosition += n;
        }
        if (envelope.CurrentPosition >= target.Position) {
            // Arrived at the point (not merely past it from before): its gains hold from here,
            // also where two points share a position and the volume steps.
            if (distance >= 0) {
                envelope.CurrentLeft = target.LeftGain;
                envelope.CurrentRight = target.RightGain;
            }
            ++index;
        }
    }
    envelope.CurrentIndex = index;
    return clipped;
}
