// The ADPCM converter: a chain link that decodes ADPCM to PCM with decoders of its own, for the
// formats it knows, and passes everything else through untouched:
// - Microsoft ADPCM (tag 2) with the standard coefficient table, 1 to 4 channels (other tables
//   are left to the compression service);
// - the Antex ADPCM variants (tags 0x33 and 0x206): headerless IMA-style codes whose decoder
//   state runs on from pull to pull, mono or stereo;
// - the 4-bit ADPCM of tag 3, mono or stereo. Tag 3 with 32 or 64 bits per sample is IEEE float
//   PCM, which this converter leaves to the compression service.
//
// Threading: format changes and state operations on the main thread or in a device's walk;
// BufferLoad on the pulling thread. The decoders work in the buffers made at Open and allocate
// nothing per pull. No lock: the owner serialises pulls with the other operations.
#pragma once

#include "chain/MMDSPObj.h"
#include "sources/MMACMCvt.h"

#include <cstdint>
#include <vector>

// Tag 0x0033 (Antex ADPCME) and 0x0206 (Antex DVI/OKI ADPCME).
constexpr uint16_t WAVE_FORMAT_ANTEX_ADPCME = 0x0033;
constexpr uint16_t WAVE_FORMAT_ANTEX_DVI_ADPCME = 0x0206;

// The predictor change of the tag-3 ADPCM for step index 0..88 and the magnitude bits (0..7) of
// a code, as a 16-bit value (changes above 32767 have wrapped round to negative numbers).
int16_t Tag3Difference(int index, int magnitude);

class TMMADPCMConverter : public TMMDSPComponent {
public:
    explicit TMMADPCMConverter(TMMComponentOwner* owner);
    ~TMMADPCMConverter() override;
    const char* ClassName() const override { return "TMMADPCMConverter"; }

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    TMMBits BitLength() const { return bitLength_; }
    void SetBitLength(TMMBits value);

    bool NeedsConversion() const { return needsConversion_; }
    bool CanConvertFormat() const { return canConvertFormat_; }
    const WAVEFORMATEX* InputFormat() const { return inputFormat_.get(); }

    // True for a format that needs no decoding (absent or PCM) or that a decoder here reads.
    static bool CanDecode(const WAVEFORMATEX* format);
    // CanDecode of the input format: whether this converter can take its input.
    bool CanTakeInput() const { return CanDecode(inputFormat_.get()); }

    void ChangePWaveFormat(const WAVEFORMATEX* format) override;
    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Reset() override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;
    void Loaded() override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    // The decoder a format needs.
    enum class Kind { None, Microsoft, Antex, Tag3 };

    // Decoder state of one channel of the headerless variants.
    struct ChannelState {
        int32_t predictor = 0;
        int32_t index = 0;
    };

private:
    void UpdateConversion();
    void FreeBuffers();
    void ClearDecoder();
    // Pulls from Input into the source buffer behind the carried bytes; returns the bytes.
    int32_t PullSource(PMMChainHdr caller);
    // Decodes from the source buffer into the output buffer; returns the output bytes and the
    // source bytes used. final: the source has ended, partial blocks are decoded too.
    int32_t Decode(int32_t bytes, bool final, int32_t& consumed);

    bool enabled_ = true;
    TMMBits bitLength_ = b16Bit;
    TMMFormatPtr inputFormat_;
    bool needsConversion_ = false;
    bool canConvertFormat_ = false;
    Kind kind_ = Kind::None;
    int channels_ = 0;
    int32_t blockAlign_ = 0;
    int32_t samplesPerBlock_ = 0;

    std::vector<uint8_t> source_; // carried bytes, then the pulled source block
    int32_t sourceBlock_ = 0;
    int32_t carried_ = 0;
    std::vector<int16_t> decoded_;     // 16-bit decoder output
    std::vector<uint8_t> narrowed_;    // the output as 8-bit samples, for b8Bit
    const char* outputData_ = nullptr; // decoded_ or narrowed_
    int32_t produced_ = 0;
    int32_t taken_ = 0;
    ChannelState state_[2];
    TMMChainHdr pullHeader_{};
    bool sourceExhausted_ = false;
    bool upstreamMore_ = false;
    bool buffersReady_ = false;
};
