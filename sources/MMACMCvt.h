// Format conversion through the audio compression service: the conversion stream helpers, and
// the chain links TMMACMConverter (converts to a requested format) and TMMPCMConverter (converts
// to PCM, by default to the PCM format the input's codec decodes to).
//
// A conversion stream converts one source format to one destination format through one or more
// stages of the service (a codec stage, then a PCM stage where rate or channels differ too). The
// caller writes up to SourceBlockSize bytes at SourceBlock and calls Convert; the converted bytes
// are then at Output (Produced bytes, of which the caller has taken Taken). Source bytes a stage
// could not use yet (a partial block) are kept for the next call.
//
// Threading: opening, closing and the format queries run where allocation is allowed (the main
// thread, or a device's Open). Convert, FlushConversion and ResetConversion run on the pulling
// thread and allocate nothing once the stream has seen its largest input. A stream is used by
// one thread at a time. The converters take no lock: their owner serialises pulls with state
// operations and format changes; the started flag is atomic so that a pull sees a Stop.
#pragma once

#include "chain/MMDSPObj.h"
#include "platform/AudioCodec.h"
#include "sources/MMWave.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

enum TMMConvertQuality { cqHigh, cqLow };
enum TMMBits { b8Bit, b16Bit };
enum TMMRequiredParam : unsigned { rpBits = 1, rpChannels = 2, rpSampleRate = 4 };
using TMMRequiredParams = unsigned; // a set of TMMRequiredParam

// The text the converters raise when a format cannot be converted.
std::string UnableToConvertText(); // "Unable to convert to destination format"

// An owned format record from CopyFormat.
struct TMMFormatDeleter {
    void operator()(WAVEFORMATEX* format) const { FreeFormat(format); }
};
using TMMFormatPtr = std::unique_ptr<WAVEFORMATEX, TMMFormatDeleter>;
inline TMMFormatPtr CopyFormatPtr(const WAVEFORMATEX* format) {
    return TMMFormatPtr(CopyFormat(format));
}

// ---- conversion streams ---------------------------------------------------------------------

// One step of a conversion: a stream of the service with its output buffer and the input it
// could not use yet.
struct TMMConversionStage {
    std::unique_ptr<platform::AudioCodecStream> codec;
    std::vector<uint8_t> carry; // carried input, followed by the next input while some is carried
    int32_t carried = 0;
    std::vector<uint8_t> output;
    int32_t produced = 0;
};

struct TMMConversionStream {
    char* SourceBlock = nullptr; // where the caller puts source bytes
    int32_t SourceBlockSize = 0; // a whole number of source blocks
    char* Output = nullptr;      // the converted bytes of the last call
    int32_t Produced = 0;
    int32_t Taken = 0;          // of Produced, bytes the caller has used
    bool OutputPending = false; // input was carried over or output waits in a stage
    bool EndReached = false;    // a stage neither consumed nor produced anything
    bool OwnsSource = false;

    // The stream's own parts; callers use the fields above (Stages.size() tells the steps).
    std::vector<TMMConversionStage> Stages;
    std::vector<uint8_t> OwnedSource;
    bool AtStart = true; // no call since open or reset
};
using PMMConversionStream = TMMConversionStream*;

// True when both records exist and differ in tag, sample size, channels or rate.
bool FormatsDiffer(const WAVEFORMATEX* a, const WAVEFORMATEX* b);

// For PCM a copy of source; otherwise the PCM format the service decodes source to, or an
// all-zero record when it has none. dest is an 18-byte record.
void SuggestPCMFormat(const WAVEFORMATEX* source, WAVEFORMATEX& dest);

// Whether the service converts source to dest, directly or through an intermediate PCM format.
// Format records hold their cbSize extra bytes. realTime false allows slower, better stages.
bool CanConvert(const WAVEFORMATEX* source, const WAVEFORMATEX* dest, bool realTime);

// Opens a stream from source to dest whose source block is blockBytes rounded down to whole
// source blocks (at least one). buffer, when given, is the source block (the caller keeps it;
// it holds at least that many bytes); otherwise the stream allocates one. nullptr when the
// conversion cannot be opened.
PMMConversionStream OpenConversion(const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                                   void* buffer, bool realTime, int32_t blockBytes);

// Converts bytes (at most SourceBlockSize) from the source block; returns the bytes now at
// Output (Taken is set to 0), or -1 when the service fails.
int32_t Convert(PMMConversionStream stream, int32_t bytes);
// As Convert, and the input ends: partial blocks are used and the stages give out what they
// hold. Call it again while it produces output.
int32_t FlushConversion(PMMConversionStream stream, int32_t bytes);
// Drops the output, the carried input and what the stages hold, for a new start.
void ResetConversion(PMMConversionStream stream);
// Closes the stages, frees the buffers and clears stream; nullptr is ignored.
void CloseConversion(PMMConversionStream& stream);

// ---- converters -----------------------------------------------------------------------------

class TMMACMConverter : public TMMDSPComponent {
public:
    explicit TMMACMConverter(TMMComponentOwner* owner);
    ~TMMACMConverter() override;
    const char* ClassName() const override { return "TMMACMConverter"; }

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    TMMConvertQuality Quality() const { return quality_; }
    void SetQuality(TMMConvertQuality value);

    bool NeedsConversion() const { return needsConversion_; }
    bool CanConvertFormat() const { return canConvertFormat_; }
    const WAVEFORMATEX* InputFormat() const { return inputFormat_.get(); }
    const WAVEFORMATEX* RequestedFormat() const { return requestedFormat_.get(); }
    // The open conversion stream (nullptr while passing through or closed).
    const TMMConversionStream* Stream() const { return stream_; }

    // A format from upstream: kept as the input format.
    void ChangePWaveFormat(const WAVEFORMATEX* format) override;
    // The requested output format (ignored while loading or destroying, and for nullptr).
    void SetPWaveFormat(const WAVEFORMATEX* format) override;

    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Reset() override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;
    void BufferReady(PMMChainHdr lpWaveHdr) override;
    void Loaded() override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

protected:
    void Destroying() override;
    // The format this converter converts its input to; nullptr for none. The base answers the
    // requested format.
    virtual TMMFormatPtr DeriveOutput() const;
    // Recomputes NeedsConversion, CanConvertFormat and the link's format.
    void UpdateConversion();

private:
    [[noreturn]] void RaiseUnableToConvert();
    // Pulls one source block from Input into the stream's source block; returns its bytes.
    int32_t PullSource(PMMChainHdr caller);

    bool enabled_ = true;
    TMMConvertQuality quality_ = cqLow;
    TMMFormatPtr inputFormat_;
    TMMFormatPtr requestedFormat_;
    bool needsConversion_ = false;
    bool canConvertFormat_ = false;
    PMMConversionStream stream_ = nullptr;
    int32_t sourceBlockSize_ = 0;
    bool streamOpened_ = false;
    // Written by Start and Stop, read by pulls.
    std::atomic<bool> streamStarted_{false};
    TMMChainHdr pullHeader_{};
    bool sourceExhausted_ = false;
    bool upstreamMore_ = false;
};

class TMMPCMConverter : public TMMACMConverter {
public:
    explicit TMMPCMConverter(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMPCMConverter"; }

    bool AutoConvert() const { return autoConvert_; }
    void SetAutoConvert(bool value);
    int32_t SampleRate() const { return sampleRate_; }
    void SetSampleRate(int32_t value); // clamped to 8000..88200
    TMMBits BitLength() const { return bitLength_; }
    void SetBitLength(TMMBits value);
    TMMMode Mode() const { return mode_; }
    void SetMode(TMMMode value); // mMultiChannel is refused: the value stays
    TMMRequiredParams Required() const { return required_; }
    void SetRequired(TMMRequiredParams value);

    // Refuses a record that is not valid PCM with EMMConverterError "Invalid WaveFormat",
    // except at design time.
    void SetPWaveFormat(const WAVEFORMATEX* format) override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

protected:
    TMMFormatPtr DeriveOutput() const override;

private:
    bool autoConvert_ = true;
    int32_t sampleRate_ = 11025;
    TMMBits bitLength_ = b8Bit;
    TMMMode mode_ = mMono;
    TMMRequiredParams required_ = rpBits | rpChannels | rpSampleRate;
};
