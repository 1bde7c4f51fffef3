// The wave data object (a wave file, its format, a play range cut into segments, a position)
// and the wave file reader: a chain source that delivers the file's blocks when pulled, or, with
// an Input, records what passes through it into a new wave file.
//
// Threading: loading and property changes on the main thread while the chain is closed; the
// chain's state operations on the main or the service thread; BufferLoad on the pulling thread.
// Neither class takes a lock: the owner of the reader serialises its pulls.
#pragma once

#include "sources/MMAudio.h"
#include "sources/MMCutLst.h"
#include "sources/MMWaveIO.h"

#include <atomic>
#include <string>

enum TMMTimeFormats { tfMillisecond, tfByte, tfSample };
enum TMMMode { mMono, mStereo, mMultiChannel };

class TMMWave : public TMMObject {
public:
    TMMWave();
    ~TMMWave() override;
    TMMWave(const TMMWave&) = delete;
    TMMWave& operator=(const TMMWave&) = delete;

    // Copies the other wave's settings (file, time format, buffer size) with one change event.
    void Assign(const TMMWave& other);

    // Loads and parses a wave file (see the rules in MMWave.cpp); an empty name clears.
    void SetFileName(const std::string& name);
    const std::string& FileName() const { return fileName_; }
    bool FileMustExist = true;
    TMMTimeFormats TimeFormat() const { return timeFormat_; }
    void SetTimeFormat(TMMTimeFormats value);
    int32_t IOBufferSize() const { return ioBufferSize_; }
    void SetIOBufferSize(int32_t value);

    uint16_t BitLength() const;
    TMMMode Mode() const;
    uint16_t FormatTag() const;
    std::string FormatString() const;
    int32_t SampleRate() const;
    int32_t FileSize() const;
    int32_t DataSize() const; // the sample count in TimeFormat units

    WAVEFORMATEX* GetPWaveFormat() const;
    bool HasBlock() const { return block_ != nullptr; }
    PWaveIOCB Block() const { return block_; }

    void OpenFile();
    void CloseFile();
    bool IsOpen() const { return opened_; }
    void SetPosition(int32_t position); // TimeFormat units
    int32_t GetPosition() const;        // TimeFormat units; -1 without a file
    // Reads up to count play bytes; -1 when nothing is left; 4 zero bytes when the file gave
    // nothing although bytes were left (it shrank).
    int32_t ReadData(void* buffer, int32_t count);
    int32_t ReadBytes(void* buffer, int32_t count);
    int32_t BytesLeft() const { return bytesLeft_; }

    int32_t SamplesToBytes(int32_t samples) const;
    int32_t BytesToSamples(int32_t bytes) const;
    int32_t SamplesToTimeFormat(int32_t samples) const;
    int32_t TimeFormatToSamples(int32_t value) const;

    void BuildSegments();
    const TMMCutList& Segments() const { return segments_; }
    void Clear();

    using TMMObject::Changed;
    // The own change event, then every observer; deferred while an assignment runs.
    void Changed();

    TMMObservable& Observable() { return observable_; }

private:
    void FreeState();

    std::string fileName_;
    TMMTimeFormats timeFormat_ = tfSample;
    int32_t ioBufferSize_ = 32768;
    PWaveIOCB block_ = nullptr;
    int32_t playRangeStart_ = 0;
    int32_t playRangeEnd_ = 0;
    int32_t position_ = 0; // samples
    int32_t bytesLeft_ = 0;
    int32_t totalPlayBytes_ = 0;
    TMMCutList segments_;
    int32_t currentSegment_ = 0;
    int32_t segmentBytesLeft_ = 0;
    bool opened_ = false;
    int assigning_ = 0;
    bool changedWhileAssigning_ = false;
    TMMObservable observable_;
};

class TMMCustomWaveFile : public TMMCustomFile {
public:
    explicit TMMCustomWaveFile(TMMComponentOwner* owner);
    ~TMMCustomWaveFile() override;
    const char* ClassName() const override { return "TMMCustomWaveFile"; }

    static TMMAudioFileType GetFileType() { return ftWave; }
    static bool CanLoadFile(const std::string& name, TMMDecryptCallback = nullptr, int = 0,
                            void* = nullptr);
    static int GetFileInfo(const std::string& name, TMMAudioFileInfo& info);
    static std::string GetFileFilter();
    static std::string GetFileMask() { return "*.wav"; }
    TMMAudioFileType FileType() const override { return ftWave; }

    TMMWave& Wave() { return *wave_; }
    const TMMWave& Wave() const { return *wave_; }
    void SetWave(const TMMWave& other) { wave_->Assign(other); }

    int32_t GetBlockAlign() const override;
    void SetTrailingHeader(int32_t) override {}
    int32_t GetTrailingHeader() const override { return 0; }
    bool IsEmpty() const override;
    int32_t GetTime() const override;
    std::string GetFileName() const override { return wave_->FileName(); }
    void SetFileName(const std::string& name) override { wave_->SetFileName(name); }
    int32_t GetPosition() const override { return wave_->GetPosition(); }
    void SetPosition(int32_t value) override { wave_->SetPosition(value); }
    int32_t GetTimePosition() const override;
    void SetTimePosition(int32_t ms) override;

    uint8_t SilenceByte() const { return silenceByte_; }
    bool FileOpen() const { return fileOpen_; }
    bool OverwriteExisting = true;

    void SetPWaveFormat(const WAVEFORMATEX* format) override;
    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Reset() override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;
    void BufferReady(PMMChainHdr lpWaveHdr) override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TNotifyEvent OnLooping;

protected:
    void Destroying() override;

private:
    void WaveChanged();
    bool Recording() const { return GetInput() != nullptr; }
    void OpenRecording();
    void AppendRecorded(PMMChainHdr lpWaveHdr);
    void CloseRecording();

    TMMWave* wave_;
    TMMObserver observer_;
    int32_t startPosition_ = 0;
    uint8_t silenceByte_ = 0;
    bool fileOpen_ = false;
    // Written by state operations, read by pulls on the service thread.
    std::atomic<bool> readerStarted_{false};
    PWaveIOCB recordBlock_ = nullptr;
};

class TMMWaveFile : public TMMCustomWaveFile {
public:
    explicit TMMWaveFile(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMWaveFile"; }
};

// Makes "TMMWaveFile" known to descriptions of components.
void RegisterWaveFileClass();
