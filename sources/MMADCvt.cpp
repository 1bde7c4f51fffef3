#include "sources/MMADCvt.h"

#include "chain/MMMsgs.h"
#include "processing/MMPCM.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace {

constexpr int32_t AdpcmSourceBlock = 4096;

// ---- tables ---------------------------------------------------------------------------------

constexpr std::array<int32_t, 89> ImaSteps{
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<int32_t, 8> IndexChanges{-1, -1, -1, -1, 2, 4, 6, 8};

// The tag-3 steps: the IMA steps with four entries one lower.
constexpr std::array<int32_t, 89> Tag3Steps = [] {
    std::array<int32_t, 89> steps = ImaSteps;
    steps[3] = 9;
    steps[4] = 10;
    steps[8] = 15;
    steps[86] = 27085;
    return steps;
}();

// The tag-3 differences. Every row follows the rule round((2c + 1) * step / 8), halves rounded
// up, taken modulo 2^16 (so the changes above 32767 of the top rows are negative numbers) -
// except row 0, whose values were not made by that rule and are kept as the format has them
// (the rule would give 1, 3, 4, 6, 8, 10, 11, 13). Rows 1 and 88 agree with the rule.
constexpr std::array<std::array<int16_t, 8>, 89> Tag3Differences = [] {
    std::array<std::array<int16_t, 8>, 89> table{};
    for (std::size_t index = 0; index < table.size(); ++index)
        for (int c = 0; c < 8; ++c) {
            const int32_t rounded = ((2 * c + 1) * Tag3Steps[index] + 4) / 8;
            table[index][static_cast<std::size_t>(c)] =
                static_cast<int16_t>(static_cast<uint16_t>(rounded & 0xFFFF));
        }
    table[0] = {0, 2, 4, 6, 8, 10, 12, 13};
    return table;
}();
static_assert(Tag3Differences[1][7] == 15 && Tag3Differences[88][0] == 4096 &&
                  Tag3Differences[88][2] == 20479 && Tag3Differences[88][4] == -28673 &&
                  Tag3Differences[88][7] == -4098,
              "rows 1 and 88 are the format's own");

// The Antex differences: floor((2c + 1) * step / 8), at most 32767.
constexpr std::array<std::array<int32_t, 8>, 89> AntexDifferences = [] {
    std::array<std::array<int32_t, 8>, 89> table{};
    for (std::size_t index = 0; index < table.size(); ++index)
        for (int c = 0; c < 8; ++c)
            table[index][static_cast<std::size_t>(c)] =
                std::min((2 * c + 1) * ImaSteps[index] / 8, 32767);
    return table;
}();

constexpr std::array<int32_t, 16> MicrosoftAdaptation{230, 230, 230, 230, 307, 409, 512, 614,
                                                      768, 614, 512, 409, 307, 230, 230, 230};
constexpr std::array<int16_t, 14> MicrosoftCoefficients{256, 0,   512, -256, 0,    0,   192,
                                                        64,  240, 0,   460,  -208, 392, -232};
// The adapted step never needs to exceed this: one code times it passes the sample range.
constexpr int32_t MicrosoftMaxDelta = 1 << 20;

uint16_t ReadU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

int16_t ReadS16(const uint8_t* at) {
    return static_cast<int16_t>(ReadU16(at));
}

int16_t Saturate16(int32_t value) {
    return static_cast<int16_t>(std::clamp(value, -32768, 32767));
}

// ---- format rules ---------------------------------------------------------------------------

using Kind = TMMADPCMConverter::Kind;

struct Layout {
    Kind kind = Kind::None;
    int channels = 0;
    int32_t blockAlign = 0;
    int32_t samplesPerBlock = 0;
};

bool StandardMicrosoftTable(const WAVEFORMATEX& format) {
    // wSamplesPerBlock, wNumCoef = 7, then seven coefficient pairs.
    if (format.cbSize < 4 + 4 * 7)
        return false;
    const auto* extra = reinterpret_cast<const uint8_t*>(&format) + sizeof(WAVEFORMATEX);
    if (ReadU16(extra + 2) != 7)
        return false;
    for (std::size_t i = 0; i < MicrosoftCoefficients.size(); ++i)
        if (ReadS16(extra + 4 + 2 * i) != MicrosoftCoefficients[i])
            return false;
    return true;
}

Layout Classify(const WAVEFORMATEX* format) {
    Layout layout;
    if (format == nullptr || format->nSamplesPerSec == 0)
        return layout;
    const int channels = format->nChannels;
    switch (format->wFormatTag) {
    case WAVE_FORMAT_ADPCM: {
        const int32_t header = 7 * channels;
        if (format->wBitsPerSample != 4 || channels < 1 || channels > 4 ||
            format->nBlockAlign < header || !StandardMicrosoftTable(*format))
            return layout;
        const int32_t capacity = 2 + (format->nBlockAlign - header) * 2 / channels;
        const auto* extra = reinterpret_cast<const uint8_t*>(format) + sizeof(WAVEFORMATEX);
        // The stated samples per block, unless the block cannot hold them.
        const int32_t stated = ReadU16(extra);
        layout = {Kind::Microsoft, channels, format->nBlockAlign,
                  stated >= 2 && stated <= capacity ? stated : capacity};
        return layout;
    }
    case WAVE_FORMAT_ANTEX_ADPCME:
    case WAVE_FORMAT_ANTEX_DVI_ADPCME:
        if (channels == 1 || channels == 2)
            layout = {Kind::Antex, channels, 0, 0};
        return layout;
    case WAVE_FORMAT_IEEE_FLOAT:
        // The common float files share this tag; only the 4-bit codes are ADPCM.
        if (format->wBitsPerSample == 4 && (channels == 1 || channels == 2))
            layout = {Kind::Tag3, channels, 0, 0};
        return layout;
    default:
        return layout;
    }
}

// ---- decoders -------------------------------------------------------------------------------

// Decodes one Microsoft ADPCM block (or what there is of it) into frames of out; returns the
// frames written. A block whose predictor is not in the table gives silence of its length.
int32_t DecodeMicrosoftBlock(const uint8_t* block, int32_t bytes, int channels,
                             int32_t samplesPerBlock, int16_t* out) {
    const int32_t header = 7 * channels;
    if (bytes < header)
        return 0;
    const int32_t frames = std::min(samplesPerBlock, 2 + (bytes - header) * 2 / channels);
    int32_t coefficient1[4];
    int32_t coefficient2[4];
    int32_t delta[4];
    int32_t sample1[4];
    int32_t sample2[4];
    bool valid = true;
    for (int c = 0; c < channels; ++c) {
        const int predictor = block[c];
        if (predictor > 6) {
            valid = false;
            break;
        }
        coefficient1[c] = MicrosoftCoefficients[static_cast<std::size_t>(2 * predictor)];
        coefficient2[c] = MicrosoftCoefficients[static_cast<std::size_t>(2 * predictor + 1)];
        delta[c] = ReadS16(block + channels + 2 * c);
        sample1[c] = ReadS16(block + 3 * channels + 2 * c);
        sample2[c] = ReadS16(block + 5 * channels + 2 * c);
    }
    if (!valid) {
        std::fill(out, out + static_cast<std::ptrdiff_t>(frames) * channels, int16_t{0});
        return frames;
    }
    // The two header samples come first, the older one leading.
    for (int c = 0; c < channels; ++c) {
        out[c] = static_cast<int16_t>(sample2[c]);
        if (frames > 1)
            out[channels + c] = static_cast<int16_t>(sample1[c]);
    }
    const uint8_t* codes = block + header;
    int32_t nibble = 0;
    for (int32_t frame = 2; frame < frames; ++frame) {
        int16_t* to = out + static_cast<std::ptrdiff_t>(frame) * channels;
        for (int c = 0; c < channels; ++c, ++nibble) {
            const uint8_t byte = codes[nibble / 2];
            const int code = (nibble % 2 == 0) ? byte >> 4 : byte & 0x0F;
            const int signedCode = code >= 8 ? code - 16 : code;
            // The prediction rounds towards minus infinity (an arithmetic shift).
            const int32_t prediction =
                (sample1[c] * coefficient1[c] + sample2[c] * coefficient2[c]) >> 8;
            const int16_t sample = Saturate16(prediction + signedCode * delta[c]);
            sample2[c] = sample1[c];
            sample1[c] = sample;
            to[c] = sample;
            delta[c] =
                std::clamp((MicrosoftAdaptation[static_cast<std::size_t>(code)] * delta[c]) >> 8,
                           16, MicrosoftMaxDelta);
        }
    }
    return frames;
}

int16_t AntexStep(TMMADPCMConverter::ChannelState& state, int code) {
    int32_t difference =
        AntexDifferences[static_cast<std::size_t>(state.index)][static_cast<std::size_t>(code & 7)];
    if ((code & 8) != 0)
        difference = -difference;
    state.predictor = std::clamp(state.predictor + difference, -32768, 32767);
    state.index = std::clamp(state.index + IndexChanges[static_cast<std::size_t>(code & 7)], 0, 88);
    return static_cast<int16_t>(state.predictor);
}

int16_t Tag3Step(TMMADPCMConverter::ChannelState& state, int code) {
    const int32_t difference =
        Tag3Differences[static_cast<std::size_t>(state.index)][static_cast<std::size_t>(code & 7)];
    // 16-bit arithmetic: the predictor wraps round instead of saturating.
    const uint32_t change = static_cast<uint32_t>((code & 8) != 0 ? -difference : difference);
    state.predictor = static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<uint32_t>(state.predictor) + change));
    state.index = std::clamp(state.index + IndexChanges[static_cast<std::size_t>(code & 7)], 0, 88);
    return static_cast<int16_t>(state.predictor);
}

} // namespace

int16_t Tag3Difference(int index, int magnitude) {
    return Tag3Differences[static_cast<std::size_t>(std::clamp(index, 0, 88))]
                          [static_cast<std::size_t>(magnitude & 7)];
}

// ---- TMMADPCMConverter ----------------------------------------------------------------------

TMMADPCMConverter::TMMADPCMConverter(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
    SetPublishedLinks(plInput | plOutput);
}

TMMADPCMConverter::~TMMADPCMConverter() = default;

bool TMMADPCMConverter::CanDecode(const WAVEFORMATEX* format) {
    return format == nullptr || format->wFormatTag == WAVE_FORMAT_PCM ||
           Classify(format).kind != Kind::None;
}

void TMMADPCMConverter::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    UpdateConversion();
}

void TMMADPCMConverter::SetBitLength(TMMBits value) {
    if (value == bitLength_)
        return;
    bitLength_ = value;
    UpdateConversion();
}

void TMMADPCMConverter::UpdateConversion() {
    if (IsDestroying())
        return;
    // Buffers sized for another format are of no use: the chain must be opened again.
    if (buffersReady_)
        FreeBuffers();
    const WAVEFORMATEX* input = inputFormat_.get();
    needsConversion_ = input != nullptr && enabled_ && input->wFormatTag != WAVE_FORMAT_PCM;
    canConvertFormat_ = false;
    kind_ = Kind::None;
    WAVEFORMATEX output{};
    if (needsConversion_) {
        const Layout layout = Classify(input);
        kind_ = layout.kind;
        channels_ = layout.channels;
        blockAlign_ = layout.blockAlign;
        samplesPerBlock_ = layout.samplesPerBlock;
        if (kind_ != Kind::None) {
            MakePCMFormat(output, static_cast<uint16_t>((bitLength_ + 1) * 8),
                          static_cast<uint16_t>(channels_), input->nSamplesPerSec);
            canConvertFormat_ = true;
        }
    }
    TMMDSPComponent::SetPWaveFormat(canConvertFormat_ ? &output : input);
}

void TMMADPCMConverter::ChangePWaveFormat(const WAVEFORMATEX* format) {
    inputFormat_ = CopyFormatPtr(format);
    UpdateConversion();
}

void TMMADPCMConverter::Loaded() {
    TMMCustomDSPComponent::Loaded();
    UpdateConversion();
}

void TMMADPCMConverter::ClearDecoder() {
    state_[0] = {};
    state_[1] = {};
    carried_ = 0;
    sourceExhausted_ = false;
    upstreamMore_ = false;
}

void TMMADPCMConverter::FreeBuffers() {
    buffersReady_ = false;
    source_ = {};
    decoded_ = {};
    narrowed_ = {};
    outputData_ = nullptr;
    produced_ = taken_ = 0;
}

void TMMADPCMConverter::Open() {
    if (!Opened() && needsConversion_ && canConvertFormat_) {
        try {
            int32_t outputSamples = 0;
            if (kind_ == Kind::Microsoft) {
                // Whole blocks; a block larger than the usual source block is taken alone.
                sourceBlock_ =
                    std::max(AdpcmSourceBlock - AdpcmSourceBlock % blockAlign_, blockAlign_);
                outputSamples = samplesPerBlock_ * channels_ * (sourceBlock_ / blockAlign_);
            } else {
                // Each source byte gives two samples.
                sourceBlock_ = AdpcmSourceBlock;
                outputSamples = 2 * sourceBlock_;
            }
            source_.assign(static_cast<std::size_t>(sourceBlock_), 0);
            decoded_.assign(static_cast<std::size_t>(outputSamples), 0);
            if (bitLength_ == b8Bit)
                narrowed_.assign(static_cast<std::size_t>(outputSamples), 0);
        } catch (const std::bad_alloc&) {
            FreeBuffers();
            throw EMMADPCMError(UnableToConvertText());
        }
        outputData_ = bitLength_ == b8Bit ? reinterpret_cast<const char*>(narrowed_.data())
                                          : reinterpret_cast<const char*>(decoded_.data());
        produced_ = taken_ = 0;
        ClearDecoder();
        buffersReady_ = true;
    }
    TMMDSPComponent::Open();
}

void TMMADPCMConverter::Close() {
    FreeBuffers();
    TMMDSPComponent::Close();
}

void TMMADPCMConverter::Start() {
    TMMDSPComponent::Start();
    ClearDecoder();
    produced_ = taken_ = 0;
}

void TMMADPCMConverter::Stop() {
    taken_ = produced_;
    TMMDSPComponent::Stop();
}

void TMMADPCMConverter::Reset() {
    TMMDSPComponent::Reset();
    ClearDecoder();
    taken_ = produced_;
}

int32_t TMMADPCMConverter::PullSource(PMMChainHdr caller) {
    TMMChainHdr& pull = pullHeader_;
    pull.lpData = reinterpret_cast<char*>(source_.data()) + carried_;
    pull.dwBufferLength = static_cast<uint32_t>(sourceBlock_ - carried_);
    pull.dwBytesRecorded = 0;
    pull.dwLooping = caller->dwLooping;
    pull.dwLoopCount = caller->dwLoopCount;
    pull.dwLoopsLeft = caller->dwLoopsLeft;
    pull.dwLoopWrapped = caller->dwLoopWrapped;
    bool more = false;
    GetInput()->BufferLoad(&pull, more);
    caller->dwLoopsLeft = pull.dwLoopsLeft;
    caller->dwLoopWrapped = pull.dwLoopWrapped;
    const int32_t got =
        std::min(static_cast<int32_t>(pull.dwBytesRecorded), sourceBlock_ - carried_);
    upstreamMore_ = more;
    if (!more || got < 1)
        sourceExhausted_ = true;
    return std::max(got, 0);
}

int32_t TMMADPCMConverter::Decode(int32_t bytes, bool final, int32_t& consumed) {
    const uint8_t* in = source_.data();
    int16_t* out = decoded_.data();
    int32_t samples = 0;
    consumed = 0;
    switch (kind_) {
    case Kind::Microsoft:
        while (bytes - consumed >= blockAlign_ || (final && bytes > consumed)) {
            const int32_t size = std::min(blockAlign_, bytes - consumed);
            samples += channels_ * DecodeMicrosoftBlock(in + consumed, size, channels_,
                                                        samplesPerBlock_, out + samples);
            consumed += size;
        }
        break;
    case Kind::Antex:
        if (channels_ == 1) {
            for (; consumed < bytes; ++consumed) {
                out[samples++] = AntexStep(state_[0], in[consumed] >> 4);
                out[samples++] = AntexStep(state_[0], in[consumed] & 0x0F);
            }
        } else {
            // Byte pairs are swapped; in each byte the high code is left, the low one right.
            for (; bytes - consumed >= 2; consumed += 2)
                for (const uint8_t byte : {in[consumed + 1], in[consumed]}) {
                    out[samples++] = AntexStep(state_[0], byte >> 4);
                    out[samples++] = AntexStep(state_[1], byte & 0x0F);
                }
            if (final)
                consumed = bytes; // a lone last byte has no partner
        }
        break;
    case Kind::Tag3:
        for (; consumed < bytes; ++consumed) {
            const uint8_t byte = in[consumed];
            if (channels_ == 1) {
                out[samples++] = Tag3Step(state_[0], byte >> 4);
                out[samples++] = Tag3Step(state_[0], byte & 0x0F);
            } else {
                out[samples++] = Tag3Step(state_[0], byte & 0x0F);
                out[samples++] = Tag3Step(state_[1], byte >> 4);
            }
        }
        break;
    case Kind::None:
        break;
    }
    const int32_t outputBytes = samples * 2;
    if (bitLength_ == b8Bit)
        return ConvertSampleBits(8, narrowed_.data(), 16, decoded_.data(), outputBytes);
    return outputBytes;
}

void TMMADPCMConverter::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (!Opened() || !Started() || !needsConversion_ || !canConvertFormat_) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    // Opened before the format changed: nothing to decode with until the next Open.
    if (!buffersReady_)
        return;
    if (GetInput() == nullptr)
        return;
    int32_t want = static_cast<int32_t>(lpWaveHdr->dwBufferLength) -
                   static_cast<int32_t>(lpWaveHdr->dwBytesRecorded);
    for (;;) {
        const int32_t count = std::min(produced_ - taken_, want);
        if (count > 0) {
            std::memcpy(lpWaveHdr->lpData + lpWaveHdr->dwBytesRecorded, outputData_ + taken_,
                        static_cast<std::size_t>(count));
            taken_ += count;
            lpWaveHdr->dwBytesRecorded += static_cast<uint32_t>(count);
            want -= count;
        }
        if (lpWaveHdr->dwLoopWrapped != 0 || !Started() || want < 1 || !canConvertFormat_)
            break;
        if (sourceExhausted_ && carried_ == 0)
            break;
        const int32_t got = sourceExhausted_ ? 0 : PullSource(lpWaveHdr);
        const int32_t bytes = carried_ + got;
        int32_t consumed = 0;
        produced_ = Decode(bytes, sourceExhausted_, consumed);
        taken_ = 0;
        carried_ = bytes - consumed;
        if (carried_ > 0)
            std::memmove(source_.data(), source_.data() + consumed,
                         static_cast<std::size_t>(carried_));
        // Short pulls may leave less than a block: pull again. A full source block that
        // decodes to nothing means the decoder cannot go on.
        if (produced_ == 0 && !sourceExhausted_ && carried_ >= sourceBlock_) {
            canConvertFormat_ = false;
            break;
        }
    }
    MoreBuffers = upstreamMore_ || produced_ > taken_;
}

bool TMMADPCMConverter::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    if (name == "Enabled") {
        if (const auto* flag = std::get_if<bool>(&value)) {
            SetEnabled(*flag);
            return true;
        }
        return false;
    }
    if (name == "BitLength") {
        if (const auto* number = std::get_if<int64_t>(&value)) {
            SetBitLength(*number == b8Bit ? b8Bit : b16Bit);
            return true;
        }
        return false;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}
