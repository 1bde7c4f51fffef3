// Chain links: the link model (Input/Output by published property name, loop checks, format
// propagation), the state operations, the pull (BufferLoad) and push (BufferReady) protocol, the
// device walks of a sound component, and device threads that raise events on the main thread.
//
// Threading: linking, format changes and state operations run on the main thread, or on a
// device's service thread where the device says so. Pulls and pushes run on the thread that
// serves the device. The framework takes no lock; the state flags are atomic so that a pull may
// read them while the main thread is between walks.
#pragma once

#include "chain/MMObj.h"
#include "platform/MMSystem.h"
#include "platform/Threads.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class TMMDSPComponent;

// The chain buffer record: the platform's buffer header and six fields of the chain.
struct TMMChainHdr : WAVEHDR {
    uint32_t dwLoadedBytes; // bytes the device loaded into this buffer
    TMMChainHdr* lpPlaying; // the record the device began to play when this one finished
    uint32_t dwLooping;     // all bits set: looping requested for this pull
    int32_t dwLoopCount;    // loop passes requested; 0 = endless
    int32_t dwLoopsLeft;    // loop passes left, counted down by the source
    uint32_t dwLoopWrapped; // all bits: the source rewound during this pull
};
using PMMChainHdr = TMMChainHdr*;

constexpr uint32_t MMChainTrue = 0xFFFFFFFFu;

using TMMBufferEvent = std::function<void(TObject* sender, PMMChainHdr lpWaveHdr)>;
using TMMBufferLoadEvent =
    std::function<void(TObject* sender, PMMChainHdr lpWaveHdr, bool& MoreBuffers)>;

// Which of the link properties a class publishes.
enum TPublishedLinks : unsigned { plNone = 0, plInput = 1, plOutput = 2 };

class TMMNonVisualComponent : public TMMComponent {
public:
    using TMMComponent::TMMComponent;
};

class TMMCustomDSPComponent : public TMMNonVisualComponent {
public:
    using TMMNonVisualComponent::TMMNonVisualComponent;
};

class TMMDSPComponent : public TMMCustomDSPComponent {
public:
    explicit TMMDSPComponent(TMMComponentOwner* owner);
    ~TMMDSPComponent() override;
    const char* ClassName() const override { return "TMMDSPComponent"; }

    // ---- links
    virtual void UpdateFormat();
    virtual void LinkNotify(TMMDSPComponent* Sender, bool IsInputSide, std::string_view PropName);
    virtual void SetInput(TMMDSPComponent* value);
    virtual TMMDSPComponent* GetInput() const;
    virtual void SetOutput(TMMDSPComponent* value);
    virtual TMMDSPComponent* GetOutput() const;
    virtual void SetInputLink(TMMDSPComponent* C, std::string_view PropName);
    virtual void SetOutputLink(TMMDSPComponent* C, std::string_view PropName);
    virtual bool CanConnectInput(TMMDSPComponent* C);
    virtual bool CanConnectOutput(TMMDSPComponent* C);
    TMMDSPComponent* Input() const { return input_; }
    TMMDSPComponent* Output() const { return output_; }
    const std::string& InputLinkName() const { return inputLinkName_; }
    const std::string& OutputLinkName() const { return outputLinkName_; }

    // Calls LinkNotify on every live link, over the members present when it starts.
    static void BroadcastLinkNotify(TMMDSPComponent* Sender, bool IsInputSide,
                                    std::string_view PropName);

    // Whether the class publishes a link property of that name (exact case), and what it holds.
    virtual bool HasPublishedLink(std::string_view name) const;
    virtual TMMDSPComponent* PublishedLinkValue(std::string_view name) const;
    bool SetPublishedLink(std::string_view name, TMMComponent* value) override;
    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;

    // ---- format
    virtual void SetPWaveFormat(const WAVEFORMATEX* format);
    virtual WAVEFORMATEX* GetPWaveFormat() const;
    virtual void ChangePWaveFormat(const WAVEFORMATEX* format);

    // ---- buffer size
    virtual int32_t GetBufferSize() const;
    virtual void SetBufferSize(int32_t value);
    int32_t BufferSize() const { return bufferSize_; }
    int32_t RealBufferSize() const { return realBufferSize_.load(std::memory_order_acquire); }

    // ---- state
    virtual void Open();
    virtual void Close();
    virtual void Start();
    virtual void Pause();
    virtual void Restart();
    virtual void Stop();
    virtual void Reset();
    virtual void Looped();
    bool Opened() const { return opened_.load(); }
    bool Started() const { return started_.load(); }
    bool Paused() const { return paused_.load(); }

    // ---- buffers
    virtual void BufferReady(PMMChainHdr lpWaveHdr);
    virtual void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers);

    void Loaded() override;
    void Notification(TMMComponent* component, TOperation operation) override;

    TMMBufferEvent OnBufferReady;
    TMMBufferLoadEvent OnBufferLoad;
    bool AllowInput = false;
    bool AllowOutput = false;

protected:
    void Destroying() override;
    void SetPublishedLinks(unsigned links) { publishedLinks_ = links; }
    // For overrides of Open and the like that keep their own flags in step.
    void SetOpenedFlag(bool value) { opened_.store(value); }
    void SetStartedFlag(bool value) { started_.store(value); }
    void SetPausedFlag(bool value) { paused_.store(value); }
    void SetRealBufferSize(int32_t value) {
        realBufferSize_.store(value, std::memory_order_release);
    }

private:
    TMMDSPComponent* input_ = nullptr;
    TMMDSPComponent* output_ = nullptr;
    WAVEFORMATEX* pWaveFormat_ = nullptr;
    int32_t bufferSize_ = 2048;
    // Fixed by Open on the main or service thread and read by pulls; release/acquire pairs the
    // value with the buffers sized from it.
    std::atomic<int32_t> realBufferSize_{2048};
    std::atomic<bool> opened_{false}, started_{false}, paused_{false};
    std::string inputLinkName_, outputLinkName_; // at most 20 characters
    unsigned publishedLinks_ = plNone;
};

// A device: drives the state of its section of the chain with the device walks.
class TMMCustomSoundComponent : public TMMDSPComponent {
public:
    explicit TMMCustomSoundComponent(TMMComponentOwner* owner);
    const char* ClassName() const override { return "TMMCustomSoundComponent"; }

    void Open() override;
    void Close() override;
    void Start() override;
    void Pause() override;
    void Restart() override;
    void Stop() override;
    void Reset() override;
    void Looped() override;

    bool UpstreamDevice() const { return upstreamDevice_; }

    virtual void SetNumBuffers(int32_t value) = 0;
    virtual int32_t GetNumBuffers() const = 0;
    virtual void SetDeviceID(int32_t value) = 0;
    virtual int32_t GetDeviceID() const = 0;
    virtual void SetProductName(const std::string& value) = 0;
    virtual std::string GetProductName() const = 0;
    virtual void SetCallBackMode(int value) = 0;
    virtual int GetCallBackMode() const = 0;

protected:
    // The inherited (single-link) operations, for the walks and for overrides.
    void BaseOpen() { TMMDSPComponent::Open(); }
    void BaseClose() { TMMDSPComponent::Close(); }
    void BaseStart() { TMMDSPComponent::Start(); }
    void BasePause() { TMMDSPComponent::Pause(); }
    void BaseRestart() { TMMDSPComponent::Restart(); }
    void BaseStop() { TMMDSPComponent::Stop(); }
    void BaseReset() { TMMDSPComponent::Reset(); }
    void BaseLooped() { TMMDSPComponent::Looped(); }

private:
    TMMDSPComponent* FindHead(bool& metDevice);
    using Operation = void (TMMDSPComponent::*)();
    // Start, Pause, Restart, Reset, Looped: head to device, the other device gets it too.
    void WalkSection(Operation operation, void (TMMCustomSoundComponent::*own)());
    // Close, Stop: the next device downstream first, then head to the other device (excluded).
    void WalkClosing(Operation operation, void (TMMCustomSoundComponent::*own)());

    bool upstreamDevice_ = false;
};

// A sound component without a device: it drives the state of the section upstream of it as an
// output device does, so that a chain can be pulled directly (the render tool, the tests).
class TMMSectionDriver : public TMMCustomSoundComponent {
public:
    explicit TMMSectionDriver(TMMComponentOwner* owner) : TMMCustomSoundComponent(owner) {
        SetPublishedLinks(plInput);
    }
    const char* ClassName() const override { return "TMMSectionDriver"; }
    void SetNumBuffers(int32_t) override {}
    int32_t GetNumBuffers() const override { return 0; }
    void SetDeviceID(int32_t) override {}
    int32_t GetDeviceID() const override { return 0; }
    void SetProductName(const std::string&) override {}
    std::string GetProductName() const override { return {}; }
    void SetCallBackMode(int) override {}
    int GetCallBackMode() const override { return 0; }
};

// The abstract device operations of a wave output component.
class TMMCustomWaveOutComponent : public TMMCustomSoundComponent {
public:
    using TMMCustomSoundComponent::TMMCustomSoundComponent;
    virtual int64_t GetPosition() = 0;
    virtual void OpenDevice() = 0;
    virtual void CloseDevice() = 0;
    virtual void ResetDevice() = 0;
    virtual void StartDevice() = 0;
    virtual void PauseDevice() = 0;
    virtual void RestartDevice() = 0;
    virtual void StopDevice() = 0;
};

// A device's service thread, registered so that DSPSynchronize can find it.
class TMMDSPThread : public TMMThreadEx {
public:
    explicit TMMDSPThread(TMMDSPComponent* Owner);
    ~TMMDSPThread() override;
    TMMDSPComponent* Owner() const { return owner_; }

private:
    TMMDSPComponent* owner_;
};

// Runs method on the main thread (the caller waiting) when called from a registered device
// thread; everywhere else runs it on the calling thread.
void DSPSynchronize(const std::function<void()>& method);

// The live links in creation order (main thread), and the number of live device threads.
const std::vector<TMMDSPComponent*>* DSPComponentList();
std::size_t DSPThreadCount();
