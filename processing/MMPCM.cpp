#include "processing/MMPCM.h"

#include "platform/GlobalMem.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

static_assert(std::endian::native == std::endian::little,
              "16-bit samples are loaded and stored in host byte order");

namespace {

constexpr int32_t GainShift = 14; // 16384 = 1 << 14 is unity

// Blocks may start at any byte address, so 16-bit samples go through memcpy (a plain load or
// store once optimised).
inline int16_t Load16(const void* at) {
    int16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void Store16(void* at, int16_t value) {
    std::memcpy(at, &value, sizeof value);
}

// The product is taken in 64 bits so that a large gain saturates instead of wrapping; whatever
// fits in 32 bits comes out as the 32-bit product would. >> on a negative value rounds down.
inline int64_t ApplyGain(int32_t sample, int32_t gain) {
    return (static_cast<int64_t>(sample) * gain) >> GainShift;
}

inline int32_t Saturate(int64_t value, int32_t low, int32_t high, bool& clipped) {
    const int64_t limited = std::clamp<int64_t>(value, low, high);
    clipped |= limited != value;
    return static_cast<int32_t>(limited);
}

inline int16_t Saturate16(int64_t value, bool& clipped) {
    return static_cast<int16_t>(Saturate(value, -32768, 32767, clipped));
}

inline uint8_t Scale8(uint8_t sample, int32_t gain, bool& clipped) {
    const int64_t scaled = ApplyGain(static_cast<int32_t>(sample) - 128, gain);
    return static_cast<uint8_t>(Saturate(scaled, -128, 127, clipped) + 128);
}

inline void Scale16(uint8_t* at, int32_t gain, bool& clipped) {
    Store16(at, Saturate16(ApplyGain(Load16(at), gain), clipped));
}

// a * b / c from the 64-bit product, rounded to nearest with halves away from zero, as Windows
// MulDiv does it, including its -1 for c = 0 or a quotient beyond 32 bits. |a| < 2^32 keeps the
// product below 2^63.
int32_t MulDiv(int64_t a, int32_t b, int32_t c) {
    if (c == 0)
        return -1;
    const int64_t product = a * b;
    int64_t quotient = product / c;
    const int64_t remainder = product % c;
    if (2 * std::abs(remainder) >= std::abs(static_cast<int64_t>(c)))
        quotient += (product < 0) != (c < 0) ? -1 : 1;
    if (quotient < std::numeric_limits<int32_t>::min() ||
        quotient > std::numeric_limits<int32_t>::max())
        return -1;
    return static_cast<int32_t>(quotient);
}

// numerator / divisor (divisor > 0) rounded to nearest with ties to even.
int64_t DivideRoundingToEven(int64_t numerator, int64_t divisor) {
    int64_t quotient = numerator / divisor;
    int64_t remainder = numerator % divisor;
    if (remainder < 0) {
        quotient -= 1;
        remainder += divisor;
    }
    if (2 * remainder > divisor || (2 * remainder == divisor && (quotient & 1) != 0))
        ++quotient;
    return quotient;
}

inline int32_t LoadTriggerSample(const uint8_t* at, int sampleBytes) {
    return sampleBytes == 1 ? *at : Load16(at);
}

} // namespace

bool IsValidPCMFormat(const WAVEFORMATEX* format) {
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM)
        return false;
    const uint16_t bits = format->wBitsPerSample;
    const uint16_t channels = format->nChannels;
    const uint32_t rate = format->nSamplesPerSec;
    return (bits == 8 || bits == 16) && (channels == 1 || channels == 2 || channels == 4) &&
           rate >= 4000 && rate <= 100000;
}

void MakePCMFormat(WAVEFORMATEX& format, uint16_t bits, uint16_t channels, uint32_t sampleRate) {
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = sampleRate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<uint16_t>((bits * channels) >> 3);
    format.nAvgBytesPerSec = format.nBlockAlign * sampleRate;
    format.cbSize = 0;
}

void CalcVolumeGains(int32_t range, int32_t volume, int32_t panning, int32_t& leftGain,
                     int32_t& rightGain) {
    if (panning > 0) {
        leftGain = MulDiv(static_cast<int64_t>(range) - panning, volume, range);
        rightGain = volume;
    } else {
        leftGain = volume;
        rightGain = MulDiv(static_cast<int64_t>(range) + panning, volume, range);
    }
}

bool PCMVolume(const WAVEFORMATEX* format, void* data, int32_t bytes, int32_t leftGain,
               int32_t rightGain) {
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM)
        return false;
    const bool mono = format->nChannels == 1;
    switch (format->wBitsPerSample) {
    case 8:
        return mono ? PCMVolumeMono8(leftGain, bytes, data)
                    : PCMVolumeStereo8(leftGain, rightGain, bytes, data);
    case 16:
        return mono ? PCMVolumeMono16(leftGain, bytes, data)
                    : PCMVolumeStereo16(leftGain, rightGain, bytes, data);
    default:
        return false;
    }
}

bool PCMVolumeMono8(int32_t gain, int32_t bytes, void* data) {
    if (gain == PCMUnityGain || bytes <= 0)
        return false;
    auto* samples = static_cast<uint8_t*>(data);
    bool clipped = false;
    for (int32_t i = 0; i < bytes; ++i)
        samples[i] = Scale8(samples[i], gain, clipped);
    return clipped;
}

bool PCMVolumeStereo8(int32_t leftGain, int32_t rightGain, int32_t bytes, void* data) {
    if ((leftGain == PCMUnityGain && rightGain == PCMUnityGain) || bytes <= 0)
        return false;
    auto* frame = static_cast<uint8_t*>(data);
    bool clipped = false;
    for (int32_t frames = bytes / 2; frames > 0; --frames, frame += 2) {
        frame[0] = Scale8(frame[0], leftGain, clipped);
        frame[1] = Scale8(frame[1], rightGain, clipped);
    }
    return clipped;
}

bool PCMVolumeMono16(int32_t gain, int32_t bytes, void* data) {
    if (gain == PCMUnityGain || bytes <= 0)
        return false;
    auto* sample = static_cast<uint8_t*>(data);
    bool clipped = false;
    for (int32_t samples = bytes / 2; samples > 0; --samples, sample += 2)
        Scale16(sample, gain, clipped);
    return clipped;
}

bool PCMVolumeStereo16(int32_t leftGain, int32_t rightGain, int32_t bytes, void* data) {
    if ((leftGain == PCMUnityGain && rightGain == PCMUnityGain) || bytes <= 0)
        return false;
    auto* frame = static_cast<uint8_t*>(data);
    bool clipped = false;
    for (int32_t frames = bytes / 4; frames > 0; --frames, frame += 4) {
        Scale16(frame, leftGain, clipped);
        Scale16(frame + 2, rightGain, clipped);
    }
    return clipped;
}

TMMMixInfo* AllocMixInfo(int32_t count) {
    const int32_t room = std::max(count, 0);
    // The declared single entry stays inside the record even for a count of 0.
    const std::size_t size = offsetof(TMMMixInfo, Inputs) +
                             static_cast<std::size_t>(std::max(room, 1)) * sizeof(int16_t*);
    auto* info = GlobalAllocTyped<TMMMixInfo>(size);
    info->Count = room;
    return info;
}

void FreeMixInfo(TMMMixInfo*& info) {
    GlobalFreeTyped(info);
}

bool MixStereo16(int32_t bytes, int32_t count, const TMMMixInfo* info, int32_t* accumulator,
                 int16_t* dest) {
    if (bytes <= 0)
        return false;
    const int32_t frames = bytes / 4;
    const int32_t samples = frames * 2;
    if (info != nullptr)
        count = std::min(count, info->Count);
    if (info == nullptr || count <= 0) {
        std::memset(dest, 0, static_cast<std::size_t>(frames) * 4);
        return false;
    }

    // The last input sets the sums, the others are added from the highest index down.
    const int16_t* input = info->Inputs[count - 1];
    for (int32_t i = 0; i < samples; ++i)
        accumulator[i] = Load16(input + i);
    for (int32_t index = count - 2; index >= 0; --index) {
        input = info->Inputs[index];
        for (int32_t i = 0; i < samples; ++i)
            accumulator[i] += Load16(input + i);
    }

    bool clipped = false;
    const int32_t leftGain = info->LeftGain;
    const int32_t rightGain = info->RightGain;
    if (leftGain == PCMUnityGain && rightGain == PCMUnityGain) {
        for (int32_t i = 0; i < samples; ++i)
            Store16(dest + i, Saturate16(accumulator[i], clipped));
    } else {
        for (int32_t i = 0; i < samples; i += 2) {
            Store16(dest + i, Saturate16(ApplyGain(accumulator[i], leftGain), clipped));
            Store16(dest + i + 1, Saturate16(ApplyGain(accumulator[i + 1], rightGain), clipped));
        }
    }
    return clipped;
}

int32_t ConvertSampleBits(int dstBits, void* dst, int srcBits, const void* src, int32_t bytes) {
    if (bytes <= 0)
        return 0;
    if (dstBits == srcBits) {
        std::memmove(dst, src, static_cast<std::size_t>(bytes));
        return bytes;
    }
    const auto* from = static_cast<const uint8_t*>(src);
    auto* to = static_cast<uint8_t*>(dst);
    if (srcBits == 16 && dstBits == 8) {
        const int32_t samples = bytes / 2;
        for (int32_t i = 0; i < samples; ++i) {
            // Division by the constant 256 compiles to shifts; it truncates towards zero.
            const int32_t sample = Load16(from + 2 * i);
            to[i] = static_cast<uint8_t>(sample / 256 + 128);
        }
        return samples;
    }
    if (srcBits == 8 && dstBits == 16) {
        // The result counts destination bytes, so the source is cut to what that count can hold.
        const int32_t samples = std::min(bytes, std::numeric_limits<int32_t>::max() / 2);
        for (int32_t i = 0; i < samples; ++i)
            Store16(to + 2 * i, static_cast<int16_t>((from[i] - 128) * 256));
        return samples * 2;
    }
    return 0;
}

int32_t FindTrigger(const WAVEFORMATEX* format, const void* data, int32_t bytes, int32_t level,
                    int mode, int channel) {
    if (format == nullptr || format->wFormatTag != WAVE_FORMAT_PCM || bytes <= 0)
        return -1;
    if (mode != 1 && mode != 2)
        return -1;
    const bool rising = mode == 1;
    const int64_t percent = rising ? level : -static_cast<int64_t>(level);

    int sampleBytes = 0;
    int64_t threshold = 0;
    switch (format->wBitsPerSample) {
    case 8:
        sampleBytes = 1;
        // level * 1.27 to the nearest integer with ties to even, exact in integers.
        threshold = DivideRoundingToEven(percent * 127, 100) + 128;
        break;
    case 16:
        sampleBytes = 2;
        threshold = percent * 327;
        break;
    default:
        return -1;
    }

    const bool mono = format->nChannels == 1;
    const bool searchLeft = mono || channel == 0 || channel == 1;
    const bool searchRight = !mono && (channel == 0 || channel == 2);
    const int frameBytes = mono ? sampleBytes : 2 * sampleBytes;
    const int32_t frames = bytes / frameBytes;
    const auto* base = static_cast<const uint8_t*>(data);

    // True when the pair (sample at offset, sample one frame later) crosses the threshold.
    const auto crosses = [&](int32_t offset) {
        const int32_t first = LoadTriggerSample(base + offset, sampleBytes);
        const int32_t second = LoadTriggerSample(base + offset + frameBytes, sampleBytes);
        return rising ? first < threshold && threshold <= second
                      : first > threshold && threshold >= second;
    };

    // A pair is tested only while three frames remain from its first frame.
    for (int32_t frame = 0; frame + 2 < frames; ++frame) {
        const int32_t offset = frame * frameBytes;
        if (searchLeft && crosses(offset))
            return offset + frameBytes;
        if (searchRight && crosses(offset + sampleBytes))
            return offset + sampleBytes + frameBytes;
    }
    return -1;
}
