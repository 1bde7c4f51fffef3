#include "sources/MMAudio.h"

#include "chain/MMMsgs.h"
#include "sources/MMACMCvt.h"
#include "sources/MMADCvt.h"
#include "sources/MMMPEG.h"
#include "sources/MMWave.h"
#include "sources/MMWaveIO.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>

TMMCustomFile::TMMCustomFile(TMMComponentOwner* owner) : TMMDSPComponent(owner) {}

int32_t TMMCustomFile::GetSampleRate() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? static_cast<int32_t>(format->nSamplesPerSec) : 0;
}

int32_t TMMCustomFile::GetChannels() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? format->nChannels : 0;
}

bool TMMCustomFile::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    if (const auto* text = std::get_if<std::string>(&value);
        text != nullptr && name == "FileName") {
        SetFileName(*text);
        return true;
    }
    if (const auto* flag = std::get_if<bool>(&value); flag != nullptr && name == "Enabled") {
        SetEnabled(*flag);
        return true;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}

void TMMCustomFile::DoFileChange() {
    if (OnChange)
        OnChange(this);
    if (OnChanged)
        OnChanged(this);
}

// ---- reader classes -------------------------------------------------------------------------

namespace {

std::mutex classListMutex;
std::vector<std::pair<TMMAudioFileClass, int>> classList;

template <typename Reader> TMMAudioFileClass ClassOf(const char* name) {
    return {name,
            &Reader::GetFileType,
            &Reader::CanLoadFile,
            &Reader::GetFileFilter,
            &Reader::GetFileMask,
            [](TMMComponentOwner* owner) -> TMMCustomFile* { return new Reader(owner); }};
}

std::string UpperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool FileExists(const std::string& name) {
    std::error_code error;
    return std::filesystem::is_regular_file(name, error);
}

} // namespace

void RegisterAudioFileClass(const TMMAudioFileClass& fileClass, int priority) {
    std::lock_guard lock(classListMutex);
    for (const auto& entry : classList)
        if (entry.first.name == fileClass.name)
            return;
    auto before = std::find_if(classList.begin(), classList.end(), [&](const auto& entry) {
        return entry.second >= 0 && entry.second > priority;
    });
    classList.insert(before, {fileClass, priority});
}

void RegisterStandardAudioFileClasses() {
    RegisterAudioFileClass(ClassOf<TMMWaveFile>("TMMWaveFile"), 5);
    RegisterAudioFileClass(ClassOf<TMMMPEGFile>("TMMMPEGFile"), 1);
}

std::vector<TMMAudioFileClass> AudioFileClasses() {
    std::lock_guard lock(classListMutex);
    std::vector<TMMAudioFileClass> classes;
    for (const auto& entry : classList)
        classes.push_back(entry.first);
    return classes;
}

// ---- the audio file source ------------------------------------------------------------------

TMMCustomAudioFile::TMMCustomAudioFile(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
    SetPublishedLinks(plOutput);
    RegisterStandardAudioFileClasses();
    adpcm_.reset(new TMMADPCMConverter(nullptr));
    pcm_.reset(new TMMPCMConverter(nullptr));
    // The private sub-chain reader -> ADPCM converter -> PCM converter -> this component. This
    // component takes no Input from outside, so it allows one just for its own converter.
    AllowInput = true;
    pcm_->SetOutput(this);
    AllowInput = false;
    adpcm_->SetOutput(pcm_.get());
}

TMMCustomAudioFile::~TMMCustomAudioFile() = default;

void TMMCustomAudioFile::Destroying() {
    Close();
    reader_.reset();
    adpcm_.reset();
    pcm_.reset();
    TMMDSPComponent::Destroying();
}

void TMMCustomAudioFile::ReaderChanged() {
    if (OnChange)
        OnChange(this);
}

std::string TMMCustomAudioFile::GetFileName() const {
    return reader_ ? reader_->GetFileName() : std::string();
}

TMMAudioFileType TMMCustomAudioFile::GetFileType() const {
    return reader_ ? reader_->FileType() : ftNone;
}

bool TMMCustomAudioFile::IsEmpty() const {
    return !reader_ || reader_->IsEmpty();
}

int32_t TMMCustomAudioFile::GetBlockAlign() const {
    return IsEmpty() ? 0 : reader_->GetBlockAlign();
}

void TMMCustomAudioFile::FreeReader() {
    holdPosition_.store(false);
    if (reader_) {
        reader_->SetFileName(""); // its change handling tells our OnChange
        reader_.reset();
    }
    playStart_.store(0);
    fadeInTime_ = fadeOutTime_ = fadeOutStart_ = 0;
    duration_.store(0);
    rangeEnd_ = 0;
}

void TMMCustomAudioFile::SetFileName(const std::string& name) {
    if (IsDestroying() || name == GetFileName())
        return;
    FreeReader();
    if (name.empty())
        return;
    const std::string upper = UpperCase(name);
    if (!FileExists(name) && upper.find("RESOURCE://") == std::string::npos &&
        upper.find("POINTER://") == std::string::npos)
        return; // a file that is not there unloads, without an error
    for (const TMMAudioFileClass& fileClass : AudioFileClasses()) {
        if (fileClass.CanLoadFile(name, nullptr, 0, nullptr)) {
            LoadWith(fileClass, name);
            return;
        }
    }
    throw EMMAudioError("This is not a valid Audiofile");
}

void TMMCustomAudioFile::LoadWith(const TMMAudioFileClass& fileClass, const std::string& name) {
    reader_.reset(fileClass.Create(nullptr));
    reader_->SetEnabled(enabled_.load());
    reader_->OnChanged = [this](TObject*) { ReaderChanged(); };
    try {
        if (OnFileLoading)
            OnFileLoading(this);
        reader_->SetFileName(name);
        fadeOutStart_ = reader_->GetTime();
        adpcm_->SetInput(reader_.get());
        adpcm_->SetEnabled(adpcm_->CanTakeInput());
        ResetPlayRange();
        if (OnFileLoaded)
            OnFileLoaded(this);
    } catch (...) {
        reader_.reset();
        playStart_.store(0);
        fadeOutStart_ = 0;
        duration_.store(0);
        rangeEnd_ = 0;
        throw;
    }
}

void TMMCustomAudioFile::ResetPlayRange() {
    playStart_.store(0);
    duration_.store(fadeOutStart_);
    rangeEnd_ = fadeOutStart_;
}

std::string TMMCustomAudioFile::GetFileFilter() const {
    const std::vector<TMMAudioFileClass> classes = AudioFileClasses();
    std::string joined;
    for (const TMMAudioFileClass& fileClass : classes) {
        if (!joined.empty())
            joined += "|";
        joined += fileClass.GetFileFilter();
    }
    if (classes.size() <= 1)
        return joined;
    // "All Audio Files" first: every pattern (the 2nd, 4th, ... fields) once.
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = joined.find('|', start);
        fields.push_back(joined.substr(start, bar - start));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    std::string patterns;
    for (std::size_t i = 1; i < fields.size(); i += 2) {
        if (patterns.find(fields[i]) != std::string::npos)
            continue;
        if (!patterns.empty())
            patterns += ";";
        patterns += fields[i];
    }
    return "All Audio Files (" + patterns + ")|" + patterns + "|" + joined;
}

void TMMCustomAudioFile::SetEnabled(bool value) {
    if (value == enabled_.load())
        return;
    enabled_.store(value);
    if (reader_)
        reader_->SetEnabled(value);
}

void TMMCustomAudioFile::SetVolume(int32_t value) {
    value = std::clamp<int32_t>(value, 0, 32768);
    if (value == volume_)
        return;
    volume_ = value;
    if (started_.load())
        UpdateEnvelope();
}

void TMMCustomAudioFile::SetPanning(int32_t value) {
    value = std::clamp<int32_t>(value, -MaxPan, MaxPan);
    if (value == panning_)
        return;
    panning_ = value;
    if (started_.load())
        UpdateEnvelope();
}

int32_t TMMCustomAudioFile::MpegTrailingHeader() const {
    return reader_ && reader_->FileType() == ftMpeg ? reader_->GetTrailingHeader() : 0;
}

void TMMCustomAudioFile::SetMpegTrailingHeader(int32_t value) {
    if (reader_ && reader_->FileType() == ftMpeg)
        reader_->SetTrailingHeader(value);
}

int64_t TMMCustomAudioFile::TimeToBytes64(int64_t ms) const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr || format->nBlockAlign == 0)
        return 0;
    const int64_t product = ms * static_cast<int64_t>(format->nAvgBytesPerSec);
    const int64_t bytes = product >= 0 ? (product + 500) / 1000 : -((-product + 500) / 1000);
    const int64_t align = format->nBlockAlign;
    return bytes >= 0 ? (bytes + align - 1) / align * align : bytes / align * align;
}

int32_t TMMCustomAudioFile::GetPosition() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (started_.load() && format != nullptr && format->nAvgBytesPerSec > 0) {
        const int64_t bytes = bytesDelivered_.load();
        const int64_t ms = (bytes * 1000 + format->nAvgBytesPerSec / 2) / format->nAvgBytesPerSec;
        return static_cast<int32_t>(std::min<int64_t>(playStart_.load() + ms, INT32_MAX));
    }
    if (holdPosition_.load())
        return heldPosition_.load();
    return reader_ ? reader_->GetTimePosition() : 0;
}

void TMMCustomAudioFile::SetPosition(int32_t ms) {
    // The seek is under the lock too, so that it never lands in the middle of a pull.
    std::lock_guard lock(lock_);
    holdPosition_.store(false);
    const int32_t position = std::min(ms, duration_.load());
    if (!IsEmpty())
        reader_->SetTimePosition(position);
    if (!started_.load())
        return;
    endReached_ = tailSent_ = false;
    bytesDelivered_.store(0);
    playStart_.store(position);
    bytesToPlay_ = TimeToBytes64(duration_.load() - position);
    adpcm_->Reset();
    pcm_->Reset();
    UpdateEnvelope();
}

void TMMCustomAudioFile::UpdateEnvelope() {
    if (IsEmpty() || GetPWaveFormat() == nullptr || !useEnvelope_)
        return;
    std::lock_guard lock(lock_);
    envelope_.Clear();
    const int32_t fadeOutStart = std::max(std::min(fadeOutStart_, rangeEnd_ - 1), 1);
    const int32_t fadeIn = std::max(std::min(fadeInTime_, fadeOutStart - 1), 0);
    earlyEnd_ = fadeOutStart < rangeEnd_ - 1;
    const int64_t playStart = playStart_.load();
    envelope_.Add(TimeToBytes64(0), 0, panning_);
    if (playStart > 0)
        envelope_.Add(TimeToBytes64(playStart), 0, panning_);
    envelope_.Add(TimeToBytes64(playStart + fadeIn + 1), volume_, panning_);
    envelope_.Add(TimeToBytes64(fadeOutStart), volume_, panning_);
    envelope_.Add(TimeToBytes64(static_cast<int64_t>(fadeOutStart) + fadeOutTime_), 0, panning_);
    envelope_.Add(TimeToBytes64(static_cast<int64_t>(duration_.load()) + 10000), 0, panning_);
    envelope_.Sort();
    envelope_.CurrentIndex = 1;
    envelope_.CurrentPosition = TimeToBytes64(GetPosition());
    PanGains(envelope_.InterpolateVolume(envelope_.CurrentPosition), panning_,
             envelope_.CurrentLeft, envelope_.CurrentRight);
}

void TMMCustomAudioFile::SetFades(int32_t fadeIn, int32_t fadeOut) {
    std::lock_guard lock(lock_);
    fadeInTime_ = std::max(fadeIn, 0);
    fadeOutTime_ = std::max(fadeOut, 0);
    // A fade-out ends with the file.
    fadeOutStart_ = std::max(duration_.load() - fadeOutTime_, 0);
    if (started_.load())
        UpdateEnvelope();
}

void TMMCustomAudioFile::FadeOutAndStop(int32_t ms) {
    if (!started_.load())
        return;
    std::lock_guard lock(lock_);
    stopFade_ = true;
    savedFadeOutStart_ = fadeOutStart_;
    savedFadeOutTime_ = fadeOutTime_;
    const int32_t position = GetPosition();
    fadeOutStart_ = position;
    fadeOutTime_ = std::min(ms, rangeEnd_ - position);
    UpdateEnvelope();
}

void TMMCustomAudioFile::RestoreFade() {
    if (!stopFade_)
        return;
    fadeOutStart_ = savedFadeOutStart_;
    fadeOutTime_ = savedFadeOutTime_;
}

void TMMCustomAudioFile::AbortRead() {
    if (opened_.load() && started_.load() && reader_)
        reader_->AbortRead();
}

void TMMCustomAudioFile::BeginRun() {
    holdPosition_.store(false);
    const int32_t position = GetPosition(); // the reader's while not started
    endReached_ = tailSent_ = false;
    bytesDelivered_.store(0);
    playStart_.store(position);
    bytesToPlay_ = TimeToBytes64(duration_.load() - position);
}

void TMMCustomAudioFile::Open() {
    if (!opened_.load()) {
        std::lock_guard lock(lock_);
        endReached_ = tailSent_ = false;
        opened_.store(true);
    }
    TMMDSPComponent::Open();
}

void TMMCustomAudioFile::Start() {
    if (!started_.load() && !IsEmpty()) {
        std::lock_guard lock(lock_);
        BeginRun();
        UpdateEnvelope();
        started_.store(true);
    }
    TMMDSPComponent::Start();
}

void TMMCustomAudioFile::Stop() {
    if (started_.load()) {
        std::lock_guard lock(lock_);
        heldPosition_.store(GetPosition());
        holdPosition_.store(true);
        endReached_ = tailSent_ = true;
        RestoreFade();
        stopFade_ = earlyEnd_ = false;
        started_.store(false);
    }
    TMMDSPComponent::Stop();
}

void TMMCustomAudioFile::Reset() {
    if (opened_.load()) {
        std::lock_guard lock(lock_);
        const int32_t position = GetPosition(); // before the counters start again
        endReached_ = tailSent_ = false;
        bytesDelivered_.store(0);
        playStart_.store(position);
        bytesToPlay_ = TimeToBytes64(duration_.load() - position);
        RestoreFade();
        stopFade_ = false;
        UpdateEnvelope();
    }
    TMMDSPComponent::Reset();
}

void TMMCustomAudioFile::Close() {
    if (opened_.load()) {
        std::lock_guard lock(lock_);
        endReached_ = tailSent_ = true;
        opened_.store(false);
    }
    TMMDSPComponent::Close();
}

void TMMCustomAudioFile::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (!opened_.load() || !started_.load())
        return;
    std::lock_guard lock(lock_);
    try {
        Pull(lpWaveHdr, MoreBuffers);
    } catch (...) {
        bool handled = false;
        if (OnError)
            OnError(this, handled);
        if (!handled)
            throw;
        // Handled: the stream goes on with a short silent block.
        const WAVEFORMATEX* format = GetPWaveFormat();
        const uint8_t silence = (format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM &&
                                 format->wBitsPerSample == 8)
                                    ? 128
                                    : 0;
        const uint32_t count = std::min<uint32_t>(4, lpWaveHdr->dwBufferLength);
        std::memset(lpWaveHdr->lpData, silence, count);
        lpWaveHdr->dwBytesRecorded = count;
    }
}

void TMMCustomAudioFile::Pull(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (endReached_ || lpWaveHdr->dwBufferLength < 1) {
        lpWaveHdr->dwBytesRecorded = 0;
    } else {
        const uint32_t length = lpWaveHdr->dwBufferLength;
        const bool looping = lpWaveHdr->dwLooping != 0;
        lpWaveHdr->dwLooping = 0; // the readers below must not loop by themselves
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        lpWaveHdr->dwLooping = looping ? MMChainTrue : 0;
        lpWaveHdr->dwBufferLength = length;
        // A converter or reader must not report more than it was given room for.
        lpWaveHdr->dwBytesRecorded = std::min(lpWaveHdr->dwBytesRecorded, length);
        bytesDelivered_.fetch_add(lpWaveHdr->dwBytesRecorded);
        if (useEnvelope_)
            ApplyEnvelope(format, lpWaveHdr->lpData,
                          static_cast<int32_t>(lpWaveHdr->dwBytesRecorded), envelope_);
    }
    const bool ended = lpWaveHdr->dwBytesRecorded == 0 || !MoreBuffers ||
                       (earlyEnd_ && GetPosition() >= fadeOutStart_ + fadeOutTime_);
    if (ended) {
        MoreBuffers = false;
        endReached_ = true;
        if (!stopFade_ && lpWaveHdr->dwLooping != 0) {
            if (lpWaveHdr->dwLoopCount > 0)
                --lpWaveHdr->dwLoopsLeft;
            if (lpWaveHdr->dwLoopCount == 0 || lpWaveHdr->dwLoopsLeft >= 0) {
                SetPosition(0);
                playStart_.store(0);
                adpcm_->Reset();
                pcm_->Reset();
                MoreBuffers = true;
                lpWaveHdr->dwLoopWrapped = MMChainTrue;
                endReached_ = false;
            }
        }
    }
    if (lpWaveHdr->dwBytesRecorded == 0 && endReached_ && !tailSent_ &&
        lpWaveHdr->dwBufferLength >= 4) {
        // The end of a file: one short block of silence, then nothing.
        const uint8_t silence = (format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM &&
                                 format->wBitsPerSample == 8)
                                    ? 128
                                    : 0;
        std::memset(lpWaveHdr->lpData, silence, 4);
        lpWaveHdr->dwBytesRecorded = 4;
        tailSent_ = true;
    }
}

bool TMMCustomAudioFile::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* text = std::get_if<std::string>(&value);
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (name == "FileName" && text != nullptr) {
        SetFileName(*text);
        return true;
    }
    if (name == "Enabled" && flag != nullptr) {
        SetEnabled(*flag);
        return true;
    }
    if (name == "Volume" && number != nullptr) {
        SetVolume(static_cast<int32_t>(std::clamp<int64_t>(*number, INT32_MIN, INT32_MAX)));
        return true;
    }
    if (name == "Panning" && number != nullptr) {
        SetPanning(static_cast<int32_t>(std::clamp<int64_t>(*number, INT32_MIN, INT32_MAX)));
        return true;
    }
    if (name == "MpegTrailingHeader" && number != nullptr) {
        SetMpegTrailingHeader(static_cast<int32_t>(*number));
        return true;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}

TMMAudioFile::TMMAudioFile(TMMComponentOwner* owner) : TMMCustomAudioFile(owner) {}

void RegisterAudioFileComponentClass() {
    RegisterComponentClass("TMMAudioFile", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMAudioFile(owner);
    });
}
