// PCM routines the chain components share: the check and construction of a PCM format record,
// volume and panning to channel gains, in-place gain scaling, the 16-bit stereo mix, the change of
// sample width between 8 and 16 bits, and the search of a block for a level crossing.
//
// Samples are little-endian; 8-bit samples are unsigned with 128 as zero, 16-bit samples are
// signed; stereo frames hold the left sample first. A gain has 16384 as unity (8192 halves, 32768
// doubles). Scaling multiplies the signed sample by the gain, shifts right arithmetically by 14
// (so it rounds towards minus infinity) and saturates to the sample range.
//
// Threading: re-entrant and stateless; they run on whatever thread does the caller's buffer work,
// normally a device's service thread. Nothing here allocates, locks or throws, except
// AllocMixInfo. Data pointers may be at any byte address. Byte counts that do not make whole
// frames are cut down to whole frames; the bytes past them are not touched. Negative byte counts
// count as 0.
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>

constexpr int32_t PCMUnityGain = 16384;

// True for a present format with tag PCM, 8 or 16 bits, 1, 2 or 4 channels and 4000..100000 Hz.
bool IsValidPCMFormat(const WAVEFORMATEX* format);

// Fills every field of a PCM format; nBlockAlign is (bits * channels) / 8.
void MakePCMFormat(WAVEFORMATEX& format, uint16_t bits, uint16_t channels, uint32_t sampleRate);

// Panning in -range..range lowers the gain of the opposite side to volume * (range - |panning|)
// / range, rounded to nearest with halves away from zero; the other side keeps volume. Like the
// Windows MulDiv this mirrors, a range of 0 (or a quotient beyond 32 bits) gives -1.
void CalcVolumeGains(int32_t range, int32_t volume, int32_t panning, int32_t& leftGain,
                     int32_t& rightGain);

// Scales bytes of data in place by the member that fits the format's width and channel count:
// mono formats use leftGain only; every other channel count is scaled as left/right pairs.
// Returns true when at least one sample saturated; false, leaving the data untouched, for an
// absent format, a tag other than PCM, a width other than 8 or 16 bits, or unity gains.
bool PCMVolume(const WAVEFORMATEX* format, void* data, int32_t bytes, int32_t leftGain,
               int32_t rightGain);
bool PCMVolumeMono8(int32_t gain, int32_t bytes, void* data);
bool PCMVolumeStereo8(int32_t leftGain, int32_t rightGain, int32_t bytes, void* data);
bool PCMVolumeMono16(int32_t gain, int32_t bytes, void* data);
bool PCMVolumeStereo16(int32_t leftGain, int32_t rightGain, int32_t bytes, void* data);

// The mix information record: two gains and the 16-bit stereo blocks to sum. Count is the number
// of Inputs entries the record has room for; Inputs extends past the declared single entry.
struct TMMMixInfo {
    int32_t LeftGain;
    int32_t RightGain;
    int32_t Count;
    const int16_t* Inputs[1];
};

// A zero-filled record from the global heap with room for count inputs (Count set to it; a
// negative count counts as 0). Throws EOutOfMemory. Call it when opening, not per block.
TMMMixInfo* AllocMixInfo(int32_t count);
// Frees a record from AllocMixInfo and clears the pointer; nullptr is ignored.
void FreeMixInfo(TMMMixInfo*& info);

// Sums Inputs[0..count) of info into accumulator (one value per 16-bit sample), applies the
// record's gains unless both are unity, saturates and stores to dest; bytes / 4 frames each.
// Returns true when a value saturated. bytes <= 0 writes nothing; count <= 0 (or no record)
// zero-fills dest. count is cut to info->Count; up to 65536 inputs the sums are exact. The
// accumulator is an int32_t array that overlaps neither the inputs nor dest.
bool MixStereo16(int32_t bytes, int32_t count, const TMMMixInfo* info, int32_t* accumulator,
                 int16_t* dest);

// Converts bytes of source samples to dstBits and returns the bytes written: equal widths copy
// (overlap allowed); 16 to 8 bits truncates s / 256 towards zero then adds 128; 8 to 16 bits
// gives (b - 128) * 256. Other width pairs write nothing and return 0.
int32_t ConvertSampleBits(int dstBits, void* dst, int srcBits, const void* src, int32_t bytes);

// Returns the byte offset of the sample that completes the first crossing of level (percent of
// full scale, -100..100), or -1. mode 1 looks for a rising edge, 2 for a falling edge (for which
// level is negated first), anything else for nothing. channel 0 searches either channel, 1 the
// left, 2 the right; mono data is searched whatever channel says, other channel counts as
// left/right pairs as PCMVolume scales them. The pair of the last two frames is never tested.
// An absent or non-PCM format, or a width other than 8 or 16 bits, gives -1.
int32_t FindTrigger(const WAVEFORMATEX* format, const void* data, int32_t bytes, int32_t level,
                    int mode, int channel);
