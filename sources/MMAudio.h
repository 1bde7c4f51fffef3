// The reader base class: a chain source that reads one kind of audio file.
//
// Threading: loading and the position setters run on the main thread while the output is
// closed; BufferLoad runs on the pulling thread. The owner serialises the two.
#pragma once

#include "chain/MMDSPObj.h"

#include <string>

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

    TNotifyEvent OnChange;
    TNotifyEvent OnChanged;

protected:
    // Change handling: OnChange, then OnChanged.
    void DoFileChange();

private:
    // Read by pulls on the service thread, written by the main thread.
    std::atomic<bool> enabled_{true};
};
