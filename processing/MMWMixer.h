// The wave mixer: a chain link with four input ports and one output. Each pull reads the four
// ports, converts a port whose format differs to the mixer's own (16-bit stereo PCM at
// SampleRate), sums them with a master volume and panning, saturates to 16 bits and hands one
// block downstream. The mixer has no Input: it is the head of its section, and it opens, starts,
// stops and closes the chains behind its ports itself, lazily, one port at a time. Its stream
// never ends: every pull returns exactly the whole frames asked for and MoreBuffers true.
//
// Threading: linking, the property setters and the state operations run on the main thread (or
// on the thread of a device's walk); BufferLoad runs on the pulling thread, normally the output
// device's service thread. The mixer's lock is held for one port at a time while reading (the
// reader yields between ports), for the mix, and for every state operation that opens or closes
// ports, so a port is never closed or relinked under a running pull. OnOpenPort and OnClosePort
// are raised with the lock held, on the thread that opens or closes the port (normally the
// pulling thread); handlers must not touch the user interface nor wait for the main thread.
//
// Allocation: the port buffers, the accumulator and the mix record are allocated at Open and
// freed at Close. Opening a port happens on the pulling thread at the first pull after Start
// and may allocate (the chain behind the port opens, a conversion stream is made); the blocks
// after that allocate nothing.
#pragma once

#include "chain/MMDSPObj.h"
#include "platform/Threads.h"
#include "processing/MMPCM.h"
#include "sources/MMACMCvt.h"
#include "sources/MMWave.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

constexpr int MixerPortCount = 4;

// (Sender, port index 0..3).
using TMMMixerNotifyEvent = std::function<void(TObject* sender, int index)>;

// The state of one port. Guarded by the mixer's lock.
struct TMMMixerPort {
    TMMDSPComponent* Input = nullptr;
    int64_t FramesRead = 0; // sample frames taken since the port was opened
    bool Loop = false;
    uint16_t LoopCount = 0; // 0 = endless
    int32_t LoopsLeft = 0;  // handed to the source with each pull and taken back
    bool Done = false;      // exhausted or failed: not read or reopened until re-armed
    bool Notified = false;  // OnOpenPort raised, OnClosePort still due
    bool Converting = false;
    bool ConvertOK = false;
    PMMConversionStream Converter = nullptr;
};

class TMMWaveMixer : public TMMDSPComponent {
public:
    explicit TMMWaveMixer(TMMComponentOwner* owner);
    ~TMMWaveMixer() override;
    const char* ClassName() const override { return "TMMWaveMixer"; }

    // ---- ports (index 0..3; other indexes are ignored or answer nothing)
    // Links V to the port unless the port's check refuses it; nullptr unlinks.
    void SetInput(int index, TMMDSPComponent* V);
    // The mixer takes no Input of its own: any value is ignored.
    void SetInput(TMMDSPComponent* value) override;
    TMMDSPComponent* PortInput(int index) const;
    // Loop and LoopCount read false and 0 for a port without input.
    bool Loop(int index) const;
    void SetLoop(int index, bool value);
    int32_t LoopCount(int index) const;
    void SetLoopCount(int index, int32_t value); // stored in 16 bits
    // A copy of the port's state, taken under the lock.
    TMMMixerPort PortState(int index) const;

    // The checks behind Input1..Input4: refuse the mixer itself, the input of another port, a
    // component without an Output property, and a loop through the mixer's Output.
    virtual bool CanConnectInput1(TMMDSPComponent* C);
    virtual bool CanConnectInput2(TMMDSPComponent* C);
    virtual bool CanConnectInput3(TMMDSPComponent* C);
    virtual bool CanConnectInput4(TMMDSPComponent* C);
    bool CanConnectOutput(TMMDSPComponent* C) override;

    // ---- properties
    int32_t SampleRate() const { return sampleRate_; }
    void SetSampleRate(int32_t value); // clamped to 8000..100000
    int32_t Volume() const { return volume_; }
    void SetVolume(int32_t value); // 16384 = unity, not clamped
    int32_t Panning() const { return panning_; }
    void SetPanning(int32_t value); // negative lowers the right, positive the left; not clamped
    int32_t LeftGain() const { return leftGain_.load(std::memory_order_relaxed); }
    int32_t RightGain() const { return rightGain_.load(std::memory_order_relaxed); }
    TMMTimeFormats TimeFormat() const { return timeFormat_; }
    void SetTimeFormat(TMMTimeFormats value) { timeFormat_ = value; }
    // Stored and streamed; the mix does not depend on it.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value) { enabled_ = value; }

    const WAVEFORMATEX& MixFormat() const { return mixFormat_; }
    int32_t FrameBytes() const { return frameBytes_.load(std::memory_order_relaxed); }
    int32_t WorkSize() const { return workSize_.load(std::memory_order_relaxed); }
    int64_t Position() const { return position_.load(std::memory_order_relaxed); } // frames
    bool Clipped() const { return clipped_.load(std::memory_order_relaxed); }

    // Value in TimeFormat units to sample frames of the mixer's format, and back; 0 without a
    // format.
    int64_t TimeFormatToSamples(int64_t value) const;
    int64_t SamplesToTimeFormat(int64_t value) const;

    TMMMixerNotifyEvent OnOpenPort;
    TMMMixerNotifyEvent OnClosePort;

    // ---- links
    void LinkNotify(TMMDSPComponent* Sender, bool IsInputSide, std::string_view PropName) override;
    bool HasPublishedLink(std::string_view name) const override;
    TMMDSPComponent* PublishedLinkValue(std::string_view name) const override;
    bool SetPublishedLink(std::string_view name, TMMComponent* value) override;
    bool SetPublishedValue(std::string_view name, const TPropertyValue& value) override;
    void Notification(TMMComponent* component, TOperation operation) override;

    // ---- format: only the sample rate of a valid PCM format is taken; the held format is
    // always the mixer's own. Formats offered by neighbours are ignored.
    void SetPWaveFormat(const WAVEFORMATEX* format) override;
    void ChangePWaveFormat(const WAVEFORMATEX* format) override;

    // ---- state and buffers
    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Reset() override;
    void BufferReady(PMMChainHdr lpWaveHdr) override;
    void BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) override;

protected:
    void Destroying() override;

private:
    struct PortBuffer {
        uint8_t* Data = nullptr;
        int32_t Size = 0;
        int32_t BytesValid = 0; // 0: the port adds nothing to this block
    };

    // The check shared by CanConnectInput1..4, and the dispatch to the port's own check.
    bool CheckPortInput(int index, TMMDSPComponent* C);
    bool PortAccepts(int index, TMMDSPComponent* C);
    // Closes the port and forgets its input (which is being linked elsewhere or destroyed).
    void DropPort(int index);
    // Clears the link name of the ports once no port holds an input.
    void ForgetLinkNameWhenUnlinked();
    void UpdateGains();
    void RebuildMixFormat(int32_t rate);
    void AllocateBuffers();
    void FreeBuffers();
    // Sums the port buffers read for this block into dest; takes the lock.
    void Mix(char* dest, int32_t frames);

    // These run with the lock held.
    void OpenPort(int index);
    void ClosePort(int index);
    void CloseAllPorts();
    void ResetPorts();
    bool PortExhausted(const TMMMixerPort& port) const;
    // The port delivered data: OnOpenPort, once until the port closes.
    void NotifyOpened(int index);
    void ReadPort(int index, int32_t bytes);
    int32_t FillPort(int index, uint8_t* dest, int32_t want);
    int32_t FillDirect(int index, uint8_t* dest, int32_t want);
    int32_t FillConverted(int index, uint8_t* dest, int32_t want);
    // One pull from the port's input into data; the bytes it delivered.
    int32_t PullPort(TMMMixerPort& port, char* data, int32_t length, bool& more);

    // SetBufferSize, Open, then Start (Stop, then Close) along the chain behind a port.
    void StartChain(TMMDSPComponent* input);
    void StopChain(TMMDSPComponent* input);

    std::array<TMMMixerPort, MixerPortCount> ports_{};
    std::array<PortBuffer, MixerPortCount> buffers_{};
    int32_t* accumulator_ = nullptr; // one sum per 16-bit sample: 2 * WorkSize bytes
    TMMMixInfo* mixInfo_ = nullptr;
    TMMChainHdr request_{}; // the record of every pull from a port

    WAVEFORMATEX mixFormat_{};
    int32_t sampleRate_ = 44100;
    int32_t volume_ = PCMUnityGain;
    int32_t panning_ = 0;
    TMMTimeFormats timeFormat_ = tfMillisecond;
    bool enabled_ = true;

    // Written by setters and Open on the main thread, read once per pull; the values are
    // independent, so relaxed order is enough.
    std::atomic<int32_t> leftGain_{PCMUnityGain}, rightGain_{PCMUnityGain};
    std::atomic<int32_t> frameBytes_{4};
    std::atomic<int32_t> workSize_{0};
    std::atomic<int64_t> position_{0};
    std::atomic<bool> clipped_{false};
    // Written under the lock; read under it by the reader and the mix.
    std::atomic<bool> mixerOpen_{false}, mixerStarted_{false};
    mutable TMMCriticalSection lock_;
};

// Makes "TMMWaveMixer" known to descriptions of components.
void RegisterWaveMixerClass();
