#include "sources/MMMPEG.h"

#include "chain/MMMsgs.h"
#include "platform/MainThread.h"
#include "sources/MMWaveIO.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace {

constexpr int32_t MinimumDecoderVersion = 25;

// What the user is told when the decoder cannot be used.
constexpr const char* ErrorCaption = "Error";
constexpr const char* InvalidVersionText = "Invalid Mpeg Decoder DLL version";
std::string UnableToLoadText() {
    return LoadResStr(SUnableToLoad) + " MMMPEG32.DLL";
}

std::mutex libraryMutex;
TMpegLibraryChecks libraryChecks;
bool libraryLoaded = false;

std::string ErrorText(int code) {
    std::string text;
    if (mpeg_GetErrorText(code, text) != 0)
        text.clear();
    return text;
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

// Names the decoder may be given: an existing file, or one of the addresses it resolves itself.
bool ProbeMpegFile(const std::string& name) {
    if (!LoadMpegLibrary() || name.empty())
        return false;
    std::error_code error;
    if (std::filesystem::is_regular_file(name, error))
        return true;
    const std::string upper = UpperCase(name);
    return upper.find("RESOURCE://") != std::string::npos ||
           upper.find("POINTER://") != std::string::npos;
}

// A decoder of its own for the class operations, released on every path.
struct ProbeDecoder {
    TMpegHandle handle = nullptr;
    ProbeDecoder() {
        int32_t code = 0;
        handle = mpeg_Init(code, nullptr, nullptr);
    }
    ~ProbeDecoder() {
        if (handle != nullptr)
            mpeg_Done(handle);
    }
    ProbeDecoder(const ProbeDecoder&) = delete;
    ProbeDecoder& operator=(const ProbeDecoder&) = delete;
};

} // namespace

bool LoadMpegLibrary() {
    TMpegLibraryChecks checks;
    {
        std::lock_guard lock(libraryMutex);
        if (libraryLoaded)
            return true;
        checks = libraryChecks;
    }
    // The dialogs are shown without the lock: a dialog may run events that come back here.
    const bool loaded = checks.load != nullptr ? checks.load() : mpeg_LoadLibrary();
    if (!loaded) {
        platform::ShowMessageBox(UnableToLoadText(), ErrorCaption);
        return false;
    }
    const int32_t version = checks.version != nullptr ? checks.version() : mpeg_Version();
    if (version < MinimumDecoderVersion) {
        platform::ShowMessageBox(InvalidVersionText, ErrorCaption);
        return false;
    }
    std::lock_guard lock(libraryMutex);
    libraryLoaded = true;
    return true;
}

void SetMpegLibraryChecks(const TMpegLibraryChecks& checks) {
    std::lock_guard lock(libraryMutex);
    libraryChecks = checks;
    libraryLoaded = false;
}

// ---- TMMMpeg --------------------------------------------------------------------------------

TMMMpeg::TMMMpeg() {
    if (!LoadMpegLibrary())
        throw EMMMpegError(UnableToLoadText());
    int32_t code = 0;
    handle_ = mpeg_Init(code, &TMMMpeg::MpegNotify, this);
    if (handle_ == nullptr)
        throw EMMMpegError(ErrorText(code));
}

TMMMpeg::~TMMMpeg() {
    if (handle_ != nullptr)
        mpeg_Done(handle_); // closes the file
}

void TMMMpeg::MpegNotify(int32_t, void* userData) {
    if (userData != nullptr)
        static_cast<TMMMpeg*>(userData)->Changed();
}

void TMMMpeg::Check(int result) const {
    if (result != 0)
        throw EMMMpegError(ErrorText(result));
}

void TMMMpeg::Changed() {
    if (mpeg_GetEmpty(handle_) == 0)
        Check(mpeg_GetFileInfo(handle_, info_));
    else
        info_ = TMpegFileInfo{};
    UpdatePCMFormat();
    DoChange();
}

void TMMMpeg::UpdatePCMFormat() {
    hasFormat_ = !IsEmpty() && info_.SampleRate > 0;
    if (!hasFormat_) {
        pcmFormat_ = WAVEFORMATEX{};
        return;
    }
    const bool mono = info_.Mode == smSingleChannel || ChannelMode() != cmBoth;
    pcmFormat_.wFormatTag = WAVE_FORMAT_PCM;
    pcmFormat_.nChannels = mono ? 1 : 2;
    pcmFormat_.nSamplesPerSec = static_cast<uint32_t>(info_.SampleRate);
    pcmFormat_.wBitsPerSample = 16;
    pcmFormat_.nBlockAlign = static_cast<uint16_t>(pcmFormat_.nChannels * 2);
    pcmFormat_.nAvgBytesPerSec = pcmFormat_.nSamplesPerSec * pcmFormat_.nBlockAlign;
    pcmFormat_.cbSize = 0;
}

void TMMMpeg::SetFileName(const std::string& name) {
    CloseFile();
    Check(mpeg_SetFileName(handle_, name));
}

std::string TMMMpeg::GetFileName() const {
    std::string name;
    if (mpeg_GetFileName(handle_, name) != 0)
        name.clear();
    return name;
}

bool TMMMpeg::IsEmpty() const {
    return mpeg_GetEmpty(handle_) != 0;
}

void TMMMpeg::OpenFile() {
    if (IsEmpty() || fileOpen_)
        return;
    // The seek scratch block is made here, not on the pulling thread.
    seekScratch_.assign(static_cast<std::size_t>(std::max(GetFrameBytes(), 4)), 0);
    Check(mpeg_OpenFile(handle_));
    fileOpen_ = true;
}

void TMMMpeg::CloseFile() {
    if (!fileOpen_)
        return;
    fileOpen_ = false;
    Check(mpeg_CloseFile(handle_));
}

void TMMMpeg::ResetFile() {
    if (fileOpen_)
        Check(mpeg_ResetFile(handle_));
}

int32_t TMMMpeg::ReadData(void* buffer, int32_t count) {
    if (!fileOpen_)
        return 0;
    const int32_t result = mpeg_ReadDataBytes(handle_, buffer, count);
    if (result < 0)
        Check(-result);
    return result;
}

bool TMMMpeg::IsDone() const {
    return mpeg_GetDone(handle_) != 0;
}

int32_t TMMMpeg::GetPosition() const {
    return mpeg_GetPosition(handle_);
}

void TMMMpeg::SetPosition(int32_t frame) {
    const int32_t start = std::max(fileOpen_ ? frame - 2 : frame, 0);
    const int result = mpeg_SetPosition(handle_, start);
    if (result != 0)
        throw EMMMpegError(ErrorText(result) + ": " + std::to_string(frame));
    if (!fileOpen_)
        return;
    const auto frameBytes = static_cast<int32_t>(seekScratch_.size());
    for (int i = 0; i < 10; ++i) {
        if (GetPosition() >= frame || IsDone())
            break;
        ReadData(seekScratch_.data(), frameBytes);
    }
}

void TMMMpeg::AbortRead() {
    if (fileOpen_)
        mpeg_AbortReadData(handle_);
}

void TMMMpeg::Clear() {
    fileOpen_ = false;
    mpeg_CloseFile(handle_);
    Check(mpeg_Clear(handle_));
}

void TMMMpeg::SetTrailingHeader(int32_t value) {
    if (value == trailingHeader_)
        return;
    trailingHeader_ = value;
    Check(mpeg_SetTrailingHeader(handle_, value));
}

void TMMMpeg::SetExactposition(bool value) {
    exactposition_ = value;
    Check(mpeg_SetExactPosition(handle_, value));
}

TChannelMode TMMMpeg::ChannelMode() const {
    return mpeg_GetChannelMode(handle_);
}

void TMMMpeg::SetChannelMode(TChannelMode value) {
    if (fileOpen_)
        throw EMMMpegError(LoadResStr(SChangeWhileOpen));
    Check(mpeg_SetChannelMode(handle_, value));
    UpdatePCMFormat();
}

void TMMMpeg::SetDecryptCallback(TMMDecryptCallback code, void* data) {
    Check(mpeg_SetDecryptCallback(handle_, code, data));
}

void TMMMpeg::SetDecryptMode(int32_t mode) {
    Check(mpeg_SetDecryptMode(handle_, mode));
}

void TMMMpeg::ScanFile(TMpegNotify progress, void* data, int32_t flags) {
    if (IsEmpty())
        return;
    Check(mpeg_ScanFile(handle_, progress, data, flags));
    Check(mpeg_GetFileInfo(handle_, info_));
}

void TMMMpeg::ScanFileEx(TMpegNotify progress, void* data) {
    if (IsEmpty())
        return;
    Check(mpeg_ScanFileEx(handle_, progress, data));
    Check(mpeg_GetFileInfo(handle_, info_));
}

void TMMMpeg::EncryptFile(const std::string& source, const std::string& target) {
    Check(mpeg_EncryptFile(handle_, source, target));
}

void TMMMpeg::ReadID3Tag(const std::string& name, TMpegID3Tag& tag) {
    Check(mpeg_ReadID3Tag(handle_, name, tag));
}

TMpegVersion TMMMpeg::Version() const {
    return IsEmpty() ? v1 : info_.Version;
}
int32_t TMMMpeg::Layer() const {
    return IsEmpty() ? 0 : info_.Layer;
}
TSampleMode TMMMpeg::Mode() const {
    return IsEmpty() ? smStereo : info_.Mode;
}
int32_t TMMMpeg::BitRate() const {
    return IsEmpty() ? 0 : info_.BitRate;
}
int32_t TMMMpeg::SampleRate() const {
    return IsEmpty() ? 0 : info_.SampleRate;
}
int32_t TMMMpeg::Frames() const {
    return IsEmpty() ? 0 : info_.Frames;
}
int32_t TMMMpeg::Time() const {
    return IsEmpty() ? 0 : info_.Length;
}

int32_t TMMMpeg::GetFrameBytes() const {
    if (!hasFormat_)
        return 0;
    const auto bytes = static_cast<int32_t>(
        std::lround(pcmFormat_.nAvgBytesPerSec * info_.MillisecondsPerFrame / 1000.0));
    return bytes - bytes % 4;
}

// ---- TMMMPEGFile ----------------------------------------------------------------------------

TMMMPEGFile::TMMMPEGFile(TMMComponentOwner* owner)
    : TMMCustomFile(owner), mpeg_(std::make_unique<TMMMpeg>()) {
    mpeg_->OnChange = [this](TObject*) { MpegChanged(); };
    SetPublishedLinks(plOutput);
}

TMMMPEGFile::~TMMMPEGFile() {
    mpeg_->OnChange = nullptr;
}

void TMMMPEGFile::Destroying() {
    Close();
    mpeg_->OnChange = nullptr;
    TMMCustomFile::Destroying();
}

bool TMMMPEGFile::CanLoadFile(const std::string& name, TMMDecryptCallback code, int mode,
                              void* data) {
    const std::string extension = UpperCase(ExtensionOf(name));
    if (!extension.empty() && UpperCase(GetFileMask()).find(extension) == std::string::npos)
        return false;
    if (!ProbeMpegFile(name))
        return false;
    PWaveIOCB block = nullptr;
    if (WaveIOOpen(block, name, mmioFOURCC('W', 'A', 'V', 'E'), RIFFWAVE_PLAIN) == WIOERR_NOERROR) {
        const uint16_t tag = block->Format()->wFormatTag;
        WaveIOFree(block);
        return tag == WAVE_FORMAT_MPEG || tag == WAVE_FORMAT_MPEGLAYER3;
    }
    ProbeDecoder probe;
    if (probe.handle == nullptr)
        return false;
    if (code != nullptr) {
        mpeg_SetDecryptCallback(probe.handle, code, data);
        mpeg_SetDecryptMode(probe.handle, mode);
    }
    // Only whether the stream starts as MPEG audio: the load that follows counts the frames.
    return mpeg_ProbeFile(probe.handle, name) == 0;
}

int TMMMPEGFile::GetFileInfo(const std::string& name, TMMAudioFileInfo& info) {
    if (!ProbeMpegFile(name))
        return 0;
    ProbeDecoder probe;
    TMpegFileInfo stream{};
    if (probe.handle == nullptr || mpeg_SetFileName(probe.handle, name) != 0 ||
        mpeg_GetFileInfo(probe.handle, stream) != 0)
        return 0;
    info.Length = stream.Length;
    info.FileName = std::filesystem::path(name).filename().string();
    return 1;
}

std::string TMMMPEGFile::GetFileFilter() {
    return "MPEG Files (*.mp?;*.atx)|*.mp2;*.mp3;*.atx|Antex Files (*.atx)|*.atx";
}

int32_t TMMMPEGFile::GetBlockAlign() const {
    return mpeg_->GetFrameBytes();
}

void TMMMPEGFile::SetTrailingHeader(int32_t value) {
    mpeg_->SetTrailingHeader(value);
}

int32_t TMMMPEGFile::GetTrailingHeader() const {
    return mpeg_->TrailingHeader();
}

bool TMMMPEGFile::IsEmpty() const {
    return mpeg_->IsEmpty();
}

int32_t TMMMPEGFile::GetTime() const {
    return mpeg_->Time();
}

std::string TMMMPEGFile::GetFileName() const {
    return mpeg_->GetFileName();
}

void TMMMPEGFile::SetFileName(const std::string& name) {
    mpeg_->SetFileName(name);
}

int32_t TMMMPEGFile::GetPosition() const {
    return mpeg_->GetPosition();
}

void TMMMPEGFile::SetPosition(int32_t value) {
    mpeg_->SetPosition(value);
}

int32_t TMMMPEGFile::GetTimePosition() const {
    return static_cast<int32_t>(std::lround(GetPosition() * mpeg_->Info().MillisecondsPerFrame));
}

void TMMMPEGFile::SetTimePosition(int32_t ms) {
    const double perFrame = mpeg_->Info().MillisecondsPerFrame;
    SetPosition(perFrame > 0 ? static_cast<int32_t>(std::lround(ms / perFrame)) : 0);
}

int32_t TMMMPEGFile::GetSampleRate() const {
    return mpeg_->SampleRate();
}

int32_t TMMMPEGFile::GetBitRate() const {
    return mpeg_->BitRate();
}

void TMMMPEGFile::AbortRead() {
    if (fileOpen_)
        mpeg_->AbortRead();
}

void TMMMPEGFile::SetDecryptCallback(TMMDecryptCallback code, void* data) {
    mpeg_->SetDecryptCallback(code, data);
}

void TMMMPEGFile::SetDecryptMode(int32_t mode) {
    mpeg_->SetDecryptMode(mode);
}

void TMMMPEGFile::ScanFile(TMpegNotify progress, void* data, int32_t flags) {
    mpeg_->ScanFile(progress, data, flags);
}

void TMMMPEGFile::ScanFileEx(TMpegNotify progress, void* data) {
    mpeg_->ScanFileEx(progress, data);
}

void TMMMPEGFile::EncryptFile(const std::string& source, const std::string& target) {
    mpeg_->EncryptFile(source, target);
}

void TMMMPEGFile::ReadID3Tag(const std::string& name, TMpegID3Tag& tag) {
    mpeg_->ReadID3Tag(name, tag);
}

void TMMMPEGFile::MpegChanged() {
    SetPWaveFormat(mpeg_->PCMFormat());
    DoFileChange();
}

bool TMMMPEGFile::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (name == "TrailingHeader" && number != nullptr) {
        SetTrailingHeader(static_cast<int32_t>(std::clamp<int64_t>(*number, 0, INT32_MAX)));
        return true;
    }
    if (name == "Exactposition" && flag != nullptr) {
        SetExactposition(*flag);
        return true;
    }
    if (name == "ChannelMode" && number != nullptr) {
        SetChannelMode(static_cast<TChannelMode>(std::clamp<int64_t>(*number, cmLeft, cmDownMix)));
        return true;
    }
    return TMMCustomFile::SetPublishedValue(name, value);
}

void TMMMPEGFile::Open() {
    TMMCustomFile::Open();
    if (!fileOpen_) {
        mpeg_->OpenFile();
        fileOpen_ = mpeg_->FileOpen();
        startPosition_ = mpeg_->GetPosition();
    }
}

void TMMMPEGFile::Start() {
    TMMCustomFile::Start();
    if (!readerStarted_.load() && fileOpen_) {
        readerStarted_.store(true);
        mpeg_->SetPosition(startPosition_);
    }
}

void TMMMPEGFile::Stop() {
    if (fileOpen_ && readerStarted_.load())
        readerStarted_.store(false);
    TMMCustomFile::Stop();
}

void TMMMPEGFile::Close() {
    if (fileOpen_) {
        Stop();
        mpeg_->CloseFile();
        fileOpen_ = false;
    }
    TMMCustomFile::Close();
}

void TMMMPEGFile::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    try {
        Pull(lpWaveHdr, MoreBuffers);
    } catch (...) {
        bool handled = false;
        if (OnError)
            OnError(this, handled);
        if (!handled)
            throw;
        // A handled failure leaves a short silent block behind.
        std::memset(lpWaveHdr->lpData, 0, std::min<uint32_t>(lpWaveHdr->dwBufferLength, 4));
        lpWaveHdr->dwBytesRecorded = 4;
    }
}

void TMMMPEGFile::Pull(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (mpeg_->IsEmpty()) {
        lpWaveHdr->dwBytesRecorded = 0;
        return;
    }
    if (!readerStarted_.load() || !GetEnabled()) {
        // A silent reader never ends the stream, and its position stays.
        std::memset(lpWaveHdr->lpData, 0, lpWaveHdr->dwBufferLength);
        lpWaveHdr->dwBytesRecorded = lpWaveHdr->dwBufferLength;
        MoreBuffers = true;
        return;
    }
    const int32_t got = fileOpen_ ? mpeg_->ReadData(lpWaveHdr->lpData,
                                                    static_cast<int32_t>(lpWaveHdr->dwBufferLength))
                                  : 0;
    lpWaveHdr->dwBytesRecorded = static_cast<uint32_t>(got);
    if (got == 0)
        return;
    if (!mpeg_->IsDone()) {
        MoreBuffers = true;
        return;
    }
    if (lpWaveHdr->dwLooping == 0)
        return;
    if (lpWaveHdr->dwLoopCount > 0)
        --lpWaveHdr->dwLoopsLeft;
    if (lpWaveHdr->dwLoopCount == 0 || lpWaveHdr->dwLoopsLeft >= 0) {
        mpeg_->ResetFile();
        MoreBuffers = true;
        lpWaveHdr->dwLoopWrapped = MMChainTrue;
    }
}

void RegisterMpegFileClass() {
    RegisterComponentClass("TMMMPEGFile", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMMPEGFile(owner);
    });
}
