#include "sources/MMWave.h"

#include "chain/MMMsgs.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string FullPath(const std::string& name) {
    if (name.empty())
        return name;
    std::error_code ignored;
    std::filesystem::path path = std::filesystem::absolute(name, ignored);
    if (path.empty())
        path = name;
    return path.lexically_normal().string();
}

// The size of the file on disk, or -1 when it does not exist.
int64_t DiskFileSize(const std::string& name) {
    std::error_code error;
    const auto size = std::filesystem::file_size(name, error);
    return error ? -1 : static_cast<int64_t>(size);
}

bool FileExists(const std::string& name) {
    std::error_code error;
    return std::filesystem::is_regular_file(name, error);
}

// The extension with its dot: the text from the last "." behind the last folder separator.
std::string ExtensionOf(const std::string& name) {
    const std::size_t folder = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (folder != std::string::npos && dot < folder))
        return {};
    return name.substr(dot);
}

std::string UpperCase(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

} // namespace

// ---- TMMWave --------------------------------------------------------------------------------

TMMWave::TMMWave() = default;

TMMWave::~TMMWave() {
    if (block_ != nullptr)
        WaveIOFree(block_);
}

void TMMWave::Assign(const TMMWave& other) {
    if (&other == this)
        return;
    ++assigning_;
    try {
        FileMustExist = other.FileMustExist;
        SetTimeFormat(other.timeFormat_);
        SetIOBufferSize(other.ioBufferSize_);
        SetFileName(other.fileName_);
    } catch (...) {
        --assigning_;
        changedWhileAssigning_ = false;
        throw;
    }
    if (--assigning_ == 0 && changedWhileAssigning_) {
        changedWhileAssigning_ = false;
        Changed();
    }
}

void TMMWave::FreeState() {
    if (block_ != nullptr)
        WaveIOFree(block_);
    segments_.Clear();
    playRangeStart_ = playRangeEnd_ = 0;
    position_ = 0;
    bytesLeft_ = 0;
    totalPlayBytes_ = 0;
    currentSegment_ = 0;
    segmentBytesLeft_ = 0;
    opened_ = false;
}

void TMMWave::SetFileName(const std::string& name) {
    const std::string fullName = FullPath(name);
    if (fullName == fileName_ && block_ != nullptr && DiskFileSize(fullName) == block_->fileSize)
        return;
    if (fullName.empty()) {
        Clear();
        return;
    }
    const bool exists = FileExists(fullName);
    PWaveIOCB loaded = nullptr;
    if (exists && WaveIOOpen(loaded, fullName, mmioFOURCC('W', 'A', 'V', 'E'), RIFFWAVE_PLAIN) ==
                      WIOERR_NOERROR) {
        FreeState();
        block_ = loaded;
        playRangeStart_ = block_->rangeStart;
        playRangeEnd_ = block_->rangeEnd;
        position_ = 0;
        bytesLeft_ = 0;
        fileName_ = fullName;
        BuildSegments();
        Changed();
        return;
    }
    if (exists || FileMustExist) {
        // A file that is missing or cannot be read is a read error; one that reads but does not
        // parse is not a wave file. The previous file stays loaded.
        const bool readable = exists && access(fullName.c_str(), R_OK) == 0;
        throw EMMWaveError(LoadResStr(readable ? SInvalidWaveFile : SErrorReadingWaveFile));
    }
    FreeState();
    fileName_ = fullName;
    Changed();
}

void TMMWave::Clear() {
    if (fileName_.empty() && block_ == nullptr)
        return;
    if (block_ != nullptr)
        WaveIOFinish(block_);
    FreeState();
    fileName_.clear();
    Changed();
}

void TMMWave::SetTimeFormat(TMMTimeFormats value) {
    if (value == timeFormat_)
        return;
    timeFormat_ = value;
    BuildSegments();
}

void TMMWave::SetIOBufferSize(int32_t value) {
    value = std::max<int32_t>(value, 8192);
    if (value == ioBufferSize_)
        return;
    ioBufferSize_ = value;
    if (opened_ && block_ != nullptr && WaveIOSetBuffer(block_, ioBufferSize_) != WIOERR_NOERROR)
        throw EMMWaveError(LoadResStr(SUnableToSetupIOBuffer));
}

WAVEFORMATEX* TMMWave::GetPWaveFormat() const {
    return block_ != nullptr ? block_->Format() : nullptr;
}

uint16_t TMMWave::BitLength() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? format->wBitsPerSample : 0;
}

TMMMode TMMWave::Mode() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr || format->nChannels < 2)
        return mMono;
    return format->nChannels == 2 ? mStereo : mMultiChannel;
}

uint16_t TMMWave::FormatTag() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? format->wFormatTag : 0;
}

std::string TMMWave::FormatString() const {
    return GetFormatName(FormatTag());
}

int32_t TMMWave::SampleRate() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? static_cast<int32_t>(format->nSamplesPerSec) : 11025;
}

int32_t TMMWave::FileSize() const {
    return block_ != nullptr ? static_cast<int32_t>(block_->fileSize) : 0;
}

int32_t TMMWave::DataSize() const {
    return block_ != nullptr ? SamplesToTimeFormat(static_cast<int32_t>(block_->sampleCount)) : 0;
}

int32_t TMMWave::SamplesToBytes(int32_t samples) const {
    return ::SamplesToBytes(GetPWaveFormat(), samples);
}

int32_t TMMWave::BytesToSamples(int32_t bytes) const {
    return ::BytesToSamples(GetPWaveFormat(), bytes);
}

int32_t TMMWave::SamplesToTimeFormat(int32_t samples) const {
    switch (timeFormat_) {
    case tfMillisecond:
        return SamplesToTime(GetPWaveFormat(), samples);
    case tfByte:
        return SamplesToBytes(samples);
    case tfSample:
        break;
    }
    return samples;
}

int32_t TMMWave::TimeFormatToSamples(int32_t value) const {
    switch (timeFormat_) {
    case tfMillisecond:
        return TimeToSamples(GetPWaveFormat(), value);
    case tfByte:
        return BytesToSamples(value);
    case tfSample:
        break;
    }
    return value;
}

void TMMWave::BuildSegments() {
    segments_.Clear();
    if (GetPWaveFormat() == nullptr)
        return;
    TMMCutRecord segment{};
    segment.firstSample = playRangeStart_;
    segment.byteOffset = SamplesToBytes(playRangeStart_);
    segment.sampleCount = playRangeEnd_ - playRangeStart_;
    segment.byteCount = SamplesToBytes(segment.sampleCount);
    segments_.Add(segment);
}

void TMMWave::OpenFile() {
    if (block_ == nullptr)
        return;
    if (WaveIOReopen(block_) != WIOERR_NOERROR)
        throw EMMWaveError(LoadResStr(SUnableToOpenWaveFile));
    if (WaveIOSetBuffer(block_, ioBufferSize_) != WIOERR_NOERROR)
        throw EMMWaveError(LoadResStr(SUnableToSetupIOBuffer));
    BuildSegments();
    opened_ = true;
    SetPosition(GetPosition());
}

void TMMWave::CloseFile() {
    if (block_ != nullptr)
        WaveIOFinish(block_);
    opened_ = false;
    position_ = 0;
    bytesLeft_ = 0;
}

void TMMWave::SetPosition(int32_t value) {
    if (block_ == nullptr)
        return;
    position_ = TimeFormatToSamples(value);
    if (!opened_)
        return;
    int32_t total = 0;
    for (int32_t i = 0; i < segments_.Count(); ++i)
        total += segments_[i].sampleCount;
    if (segments_.Count() == 0)
        total = playRangeEnd_ - playRangeStart_;
    const int32_t target = std::clamp(position_, 0, total);
    totalPlayBytes_ = SamplesToBytes(total);
    bytesLeft_ = totalPlayBytes_ - SamplesToBytes(target);
    int32_t sum = 0;
    for (int32_t i = 0; i < segments_.Count(); ++i) {
        const TMMCutRecord& segment = segments_[i];
        sum += segment.sampleCount;
        if (sum < target)
            continue;
        const int32_t sample = segment.firstSample + segment.sampleCount - (sum - target);
        if (WaveIOSeek(block_, sample) != WIOERR_NOERROR &&
            WaveIOSeek(block_, sample) != WIOERR_NOERROR)
            throw EMMWaveError(LoadResStr(SErrorSeekingPosition));
        segmentBytesLeft_ = SamplesToBytes(sum - target);
        currentSegment_ = i;
        return;
    }
    throw EMMWaveError(LoadResStr(SErrorSeekingPosition));
}

int32_t TMMWave::GetPosition() const {
    return block_ != nullptr ? SamplesToTimeFormat(position_) : -1;
}

int32_t TMMWave::ReadBytes(void* buffer, int32_t count) {
    return WaveIORead(block_, buffer, count);
}

int32_t TMMWave::ReadData(void* buffer, int32_t count) {
    if (block_ == nullptr || bytesLeft_ <= 0)
        return -1;
    auto* out = static_cast<char*>(buffer);
    int32_t wanted = std::min(count, bytesLeft_);
    int32_t total = 0;
    while (wanted > 0) {
        if (segmentBytesLeft_ > 0) {
            const int32_t got = ReadBytes(out + total, std::min(wanted, segmentBytesLeft_));
            if (got <= 0)
                break;
            wanted -= got;
            segmentBytesLeft_ -= got;
            total += got;
        }
        if (segmentBytesLeft_ <= 0) {
            if (currentSegment_ + 1 < segments_.Count()) {
                ++currentSegment_;
                segmentBytesLeft_ = segments_[currentSegment_].byteCount;
                // A failing seek here shows as a short read at the next step.
                WaveIOSeek(block_, segments_[currentSegment_].firstSample);
            } else {
                bytesLeft_ = 0;
                break;
            }
        }
    }
    if (total > 0) {
        bytesLeft_ = std::max(bytesLeft_ - total, 0);
        position_ = BytesToSamples(totalPlayBytes_ - bytesLeft_);
        return total;
    }
    // The file gave nothing although bytes were left: it shrank. One short silent block ends it.
    std::memset(buffer, 0, std::min<int32_t>(count, 4));
    bytesLeft_ = 0;
    segmentBytesLeft_ = 0;
    position_ = playRangeEnd_;
    return std::min<int32_t>(count, 4);
}

void TMMWave::Changed() {
    if (assigning_ > 0) {
        changedWhileAssigning_ = true;
        return;
    }
    DoChange();
    observable_.NotifyObservers(this);
}

// ---- TMMCustomWaveFile ----------------------------------------------------------------------

TMMCustomWaveFile::TMMCustomWaveFile(TMMComponentOwner* owner)
    : TMMCustomFile(owner), wave_(new TMMWave()) {
    observer_.OnNotify = [this](TMMObserver*, TObject*) { WaveChanged(); };
    wave_->Observable().AddObserver(&observer_);
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
    if (recordBlock_ != nullptr)
        WaveIOFree(recordBlock_);
    wave_->Observable().RemoveObserver(&observer_);
    delete wave_;
}

void TMMCustomWaveFile::Destroying() {
    Close();
    TMMCustomFile::Destroying();
}

bool TMMCustomWaveFile::CanLoadFile(const std::string& name, TMMDecryptCallback, int, void*) {
    const std::string extension = UpperCase(ExtensionOf(name));
    if (!extension.empty() && UpperCase(GetFileMask()).find(extension) == std::string::npos)
        return false;
    return IsValidWaveFile(name, RIFFWAVE_PLAIN);
}

int TMMCustomWaveFile::GetFileInfo(const std::string& name, TMMAudioFileInfo& info) {
    PWaveIOCB block = nullptr;
    if (WaveIOOpen(block, name, mmioFOURCC('W', 'A', 'V', 'E'), RIFFWAVE_PLAIN) != WIOERR_NOERROR)
        return 0;
    info.Length = SamplesToTime(block->Format(), static_cast<int32_t>(block->sampleCount));
    info.FileName = std::filesystem::path(name).filename().string();
    WaveIOFree(block);
    return 1;
}

std::string TMMCustomWaveFile::GetFileFilter() {
    return LoadResStr(SWaveFileFilter);
}

int32_t TMMCustomWaveFile::GetBlockAlign() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    return format != nullptr ? format->nBlockAlign : 0;
}

bool TMMCustomWaveFile::IsEmpty() const {
    return wave_ == nullptr || wave_->DataSize() == 0;
}

int32_t TMMCustomWaveFile::GetTime() const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr)
        return 0;
    return SamplesToTime(format, wave_->TimeFormatToSamples(wave_->DataSize()));
}

int32_t TMMCustomWaveFile::GetTimePosition() const {
    return SamplesToTime(GetPWaveFormat(), wave_->TimeFormatToSamples(GetPosition()));
}

void TMMCustomWaveFile::SetTimePosition(int32_t ms) {
    wave_->SetPosition(wave_->SamplesToTimeFormat(TimeToSamples(GetPWaveFormat(), ms)));
}

void TMMCustomWaveFile::WaveChanged() {
    if (OnChange)
        OnChange(this);
    struct ChangedLast {
        TMMCustomWaveFile* self;
        ~ChangedLast() {
            if (self->OnChanged)
                self->OnChanged(self);
        }
    } changedLast{this};
    if (wave_->FileMustExist || wave_->GetPWaveFormat() != nullptr)
        SetPWaveFormat(wave_->GetPWaveFormat());
}

void TMMCustomWaveFile::SetPWaveFormat(const WAVEFORMATEX* format) {
    TMMCustomFile::SetPWaveFormat(format);
    const WAVEFORMATEX* held = GetPWaveFormat();
    silenceByte_ =
        (held != nullptr && held->wFormatTag == WAVE_FORMAT_PCM && held->wBitsPerSample == 8) ? 128
                                                                                              : 0;
}

bool TMMCustomWaveFile::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* text = std::get_if<std::string>(&value);
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (name == "Wave.FileName" && text != nullptr) {
        wave_->SetFileName(*text);
        return true;
    }
    if (name == "Wave.FileMustExist" && flag != nullptr) {
        wave_->FileMustExist = *flag;
        return true;
    }
    if (name == "Wave.TimeFormat" && number != nullptr) {
        wave_->SetTimeFormat(static_cast<TMMTimeFormats>(std::clamp<int64_t>(*number, 0, 2)));
        return true;
    }
    if (name == "Wave.IOBufferSize" && number != nullptr) {
        wave_->SetIOBufferSize(static_cast<int32_t>(*number));
        return true;
    }
    if (name == "OverwriteExisting" && flag != nullptr) {
        OverwriteExisting = *flag;
        return true;
    }
    return TMMCustomFile::SetPublishedValue(name, value);
}

void TMMCustomWaveFile::Open() {
    if (Recording()) {
        const bool wasOpen = Opened();
        TMMCustomFile::Open();
        if (!wasOpen)
            OpenRecording();
        return;
    }
    TMMCustomFile::Open();
    if (!fileOpen_ && wave_->DataSize() != 0) {
        wave_->OpenFile();
        startPosition_ = wave_->GetPosition();
        fileOpen_ = true;
    }
    if (fileOpen_ && OnOpen)
        DSPSynchronize([this] { OnOpen(this); });
}

void TMMCustomWaveFile::Start() {
    TMMCustomFile::Start();
    if (!readerStarted_.load() && fileOpen_) {
        readerStarted_.store(true);
        wave_->SetPosition(startPosition_);
    }
}

void TMMCustomWaveFile::Stop() {
    if (fileOpen_ && readerStarted_.load())
        readerStarted_.store(false);
    TMMCustomFile::Stop();
}

void TMMCustomWaveFile::Reset() {
    TMMCustomFile::Reset();
}

void TMMCustomWaveFile::Close() {
    if (recordBlock_ != nullptr)
        CloseRecording();
    if (fileOpen_) {
        Stop();
        wave_->CloseFile();
        fileOpen_ = false;
        if (OnClose)
            DSPSynchronize([this] { OnClose(this); });
    }
    TMMCustomFile::Close();
}

void TMMCustomWaveFile::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (Recording()) {
        TMMCustomFile::BufferLoad(lpWaveHdr, MoreBuffers);
        AppendRecorded(lpWaveHdr);
        return;
    }
    if (wave_->DataSize() == 0) {
        lpWaveHdr->dwBytesRecorded = 0;
        return;
    }
    if (!readerStarted_.load() || !GetEnabled()) {
        // A silent reader never ends the stream.
        std::memset(lpWaveHdr->lpData, silenceByte_, lpWaveHdr->dwBufferLength);
        lpWaveHdr->dwBytesRecorded = lpWaveHdr->dwBufferLength;
        MoreBuffers = true;
        return;
    }
    const int32_t got =
        wave_->ReadData(lpWaveHdr->lpData, static_cast<int32_t>(lpWaveHdr->dwBufferLength));
    lpWaveHdr->dwBytesRecorded = static_cast<uint32_t>(std::max(got, 0));
    if (lpWaveHdr->dwBytesRecorded == 0)
        return;
    if (wave_->BytesLeft() > 0) {
        MoreBuffers = true;
        return;
    }
    if (lpWaveHdr->dwLooping == 0)
        return;
    if (lpWaveHdr->dwLoopCount > 0)
        --lpWaveHdr->dwLoopsLeft;
    if (lpWaveHdr->dwLoopCount == 0 || lpWaveHdr->dwLoopsLeft >= 0) {
        wave_->SetPosition(0);
        if (OnLooping)
            OnLooping(this);
        MoreBuffers = true;
        lpWaveHdr->dwLoopWrapped = MMChainTrue;
    }
}

void TMMCustomWaveFile::BufferReady(PMMChainHdr lpWaveHdr) {
    if (Recording())
        AppendRecorded(lpWaveHdr);
    TMMCustomFile::BufferReady(lpWaveHdr);
}

// ---- recording ------------------------------------------------------------------------------

void TMMCustomWaveFile::OpenRecording() {
    const WAVEFORMATEX* format = GetInput()->GetPWaveFormat();
    const std::string name = wave_->FileName();
    if (format == nullptr || name.empty())
        return;
    SetPWaveFormat(format);
    PWaveIOCB block = nullptr;
    int result = WIOERR_ERROR;
    if (OverwriteExisting || wave_->DataSize() == 0) {
        result = WaveIOFromFormat(block, format);
        if (result == WIOERR_NOERROR)
            result = WaveIOCreate(block, name);
    } else {
        result = WaveIOAppend(block, name);
    }
    if (result != WIOERR_NOERROR) {
        if (block != nullptr)
            WaveIOFree(block);
        throw EMMWaveError(LoadResStr(SUnableToOpenWaveFile));
    }
    recordBlock_ = block;
}

void TMMCustomWaveFile::AppendRecorded(PMMChainHdr lpWaveHdr) {
    if (recordBlock_ == nullptr || lpWaveHdr->dwBytesRecorded == 0)
        return;
    const int32_t count = static_cast<int32_t>(lpWaveHdr->dwBytesRecorded);
    // Recording stops before the disk is full, leaving room to complete the file.
    struct statvfs disk {};
    const std::string folder = std::filesystem::path(wave_->FileName()).parent_path().string();
    const bool lowSpace =
        statvfs(folder.c_str(), &disk) == 0 &&
        static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize <
            static_cast<uint64_t>(wave_->IOBufferSize()) + static_cast<uint64_t>(count) + 10240;
    if (lowSpace || WaveIOWrite(recordBlock_, lpWaveHdr->lpData, count) != count)
        CloseRecording();
}

void TMMCustomWaveFile::CloseRecording() {
    PWaveIOCB block = recordBlock_;
    recordBlock_ = nullptr;
    WaveIOFinish(block);
    WaveIOFree(block);
    // The finished file replaces what the wave object held. The recording is complete on disk
    // either way, so a reload that fails leaves the wave as it was.
    try {
        wave_->SetFileName(wave_->FileName());
    } catch (const EMMWaveError&) {
    }
}

TMMWaveFile::TMMWaveFile(TMMComponentOwner* owner) : TMMCustomWaveFile(owner) {
    SetPublishedLinks(plInput | plOutput);
}

void RegisterWaveFileClass() {
    RegisterComponentClass("TMMWaveFile", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMWaveFile(owner);
    });
}
