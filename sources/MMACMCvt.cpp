#include "sources/MMACMCvt.h"

#include "chain/MMMsgs.h"
#include "processing/MMPCM.h"

#include <algorithm>
#include <cstring>

std::string UnableToConvertText() {
    return "Unable to convert to destination format";
}

// ---- conversion streams ---------------------------------------------------------------------

namespace {

// A search deeper than this has gone round in circles: each step must reach PCM or change it.
constexpr int MaxIntermediates = 4;
constexpr int32_t ConverterSourceBlock = 8192;
// Pulls in a row that may convert to nothing before the converter gives up.
constexpr int MaxEmptyConversions = 5;

// The formats each stage converts to: the intermediates of the search, then the destination.
struct ConversionPath {
    ConversionPath() { intermediates.reserve(MaxIntermediates); }
    std::vector<WAVEFORMATEX> intermediates; // reserved, so the pointers below stay valid
    std::vector<const WAVEFORMATEX*> targets;
};

bool CanOpen(const WAVEFORMATEX& source, const WAVEFORMATEX& dest, bool realTime) {
    return platform::AudioCodecCanOpen(source, dest, realTime);
}

// The search of a conversion: directly, else through an intermediate PCM format that the service
// suggests, and from there on by the same search.
bool FindPath(const WAVEFORMATEX& source, const WAVEFORMATEX& dest, bool realTime,
              ConversionPath& path) {
    if (!FormatsDiffer(&source, &dest))
        return true;
    if (CanOpen(source, dest, realTime)) {
        path.targets.push_back(&dest);
        return true;
    }
    if (path.intermediates.size() >= MaxIntermediates)
        return false;
    WAVEFORMATEX between{};
    if (source.wFormatTag == WAVE_FORMAT_PCM) {
        if (dest.nChannels == source.nChannels && dest.nSamplesPerSec == source.nSamplesPerSec)
            return false;
        between.nChannels = dest.nChannels;
        between.nSamplesPerSec = dest.nSamplesPerSec;
        const unsigned fixed = platform::SuggestChannels | platform::SuggestSampleRate;
        if (!platform::AudioCodecSuggest(source, between, fixed))
            return false;
        if (!CanOpen(between, dest, realTime)) {
            between.wBitsPerSample = between.wBitsPerSample == 16 ? 8 : 16;
            if (!platform::AudioCodecSuggest(source, between, fixed | platform::SuggestBits))
                return false;
        }
    } else {
        between.wFormatTag = WAVE_FORMAT_PCM;
        between.nChannels = dest.nChannels;
        between.nSamplesPerSec = dest.nSamplesPerSec;
        if (!platform::AudioCodecSuggest(source, between,
                                         platform::SuggestTag | platform::SuggestChannels |
                                             platform::SuggestSampleRate)) {
            between = WAVEFORMATEX{};
            between.wFormatTag = WAVE_FORMAT_PCM;
            if (!platform::AudioCodecSuggest(source, between, platform::SuggestTag))
                return false;
        }
    }
    if (!CanOpen(source, between, realTime))
        return false;
    if (!FormatsDiffer(&between, &dest)) {
        path.targets.push_back(&dest);
        return true;
    }
    path.intermediates.push_back(between);
    path.targets.push_back(&path.intermediates.back());
    return FindPath(path.intermediates.back(), dest, realTime, path);
}

int32_t RunStages(PMMConversionStream stream, int32_t bytes, bool end) {
    if (stream == nullptr)
        return -1;
    TMMConversionStream& s = *stream;
    const int32_t count = std::clamp(bytes, 0, s.SourceBlockSize);
    s.OutputPending = false;
    s.EndReached = false;
    if (s.Stages.empty()) {
        s.Output = s.SourceBlock;
        s.Produced = count;
        s.Taken = 0;
        return count;
    }
    const unsigned flags = platform::ConvertBlockAlign | (s.AtStart ? platform::ConvertStart : 0u);
    s.AtStart = false;
    const auto* input = reinterpret_cast<const uint8_t*>(s.SourceBlock);
    int32_t inputBytes = count;
    bool ending = end;
    for (TMMConversionStage& stage : s.Stages) {
        const uint8_t* from = input;
        int32_t total = inputBytes;
        if (stage.carried > 0) {
            // The carried bytes come first; they are less than one source block of the stage.
            if (inputBytes > static_cast<int32_t>(stage.carry.size()) - stage.carried)
                return -1;
            if (inputBytes > 0)
                std::memcpy(stage.carry.data() + stage.carried, input,
                            static_cast<std::size_t>(inputBytes));
            from = stage.carry.data();
            total = stage.carried + inputBytes;
        }
        platform::AudioCodecStream::Result result;
        if (!stage.codec->Convert(from, total, stage.output.data(),
                                  static_cast<int32_t>(stage.output.size()),
                                  flags | (ending ? platform::ConvertEnd : 0u), result))
            return -1;
        const int32_t left = total - result.consumed;
        if (left > static_cast<int32_t>(stage.carry.size()))
            return -1;
        if (left > 0) {
            std::memmove(stage.carry.data(), from + result.consumed,
                         static_cast<std::size_t>(left));
            s.OutputPending = true;
        }
        stage.carried = std::max(left, 0);
        stage.produced = result.produced;
        if (result.pending)
            s.OutputPending = true;
        if (result.consumed == 0 && result.produced == 0)
            s.EndReached = true;
        // A later stage ends only when the ones before it have given out everything.
        ending = ending && !result.pending && left <= 0;
        input = stage.output.data();
        inputBytes = result.produced;
    }
    s.Output = reinterpret_cast<char*>(s.Stages.back().output.data());
    s.Produced = inputBytes;
    s.Taken = 0;
    return inputBytes;
}

} // namespace

bool FormatsDiffer(const WAVEFORMATEX* a, const WAVEFORMATEX* b) {
    return a != nullptr && b != nullptr &&
           (a->wFormatTag != b->wFormatTag || a->wBitsPerSample != b->wBitsPerSample ||
            a->nChannels != b->nChannels || a->nSamplesPerSec != b->nSamplesPerSec);
}

void SuggestPCMFormat(const WAVEFORMATEX* source, WAVEFORMATEX& dest) {
    dest = WAVEFORMATEX{};
    if (source == nullptr)
        return;
    if (source->wFormatTag == WAVE_FORMAT_PCM) {
        dest = *source;
        dest.cbSize = 0;
        return;
    }
    WAVEFORMATEX suggestion{};
    suggestion.wFormatTag = WAVE_FORMAT_PCM;
    if (platform::AudioCodecSuggest(*source, suggestion, platform::SuggestTag) &&
        CanOpen(*source, suggestion, true))
        dest = suggestion;
}

bool CanConvert(const WAVEFORMATEX* source, const WAVEFORMATEX* dest, bool realTime) {
    if (source == nullptr || dest == nullptr)
        return false;
    ConversionPath path;
    return FindPath(*source, *dest, realTime, path);
}

PMMConversionStream OpenConversion(const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                                   void* buffer, bool realTime, int32_t blockBytes) {
    if (source == nullptr || dest == nullptr)
        return nullptr;
    ConversionPath path;
    if (!FindPath(*source, *dest, realTime, path))
        return nullptr;
    auto stream = std::make_unique<TMMConversionStream>();
    const int32_t align = std::max<int32_t>(source->nBlockAlign, 1);
    int32_t size = std::max(blockBytes, 0);
    size = std::max(size - size % align, align);
    stream->SourceBlockSize = size;
    if (buffer != nullptr) {
        stream->SourceBlock = static_cast<char*>(buffer);
    } else {
        stream->OwnedSource.resize(static_cast<std::size_t>(size));
        stream->SourceBlock = reinterpret_cast<char*>(stream->OwnedSource.data());
        stream->OwnsSource = true;
    }
    stream->Output = stream->SourceBlock;
    const WAVEFORMATEX* from = source;
    int32_t maxInput = size;
    for (const WAVEFORMATEX* target : path.targets) {
        TMMConversionStage stage;
        // A stage carries less than one of its source blocks; its frames when it is PCM.
        const int32_t carryRoom = std::max<int32_t>(from->nBlockAlign, 1) + 64;
        stage.codec =
            platform::AudioCodecStream::Open(*from, *target, realTime, maxInput + carryRoom);
        if (!stage.codec)
            return nullptr;
        stage.carry.resize(static_cast<std::size_t>(maxInput + carryRoom));
        stage.output.resize(
            static_cast<std::size_t>(std::max(stage.codec->OutputSize(maxInput + carryRoom), 64)));
        maxInput = static_cast<int32_t>(stage.output.size());
        from = target;
        stream->Stages.push_back(std::move(stage));
    }
    return stream.release();
}

int32_t Convert(PMMConversionStream stream, int32_t bytes) {
    return RunStages(stream, bytes, false);
}

int32_t FlushConversion(PMMConversionStream stream, int32_t bytes) {
    return RunStages(stream, bytes, true);
}

void ResetConversion(PMMConversionStream stream) {
    if (stream == nullptr)
        return;
    stream->Taken = stream->Produced;
    stream->OutputPending = false;
    stream->EndReached = false;
    stream->AtStart = true;
    for (TMMConversionStage& stage : stream->Stages) {
        stage.carried = 0;
        stage.produced = 0;
        stage.codec->Reset();
    }
}

void CloseConversion(PMMConversionStream& stream) {
    delete stream;
    stream = nullptr;
}

// ---- TMMACMConverter ------------------------------------------------------------------------

TMMACMConverter::TMMACMConverter(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
    SetPublishedLinks(plInput | plOutput);
}

TMMACMConverter::~TMMACMConverter() {
    CloseConversion(stream_);
}

void TMMACMConverter::Destroying() {
    Close();
    TMMDSPComponent::Destroying();
}

void TMMACMConverter::RaiseUnableToConvert() {
    throw EMMConverterError(UnableToConvertText());
}

void TMMACMConverter::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    UpdateConversion();
}

void TMMACMConverter::SetQuality(TMMConvertQuality value) {
    if (value == quality_)
        return;
    quality_ = value;
    UpdateConversion();
}

TMMFormatPtr TMMACMConverter::DeriveOutput() const {
    return CopyFormatPtr(requestedFormat_.get());
}

void TMMACMConverter::UpdateConversion() {
    if (IsDestroying())
        return;
    // A stream opened for other formats is of no use: the chain must be opened again.
    CloseConversion(stream_);
    needsConversion_ = false;
    canConvertFormat_ = false;
    TMMFormatPtr output;
    if (inputFormat_ && enabled_) {
        // nullptr: nothing requested, pass through. A record with tag 0: no format can be
        // derived, so the conversion is needed and impossible.
        output = DeriveOutput();
        needsConversion_ = FormatsDiffer(inputFormat_.get(), output.get());
        if (needsConversion_ && output->wFormatTag != WAVE_FORMAT_UNKNOWN)
            canConvertFormat_ = CanConvert(inputFormat_.get(), output.get(), quality_ == cqLow);
    }
    TMMDSPComponent::SetPWaveFormat(needsConversion_ && canConvertFormat_ ? output.get()
                                                                          : inputFormat_.get());
}

void TMMACMConverter::ChangePWaveFormat(const WAVEFORMATEX* format) {
    inputFormat_ = CopyFormatPtr(format);
    UpdateConversion();
}

void TMMACMConverter::SetPWaveFormat(const WAVEFORMATEX* format) {
    if (IsLoading() || IsDestroying() || format == nullptr)
        return;
    requestedFormat_ = CopyFormatPtr(format);
    UpdateConversion();
}

void TMMACMConverter::Loaded() {
    // The link format is recomputed here rather than stored back as a requested format.
    TMMCustomDSPComponent::Loaded();
    UpdateConversion();
}

void TMMACMConverter::Open() {
    if (enabled_ && !Opened() && needsConversion_) {
        sourceBlockSize_ = ConverterSourceBlock;
        if (!canConvertFormat_)
            RaiseUnableToConvert();
        CloseConversion(stream_);
        stream_ = OpenConversion(inputFormat_.get(), GetPWaveFormat(), nullptr, quality_ == cqLow,
                                 sourceBlockSize_);
        if (stream_ == nullptr)
            RaiseUnableToConvert();
        sourceBlockSize_ = stream_->SourceBlockSize;
        streamOpened_ = true;
    }
    TMMDSPComponent::Open();
}

void TMMACMConverter::Close() {
    streamStarted_.store(false);
    streamOpened_ = false;
    CloseConversion(stream_);
    TMMDSPComponent::Close();
}

void TMMACMConverter::Start() {
    TMMDSPComponent::Start();
    if (streamOpened_) {
        sourceExhausted_ = false;
        upstreamMore_ = false;
        if (stream_ != nullptr)
            stream_->Taken = stream_->Produced;
        streamStarted_.store(true);
    }
}

void TMMACMConverter::Stop() {
    streamStarted_.store(false);
    if (stream_ != nullptr)
        stream_->Taken = stream_->Produced;
    TMMDSPComponent::Stop();
}

void TMMACMConverter::Reset() {
    TMMDSPComponent::Reset();
    if (stream_ != nullptr) {
        ResetConversion(stream_);
        // A reset follows a seek: the source has data again.
        sourceExhausted_ = false;
        upstreamMore_ = false;
    }
}

int32_t TMMACMConverter::PullSource(PMMChainHdr caller) {
    TMMChainHdr& pull = pullHeader_;
    pull.lpData = stream_->SourceBlock;
    pull.dwBufferLength = static_cast<uint32_t>(sourceBlockSize_);
    pull.dwBytesRecorded = 0;
    pull.dwLooping = caller->dwLooping;
    pull.dwLoopCount = caller->dwLoopCount;
    pull.dwLoopsLeft = caller->dwLoopsLeft;
    pull.dwLoopWrapped = caller->dwLoopWrapped;
    bool more = false;
    GetInput()->BufferLoad(&pull, more);
    caller->dwLoopsLeft = pull.dwLoopsLeft;
    caller->dwLoopWrapped = pull.dwLoopWrapped;
    const int32_t got = std::min(static_cast<int32_t>(pull.dwBytesRecorded), sourceBlockSize_);
    upstreamMore_ = more;
    if (!more || got < 1)
        sourceExhausted_ = true;
    return std::max(got, 0);
}

void TMMACMConverter::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (!Opened() || !streamStarted_.load() || !needsConversion_ || !streamOpened_) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    // Opened before the format changed: nothing to convert with until the next Open.
    if (stream_ == nullptr || GetInput() == nullptr)
        return;
    TMMConversionStream& stream = *stream_;
    int32_t want = static_cast<int32_t>(lpWaveHdr->dwBufferLength) -
                   static_cast<int32_t>(lpWaveHdr->dwBytesRecorded);
    int emptyConversions = 0;
    for (;;) {
        const int32_t count = std::min(stream.Produced - stream.Taken, want);
        if (count > 0) {
            std::memcpy(lpWaveHdr->lpData + lpWaveHdr->dwBytesRecorded,
                        stream.Output + stream.Taken, static_cast<std::size_t>(count));
            stream.Taken += count;
            lpWaveHdr->dwBytesRecorded += static_cast<uint32_t>(count);
            want -= count;
        }
        if (lpWaveHdr->dwLoopWrapped != 0 || !streamStarted_.load() || want < 1)
            break;
        const int32_t got = sourceExhausted_ ? 0 : PullSource(lpWaveHdr);
        if (!streamStarted_.load())
            break;
        if (got > 0) {
            if (Convert(stream_, got) > 0) {
                emptyConversions = 0;
                continue;
            }
            if (!sourceExhausted_) {
                if (++emptyConversions >= MaxEmptyConversions) {
                    canConvertFormat_ = false;
                    RaiseUnableToConvert();
                }
                continue;
            }
        }
        // The source has ended: what the stages hold comes out.
        if (FlushConversion(stream_, 0) < 1)
            break;
    }
    MoreBuffers = upstreamMore_ || stream.Produced > stream.Taken || stream.OutputPending;
}

void TMMACMConverter::BufferReady(PMMChainHdr lpWaveHdr) {
    if (!Opened() || !streamStarted_.load() || !needsConversion_ || stream_ == nullptr) {
        TMMDSPComponent::BufferReady(lpWaveHdr);
        return;
    }
    TMMConversionStream& stream = *stream_;
    const char* data = lpWaveHdr->lpData;
    int32_t left = static_cast<int32_t>(lpWaveHdr->dwBytesRecorded);
    const int32_t piece = std::max(GetBufferSize(), 1);
    while (left > 0) {
        const int32_t count = std::min(left, sourceBlockSize_);
        std::memcpy(stream.SourceBlock, data, static_cast<std::size_t>(count));
        data += count;
        left -= count;
        if (Convert(stream_, count) < 1 && !stream.OutputPending)
            RaiseUnableToConvert();
        while (stream.Taken < stream.Produced) {
            TMMChainHdr pushed = *lpWaveHdr;
            const int32_t bytes = std::min(stream.Produced - stream.Taken, piece);
            pushed.lpData = stream.Output + stream.Taken;
            pushed.dwBufferLength = static_cast<uint32_t>(bytes);
            pushed.dwBytesRecorded = static_cast<uint32_t>(bytes);
            stream.Taken += bytes;
            TMMDSPComponent::BufferReady(&pushed);
        }
    }
}

bool TMMACMConverter::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    if (name == "Enabled") {
        if (const auto* flag = std::get_if<bool>(&value)) {
            SetEnabled(*flag);
            return true;
        }
        return false;
    }
    if (name == "Quality") {
        if (const auto* number = std::get_if<int64_t>(&value)) {
            SetQuality(*number == cqHigh ? cqHigh : cqLow);
            return true;
        }
        return false;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}

// ---- TMMPCMConverter ------------------------------------------------------------------------

TMMPCMConverter::TMMPCMConverter(TMMComponentOwner* owner) : TMMACMConverter(owner) {}

void TMMPCMConverter::SetAutoConvert(bool value) {
    if (value == autoConvert_)
        return;
    autoConvert_ = value;
    UpdateConversion();
}

void TMMPCMConverter::SetSampleRate(int32_t value) {
    value = std::clamp(value, 8000, 88200);
    if (value == sampleRate_)
        return;
    sampleRate_ = value;
    UpdateConversion();
}

void TMMPCMConverter::SetBitLength(TMMBits value) {
    if (value == bitLength_)
        return;
    bitLength_ = value;
    UpdateConversion();
}

void TMMPCMConverter::SetMode(TMMMode value) {
    if (value == mode_ || (value != mMono && value != mStereo))
        return;
    mode_ = value;
    UpdateConversion();
}

void TMMPCMConverter::SetRequired(TMMRequiredParams value) {
    value &= rpBits | rpChannels | rpSampleRate;
    if (value == required_)
        return;
    required_ = value;
    UpdateConversion();
}

void TMMPCMConverter::SetPWaveFormat(const WAVEFORMATEX* format) {
    if (format != nullptr && !IsDesigning() && !IsValidPCMFormat(format))
        throw EMMConverterError(LoadResStr(SInvalidWaveFormat));
    TMMACMConverter::SetPWaveFormat(format);
}

TMMFormatPtr TMMPCMConverter::DeriveOutput() const {
    const auto bits = static_cast<uint16_t>((bitLength_ + 1) * 8);
    const auto channels = static_cast<uint16_t>(mode_ + 1);
    const auto rate = static_cast<uint32_t>(sampleRate_);
    WAVEFORMATEX format{};
    if (InputFormat() == nullptr) {
        MakePCMFormat(format, bits, channels, rate);
        return CopyFormatPtr(&format);
    }
    SuggestPCMFormat(InputFormat(), format);
    if (!autoConvert_ && format.wFormatTag != WAVE_FORMAT_UNKNOWN)
        MakePCMFormat(format, (required_ & rpBits) != 0 ? bits : format.wBitsPerSample,
                      (required_ & rpChannels) != 0 ? channels : format.nChannels,
                      (required_ & rpSampleRate) != 0 ? rate : format.nSamplesPerSec);
    return CopyFormatPtr(&format);
}

bool TMMPCMConverter::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (name == "AutoConvert" && flag != nullptr) {
        SetAutoConvert(*flag);
        return true;
    }
    if (name == "SampleRate" && number != nullptr) {
        SetSampleRate(static_cast<int32_t>(std::clamp<int64_t>(*number, 0, 1 << 30)));
        return true;
    }
    if (name == "BitLength" && number != nullptr) {
        SetBitLength(*number == b8Bit ? b8Bit : b16Bit);
        return true;
    }
    if (name == "Mode" && number != nullptr) {
        SetMode(static_cast<TMMMode>(std::clamp<int64_t>(*number, mMono, mMultiChannel)));
        return true;
    }
    if (name == "Required" && number != nullptr) {
        SetRequired(static_cast<TMMRequiredParams>(*number));
        return true;
    }
    return TMMACMConverter::SetPublishedValue(name, value);
}
