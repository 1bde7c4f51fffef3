// The audio compression service: decoders for compressed wave formats and a PCM converter, with
// the queries of a codec manager (which PCM format a codec decodes to, whether a conversion can be
// opened) and conversion streams that consume source bytes and produce destination bytes.
//
// Two kinds of stream exist, and each converts one step:
// - a codec stream decodes a compressed wave format (chosen by its format tag; for
//   WAVE_FORMAT_EXTENSIBLE by the tag inside the sub-format GUID) to 16-bit PCM with the
//   format's own sample rate and channel count;
// - a PCM stream converts between PCM formats of 8, 16, 24 or 32 bits, 1 to 8 channels and
//   1000 to 384000 Hz, changing rate, channels and sample width at once.
// A conversion that needs both (ADPCM at 22050 Hz mono to 16-bit stereo at 44100 Hz) takes two
// streams in a row; the caller searches that path with Suggest and CanOpen.
//
// Format records are WAVEFORMATEX followed by their cbSize extra bytes, as a "fmt " chunk holds
// them; a record of plain PCM needs none.
//
// Threading: the free functions are re-entrant. A stream is used by one thread at a time; open
// and close it where allocation is allowed. Convert allocates nothing once the stream has seen
// its largest input, except inside the codec library (which pools its frame buffers).
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The fields of a suggested format that the caller fixes; the rest are the service's choice.
enum AudioSuggestFixed : unsigned {
    SuggestTag = 1,        // wFormatTag
    SuggestChannels = 2,   // nChannels
    SuggestSampleRate = 4, // nSamplesPerSec
    SuggestBits = 8,       // wBitsPerSample
};

// The format tag that selects the decoder: the tag itself, or for WAVE_FORMAT_EXTENSIBLE with a
// complete extension the tag held in the first two bytes of its sub-format GUID
// (WAVE_FORMAT_UNKNOWN when the GUID is not one of the wave-tag family).
uint16_t EffectiveFormatTag(const WAVEFORMATEX& format);

// Fills suggested with the format that format converts to in one step, keeping the fields named
// by fixed as they are in suggested. A compressed format suggests 16-bit PCM with its own rate
// and channels; PCM suggests PCM with the unfixed fields taken from format. False when no stream
// gives such a format; suggested is then unchanged.
bool AudioCodecSuggest(const WAVEFORMATEX& format, WAVEFORMATEX& suggested, unsigned fixed);

// Whether one stream can convert source to target. realTime false allows the slower, better
// resampler. Opens and closes a stream to find out.
bool AudioCodecCanOpen(const WAVEFORMATEX& source, const WAVEFORMATEX& target, bool realTime);

// Flags of AudioCodecStream::Convert.
enum AudioConvertFlags : unsigned {
    ConvertBlockAlign = 1, // consume whole source blocks only (the rest stays with the caller)
    ConvertStart = 2,      // the first call after open or reset (nothing to do here)
    ConvertEnd = 4,        // the input ends with this call: consume partial blocks, drain
};

class AudioCodecStream {
public:
    struct Result {
        int32_t consumed = 0; // source bytes taken; the caller keeps the rest for the next call
        int32_t produced = 0; // destination bytes written
        bool pending = false; // output is waiting that did not fit; call again (with no input)
    };

    // A stream from source to target, sized for calls of up to maxSourceBytes; nullptr when the
    // conversion is not one this service does in one step.
    static std::unique_ptr<AudioCodecStream> Open(const WAVEFORMATEX& source,
                                                  const WAVEFORMATEX& target, bool realTime,
                                                  int32_t maxSourceBytes);

    virtual ~AudioCodecStream() = default;
    AudioCodecStream(const AudioCodecStream&) = delete;
    AudioCodecStream& operator=(const AudioCodecStream&) = delete;

    // The destination bytes that hold what sourceBytes of source give in one call.
    virtual int32_t OutputSize(int32_t sourceBytes) const = 0;

    // Converts source into output (outputBytes of room). Whole source blocks are consumed while
    // output has room for what they give, and with ConvertEnd a trailing partial block too.
    // Output that does not fit waits inside the stream (result.pending) and comes first at the
    // next call. Data the codec rejects is skipped. Returns false only when the codec library
    // fails as such (out of memory); result then holds what was done before the failure.
    virtual bool Convert(const void* source, int32_t sourceBytes, void* output, int32_t outputBytes,
                         unsigned flags, Result& result) = 0;

    // Drops the codec's state, the waiting output and the resampler's history, as for a new
    // stream of the same formats.
    virtual void Reset() = 0;

    // Text of the last failure of the codec library; empty when there was none.
    const std::string& LastError() const { return lastError_; }

protected:
    AudioCodecStream() = default;
    void SetLastError(int code);

private:
    std::string lastError_;
};

} // namespace platform
