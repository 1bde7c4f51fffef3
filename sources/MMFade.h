// The volume envelope of a file source: fade points (byte position, volume, the two channel gains
// that follow from the volume and the panning), kept sorted by position, and the ramp that
// applies it to PCM blocks in place.
//
// Threading: the owner rebuilds the envelope and applies it under its own lock; nothing here
// locks. Apply allocates nothing; the list keeps its capacity when cleared.
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <vector>

constexpr int32_t MaxPan = 32768;
constexpr int32_t UnityGain = 16384;

// Positions are bytes of the owner's format, 64-bit so that long files cannot overflow them.
struct TMMFadePoint {
    int64_t Position = 0;
    int32_t Volume = 0;
    int32_t LeftGain = 0;
    int32_t RightGain = 0;
};

// The gains of a volume under a panning: positive panning attenuates the left channel,
// negative the right one.
void PanGains(int32_t volume, int32_t panning, int32_t& left, int32_t& right);

class TMMFadeList {
public:
    TMMFadeList();

    void Clear();
    void Add(int64_t position, int32_t volume, int32_t panning);
    // Shell sort (gaps 1, 4, 13, 40, ...): points of equal position keep their insertion order
    // while there are fewer than nine.
    void Sort();
    int Count() const { return static_cast<int>(points_.size()); }
    const TMMFadePoint& operator[](int index) const {
        return points_[static_cast<std::size_t>(index)];
    }

    // The index of the first point whose position exceeds pos; Count() when none does.
    int UpperBound(int64_t pos) const;
    // The volume at pos, interpolated linearly between the points around it.
    int32_t InterpolateVolume(int64_t pos) const;

    // Where the ramp stands: the byte position reached and the gains there.
    int CurrentIndex = 0;
    int64_t CurrentPosition = 0;
    int32_t CurrentLeft = 0;
    int32_t CurrentRight = 0;

private:
    std::vector<TMMFadePoint> points_;
};

// Applies the envelope to count bytes of PCM data from the envelope's current position on, and
// advances it. 8-bit samples are unsigned; 16, 24 and 32-bit samples signed, each scaled in its
// own width. The first channel of a frame follows the left gain, the second the right one (and so
// on in turn); a mono stream follows the left gain. Returns true when a sample saturated.
bool ApplyEnvelope(const WAVEFORMATEX* format, void* data, int32_t count, TMMFadeList& envelope);
