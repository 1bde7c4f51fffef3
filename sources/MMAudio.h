// The reader base class (a chain source that reads one kind of audio file), the list of reader
// classes, and the audio file source: the component of a slot that loads any supported file
// with the first reader class that accepts it, converts it to PCM, applies its volume and
// panning as an envelope and ends its stream cleanly.
//
// Threading: loading and the property setters run on the main thread while the output is
// closed; BufferLoad runs on the pulling thread (the output's service thread). The audio file
// source serialises its pulls against envelope rebuilds and seeks with its own lock.
#pragma once

#include "chain/MMDSPObj.h"
#include "platform/Threads.h"
#include "sources/MMFade.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

enum TMMAudioFileType { ftNone, ftWave, ftMpeg, ftWMA, ftVorbis, ftCDA };

struct TMMAudioFileInfo {
    int32_t Length = 0; // milliseconds
    std::string FileName;
};

// Decryption hooks handed to the MPEG reader; this program never sets them.
using TMMDecryptCallback = void (*)(void* data, void* buffer, int32_t size);

class TMMCustomFile : public TMMDSPComponent {
public:
    explicit TMMCustomFile(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMCustomFile"; }

    // Class operations (static in each reader; the base answers as a reader of nothing).
    static TMMAudioFileType GetFileType() { return ftNone; }
    static bool CanLoadFile(const std::string&, TMMDecryptCallback, int, void*) { return false; }
    static int GetFileInfo(const std::string&, TMMAudioFileInfo&) { return 0; }
    static std::string GetFileFilter() { return {}; }
    static std::string GetFileMask() { return {}; }

    // The type of the loaded reader class, through an instance.
    virtual TMMAudioFileType FileType() const = 0;

    virtual int32_t GetBlockAlign() const = 0;
    virtual void SetTrailingHeader(int32_t value) = 0;
    virtual int32_t GetTrailingHeader() const = 0;
    virtual bool IsEmpty() const = 0;
    virtual int32_t GetTime() const = 0; // length in milliseconds
    virtual std::string GetFileName() const = 0;
    virtual void SetFileName(const std::string& name) = 0;
    virtual bool GetEnabled() const { return enabled_.load(std::memory_order_acquire); }
    virtual void SetEnabled(bool value) { enabled_.store(value, std::memory_order_release); }
    virtual int32_t GetPosition() const = 0;
    virtual void SetPosition(int32_t value) = 0;
    virtual int32_t GetTimePosition() const = 0;
    virtual void SetTimePosition(int32_t ms) = 0;
    virtual int32_t GetSampleRate() const;
    virtual int32_t GetChannels() const;
    virtual int32_t GetBitRate() const { return 0; }
    virtual void AbortRead() {}

    // "FileName" and "Enabled", which every reader publishes.
    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    TNotifyEvent OnChange;
    TNotifyEvent OnChanged;

protected:
    // Change handling: OnChange, then OnChanged.
    void DoFileChange();

private:
    // Read by pulls on the service thread, written by the main thread.
    std::atomic<bool> enabled_{true};
};

// (Sender, var Handled): an exception while pulling; Handled drops it.
using TMMErrorEvent = std::function<void(TObject* sender, bool& Handled)>;

// A reader class: its class operations and how to make one.
struct TMMAudioFileClass {
    std::string name;
    TMMAudioFileType (*GetFileType)();
    bool (*CanLoadFile)(const std::string& name, TMMDecryptCallback code, int mode, void* data);
    std::string (*GetFileFilter)();
    std::string (*GetFileMask)();
    TMMCustomFile* (*Create)(TMMComponentOwner* owner);
};

// Adds a class unless one of that name is listed: before the first entry whose priority is
// not negative and greater than the new one.
void RegisterAudioFileClass(const TMMAudioFileClass& fileClass, int priority);
// The wave reader (priority 5) and the MPEG reader (1): MPEG files are probed first.
void RegisterStandardAudioFileClasses();
// The classes in probing order.
std::vector<TMMAudioFileClass> AudioFileClasses();

class TMMADPCMConverter;
class TMMPCMConverter;

class TMMCustomAudioFile : public TMMDSPComponent {
public:
    explicit TMMCustomAudioFile(TMMComponentOwner* owner);
    ~TMMCustomAudioFile() override;
    const char* ClassName() const override { return "TMMCustomAudioFile"; }

    // Loads a file: the first reader class that accepts it reads it; an empty name unloads; a
    // name that does not exist unloads without error; a file nobody reads raises
    // EMMAudioError "This is not a valid Audiofile".
    virtual void SetFileName(const std::string& name);
    virtual std::string GetFileName() const;
    virtual std::string GetFileFilter() const;
    virtual TMMAudioFileType GetFileType() const;
    virtual bool IsEmpty() const;
    virtual int32_t GetBlockAlign() const;
    virtual void ResetPlayRange();
    bool Enabled() const { return enabled_.load(); }
    virtual void SetEnabled(bool value);
    // Milliseconds: of the data handed downstream while started, else the reader's.
    virtual void SetPosition(int32_t ms);
    virtual int32_t GetPosition() const;
    virtual void SetFades(int32_t fadeIn, int32_t fadeOut);
    virtual void UpdateEnvelope();
    virtual void AbortRead();
    virtual void FreeReader();
    virtual void FadeOutAndStop(int32_t ms);

    int32_t Volume() const { return volume_; }
    void SetVolume(int32_t value); // 0..32768, 16384 = unity
    int32_t Panning() const { return panning_; }
    void SetPanning(int32_t value); // -32768..32768; positive attenuates the left
    int32_t MpegTrailingHeader() const;
    void SetMpegTrailingHeader(int32_t value);
    int32_t Duration() const { return duration_.load(); } // milliseconds, 0 without file

    TMMCustomFile* Reader() const { return reader_.get(); }

    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Reset() override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;

    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    TNotifyEvent OnFileLoading;
    TNotifyEvent OnFileLoaded;
    TNotifyEvent OnChange;
    TMMErrorEvent OnError;

protected:
    void Destroying() override;

private:
    void LoadWith(const TMMAudioFileClass& fileClass, const std::string& name);
    void ReaderChanged();
    void Pull(PMMChainHdr lpWaveHdr, bool& MoreBuffers);
    // The counters of a fresh run from the reader's position (Start, Reset).
    void BeginRun();
    void RestoreFade();
    int64_t TimeToBytes64(int64_t ms) const;

    TComponentPtr<TMMCustomFile> reader_;
    TComponentPtr<TMMADPCMConverter> adpcm_;
    TComponentPtr<TMMPCMConverter> pcm_;
    TMMFadeList envelope_;
    // Held by pulls, envelope rebuilds and seeks; re-entered by a looping pull's seek.
    mutable TMMCriticalSection lock_;

    std::atomic<bool> enabled_{true};
    int32_t volume_ = UnityGain;
    int32_t panning_ = 0;
    // Read by GetPosition on the main thread while the service thread pulls.
    std::atomic<int64_t> playStart_{0};      // ms
    std::atomic<int64_t> bytesDelivered_{0}; // bytes of this component's format
    int64_t bytesToPlay_ = 0;
    std::atomic<int32_t> duration_{0}; // ms
    int32_t rangeEnd_ = 0;             // ms; equal to Duration
    int32_t fadeInTime_ = 0, fadeOutTime_ = 0, fadeOutStart_ = 0;
    int32_t savedFadeOutStart_ = 0, savedFadeOutTime_ = 0;
    bool endReached_ = false, tailSent_ = false, stopFade_ = false, earlyEnd_ = false;
    bool useEnvelope_ = true;
    std::atomic<bool> opened_{false}, started_{false};
    // Where a run ended: the position reads this until a seek, a start or a load, so that a
    // slot whose file has played out shows its end rather than its start.
    std::atomic<bool> holdPosition_{false};
    std::atomic<int32_t> heldPosition_{0};
};

class TMMAudioFile : public TMMCustomAudioFile {
public:
    explicit TMMAudioFile(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMAudioFile"; }
};

// Makes "TMMAudioFile" known to descriptions of components.
void RegisterAudioFileComponentClass();
