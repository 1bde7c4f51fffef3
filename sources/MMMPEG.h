// The MPEG audio file reader (".mp2", ".mp3" and Antex ".atx" files, and RIFF WAVE files that
// hold MPEG audio). TMMMpeg owns one decoder of platform/MpegDecoder.h and keeps its stream
// information and PCM format; TMMMPEGFile is the chain source that owns one TMMMpeg and
// delivers 16-bit PCM blocks when pulled. Positions are MPEG frames.
//
// Threading: loading, properties and the class operations run on the main thread while the
// chain is closed; the chain's state operations on the main or the service thread; BufferLoad
// on the pulling thread, where it allocates nothing (the seek scratch block is made by Open).
// Neither class takes a lock: the owner of the reader serialises its calls. AbortRead may come
// from any thread.
#pragma once

#include "platform/MpegDecoder.h"
#include "sources/MMAudio.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// Whether the decoder can be used. Checked until the first success, which is kept; each failed
// check shows its error dialog (the decoder cannot be loaded, or its version is too old).
bool LoadMpegLibrary();

// The two checks LoadMpegLibrary makes: the decoder can be used, and its contract revision
// (at least 25). Empty fields take the decoder's own. Installing checks forgets an earlier
// success; tests use this to reach the failure paths.
struct TMpegLibraryChecks {
    bool (*load)() = nullptr;
    int32_t (*version)() = nullptr;
};
void SetMpegLibraryChecks(const TMpegLibraryChecks& checks);

// One decoder and what it reports. Every failing decoder call raises EMMMpegError with the
// decoder's text for its result.
class TMMMpeg : public TMMObject {
public:
    // Raises EMMMpegError when the decoder cannot be used or made.
    TMMMpeg();
    ~TMMMpeg() override;
    TMMMpeg(const TMMMpeg&) = delete;
    TMMMpeg& operator=(const TMMMpeg&) = delete;

    // Closes an open file and loads the named one (empty: none). The information and the PCM
    // format are current, and OnChange has run, when it returns.
    void SetFileName(const std::string& name);
    std::string GetFileName() const;
    bool IsEmpty() const;

    void OpenFile();
    void CloseFile();
    // Back to the first frame.
    void ResetFile();
    bool FileOpen() const { return fileOpen_; }
    // Bytes of PCM read into buffer (0 with the file closed or at the end).
    int32_t ReadData(void* buffer, int32_t count);
    // True once the last data has been read.
    bool IsDone() const;
    int32_t GetPosition() const; // frame
    // With the file open the decoder starts two frames early and decodes forward to the frame
    // (at most ten reads of a frame each), which is where the next read begins.
    void SetPosition(int32_t frame);
    void AbortRead();
    void Clear();

    int32_t TrailingHeader() const { return trailingHeader_; }
    void SetTrailingHeader(int32_t value);
    bool Exactposition() const { return exactposition_; }
    void SetExactposition(bool value);
    TChannelMode ChannelMode() const;
    // Not while the file is open.
    void SetChannelMode(TChannelMode value);
    void SetDecryptCallback(TMMDecryptCallback code, void* data);
    void SetDecryptMode(int32_t mode);
    void ScanFile(TMpegNotify progress, void* data, int32_t flags);
    void ScanFileEx(TMpegNotify progress, void* data);
    void EncryptFile(const std::string& source, const std::string& target);
    void ReadID3Tag(const std::string& name, TMpegID3Tag& tag);

    // The stream information; the published views answer 0 (Version v1) without a file.
    const TMpegFileInfo& Info() const { return info_; }
    TMpegVersion Version() const;
    int32_t Layer() const;
    TSampleMode Mode() const;
    int32_t BitRate() const; // kbit/s
    int32_t SampleRate() const;
    int32_t Frames() const;
    int32_t Time() const; // milliseconds
    // 16-bit PCM at the stream's rate; one channel for a single-channel stream or a channel
    // mode other than cmBoth. nullptr without a file.
    const WAVEFORMATEX* PCMFormat() const { return hasFormat_ ? &pcmFormat_ : nullptr; }
    // The PCM bytes of one frame, rounded down to a multiple of 4; 0 without a file.
    int32_t GetFrameBytes() const;

    // Takes the decoder's information again and raises OnChange; the decoder calls it
    // whenever what it reports has changed.
    using TMMObject::Changed;
    void Changed();

private:
    static void MpegNotify(int32_t value, void* userData);
    void UpdatePCMFormat();
    void Check(int result) const;

    TMpegHandle handle_ = nullptr;
    int32_t trailingHeader_ = 0;
    bool exactposition_ = false;
    bool fileOpen_ = false;
    TMpegFileInfo info_{};
    WAVEFORMATEX pcmFormat_{};
    bool hasFormat_ = false;
    std::vector<char> seekScratch_; // one frame of PCM, made by OpenFile
};

class TMMMPEGFile : public TMMCustomFile {
public:
    // Raises EMMMpegError when the decoder cannot be used.
    explicit TMMMPEGFile(TMMComponentOwner* owner);
    ~TMMMPEGFile() override;
    const char* ClassName() const override { return "TMMMPEGFile"; }

    static TMMAudioFileType GetFileType() { return ftMpeg; }
    // The extension must be one of the mask's (a name without one is judged by content); a
    // RIFF WAVE file must hold MPEG audio (format tag 0x50 or 0x55); any other file must be
    // accepted by the decoder.
    static bool CanLoadFile(const std::string& name, TMMDecryptCallback code = nullptr,
                            int mode = 0, void* data = nullptr);
    // 1 with the length and the file's name filled, 0 when the file is not MPEG audio.
    static int GetFileInfo(const std::string& name, TMMAudioFileInfo& info);
    static std::string GetFileFilter();
    static std::string GetFileMask() { return "*.mp2;*.mp3;*.atx"; }
    TMMAudioFileType FileType() const override { return ftMpeg; }

    TMMMpeg& Mpeg() { return *mpeg_; }
    const TMMMpeg& Mpeg() const { return *mpeg_; }

    int32_t GetBlockAlign() const override;
    void SetTrailingHeader(int32_t value) override;
    int32_t GetTrailingHeader() const override;
    bool IsEmpty() const override;
    int32_t GetTime() const override;
    std::string GetFileName() const override;
    void SetFileName(const std::string& name) override;
    int32_t GetPosition() const override; // frame
    void SetPosition(int32_t value) override;
    int32_t GetTimePosition() const override;
    void SetTimePosition(int32_t ms) override;
    int32_t GetSampleRate() const override;
    int32_t GetBitRate() const override;
    void AbortRead() override;
    void SetDecryptCallback(TMMDecryptCallback code, void* data);
    void SetDecryptMode(int32_t mode);
    void ScanFile(TMpegNotify progress, void* data, int32_t flags);
    void ScanFileEx(TMpegNotify progress, void* data);
    void EncryptFile(const std::string& source, const std::string& target);
    void ReadID3Tag(const std::string& name, TMpegID3Tag& tag);

    // Published properties.
    bool Exactposition() const { return mpeg_->Exactposition(); }
    void SetExactposition(bool value) { mpeg_->SetExactposition(value); }
    TChannelMode ChannelMode() const { return mpeg_->ChannelMode(); }
    void SetChannelMode(TChannelMode value) { mpeg_->SetChannelMode(value); }
    TMpegVersion Version() const { return mpeg_->Version(); }
    int32_t Layer() const { return mpeg_->Layer(); }
    TSampleMode Mode() const { return mpeg_->Mode(); }
    int32_t SampleRate() const { return mpeg_->SampleRate(); }
    int32_t PlayBackRate() const { return mpeg_->SampleRate(); }
    int32_t Channels() const { return GetChannels(); }
    int32_t Frames() const { return mpeg_->Frames(); }
    int32_t Time() const { return mpeg_->Time(); }

    bool FileOpen() const { return fileOpen_; }

    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    TMMErrorEvent OnError;

protected:
    void Destroying() override;

private:
    void MpegChanged();
    void Pull(PMMChainHdr lpWaveHdr, bool& MoreBuffers);

    std::unique_ptr<TMMMpeg> mpeg_;
    bool fileOpen_ = false;
    // Written by the state operations, read by pulls on the service thread.
    std::atomic<bool> readerStarted_{false};
    int32_t startPosition_ = 0; // frame taken at Open
};

// Makes "TMMMPEGFile" known to descriptions of components.
void RegisterMpegFileClass();
