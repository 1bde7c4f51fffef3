#include "processing/MMWMixer.h"

#include "chain/MMMsgs.h"
#include "platform/GlobalMem.h"
#include "sources/MMWaveIO.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr std::array<std::string_view, MixerPortCount> InputNames = {"Input1", "Input2", "Input3",
                                                                     "Input4"};
constexpr std::array<std::string_view, MixerPortCount> LoopNames = {"Loop1", "Loop2", "Loop3",
                                                                    "Loop4"};
constexpr std::array<std::string_view, MixerPortCount> LoopCountNames = {
    "LoopCount1", "LoopCount2", "LoopCount3", "LoopCount4"};

constexpr int32_t MinSampleRate = 8000;
constexpr int32_t MaxSampleRate = 100000;
constexpr int32_t MinWorkSize = 65536;   // bytes of each port buffer at least
constexpr int32_t MaxSourceBlock = 8192; // bytes a converting port pulls at a time
constexpr int MaxChainLength = 1000;     // a longer walk has gone round a broken link
constexpr uint16_t MixBits = 16;
constexpr uint16_t MixChannels = 2;

int IndexOf(const std::array<std::string_view, MixerPortCount>& names, std::string_view name) {
    for (int i = 0; i < MixerPortCount; ++i)
        if (names[static_cast<std::size_t>(i)] == name)
            return i;
    return -1;
}

bool ValidIndex(int index) {
    return index >= 0 && index < MixerPortCount;
}

bool IsDevice(const TMMDSPComponent* component) {
    return dynamic_cast<const TMMCustomSoundComponent*>(component) != nullptr;
}

// Visits the chain behind a port: from its head (reached up the Input links from the port's
// input) down the Output links to the mixer, which is left out, as are devices.
template <typename Visit>
void WalkChain(TMMDSPComponent* input, const TMMDSPComponent* mixer, Visit visit) {
    TMMDSPComponent* head = input;
    for (int steps = 0; head->GetInput() != nullptr && steps < MaxChainLength; ++steps)
        head = head->GetInput();
    int steps = 0;
    for (TMMDSPComponent* link = head; link != nullptr && link != mixer && steps < MaxChainLength;
         link = link->GetOutput(), ++steps)
        if (!IsDevice(link))
            visit(link);
}

int32_t ToInt32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

} // namespace

// ---- construction ---------------------------------------------------------------------------

TMMWaveMixer::TMMWaveMixer(TMMComponentOwner* owner) : TMMDSPComponent(owner) {
    SetPublishedLinks(plOutput);
    MakePCMFormat(mixFormat_, MixBits, MixChannels, static_cast<uint32_t>(sampleRate_));
    SetPWaveFormat(&mixFormat_);
}

TMMWaveMixer::~TMMWaveMixer() {
    // Destroyed without Destroying: at least leave no source pointing at the mixer.
    for (TMMMixerPort& port : ports_) {
        if (port.Input != nullptr && port.Input->GetOutput() == this)
            port.Input->SetOutputLink(nullptr, "");
        CloseConversion(port.Converter);
    }
    FreeBuffers();
}

void TMMWaveMixer::Destroying() {
    Close();
    for (int i = 0; i < MixerPortCount; ++i)
        SetInput(i, nullptr);
    TMMDSPComponent::Destroying();
}

void RegisterWaveMixerClass() {
    RegisterComponentClass("TMMWaveMixer", [](TMMComponentOwner* owner) -> TMMComponent* {
        return new TMMWaveMixer(owner);
    });
}

// ---- links ----------------------------------------------------------------------------------

void TMMWaveMixer::SetInput(TMMDSPComponent*) {}

void TMMWaveMixer::SetInput(int index, TMMDSPComponent* V) {
    if (!ValidIndex(index))
        return;
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (V == port.Input || (V != nullptr && !PortAccepts(index, V)))
        return;
    const std::string_view name = InputNames[static_cast<std::size_t>(index)];
    TMMDSPComponent* old = nullptr;
    {
        std::lock_guard lock(lock_);
        ClosePort(index);
        old = port.Input;
    }
    if (old != nullptr) {
        // The old input still points at this port while it is told, so it can let go.
        BroadcastLinkNotify(this, false, name);
        {
            std::lock_guard lock(lock_);
            port.Input = nullptr;
        }
        ForgetLinkNameWhenUnlinked();
    }
    if (V == nullptr)
        return;
    BroadcastLinkNotify(V, true, "Output");
    // The mixer's own Input stays empty; the name is what LinkNotify compares a port's link to.
    TMMDSPComponent::SetInputLink(nullptr, "Output");
    // V points down to the mixer before a pull can see it, so that opening the port walks
    // V's chain down to here.
    V->SetOutputLink(this, name);
    std::lock_guard lock(lock_);
    port.Input = V;
    if (mixerOpen_.load())
        port.Done = false; // the next pull opens it
}

TMMDSPComponent* TMMWaveMixer::PortInput(int index) const {
    return ValidIndex(index) ? ports_[static_cast<std::size_t>(index)].Input : nullptr;
}

bool TMMWaveMixer::CheckPortInput(int index, TMMDSPComponent* C) {
    if (C == nullptr || C == this)
        return false;
    for (int i = 0; i < MixerPortCount; ++i)
        if (i != index && ports_[static_cast<std::size_t>(i)].Input == C)
            return false;
    if (!C->HasPublishedLink("Output") && !C->AllowOutput)
        return false;
    return GetOutput() == nullptr || GetOutput()->CanConnectInput(C);
}

bool TMMWaveMixer::CanConnectInput1(TMMDSPComponent* C) {
    return CheckPortInput(0, C);
}
bool TMMWaveMixer::CanConnectInput2(TMMDSPComponent* C) {
    return CheckPortInput(1, C);
}
bool TMMWaveMixer::CanConnectInput3(TMMDSPComponent* C) {
    return CheckPortInput(2, C);
}
bool TMMWaveMixer::CanConnectInput4(TMMDSPComponent* C) {
    return CheckPortInput(3, C);
}

bool TMMWaveMixer::PortAccepts(int index, TMMDSPComponent* C) {
    switch (index) {
    case 0:
        return CanConnectInput1(C);
    case 1:
        return CanConnectInput2(C);
    case 2:
        return CanConnectInput3(C);
    case 3:
        return CanConnectInput4(C);
    default:
        return false;
    }
}

bool TMMWaveMixer::CanConnectOutput(TMMDSPComponent* C) {
    if (C == nullptr || C == this)
        return false;
    if (!C->HasPublishedLink("Input") && !C->AllowInput)
        return false;
    for (const TMMMixerPort& port : ports_)
        if (port.Input != nullptr && !port.Input->CanConnectOutput(C))
            return false;
    return true;
}

void TMMWaveMixer::LinkNotify(TMMDSPComponent* Sender, bool IsInputSide,
                              std::string_view PropName) {
    if (IsInputSide && Sender != nullptr) {
        // A port's input that is being linked elsewhere leaves the port.
        for (int i = 0; i < MixerPortCount; ++i)
            if (ports_[static_cast<std::size_t>(i)].Input == Sender &&
                PropName == InputLinkName() && Sender->HasPublishedLink(PropName) &&
                Sender->PublishedLinkValue(PropName) == this)
                DropPort(i);
    }
    TMMDSPComponent::LinkNotify(Sender, IsInputSide, PropName);
}

void TMMWaveMixer::DropPort(int index) {
    {
        std::lock_guard lock(lock_);
        ClosePort(index);
        ports_[static_cast<std::size_t>(index)].Input = nullptr;
    }
    ForgetLinkNameWhenUnlinked();
}

void TMMWaveMixer::ForgetLinkNameWhenUnlinked() {
    // The name stays while any port holds an input: LinkNotify needs it for every port.
    if (std::none_of(ports_.begin(), ports_.end(),
                     [](const TMMMixerPort& port) { return port.Input != nullptr; }))
        TMMDSPComponent::SetInputLink(nullptr, "");
}

void TMMWaveMixer::Notification(TMMComponent* component, TOperation operation) {
    TMMDSPComponent::Notification(component, operation);
    if (operation != opRemove || component == nullptr)
        return;
    for (int i = 0; i < MixerPortCount; ++i)
        if (ports_[static_cast<std::size_t>(i)].Input == component)
            DropPort(i);
}

bool TMMWaveMixer::HasPublishedLink(std::string_view name) const {
    return IndexOf(InputNames, name) >= 0 || TMMDSPComponent::HasPublishedLink(name);
}

TMMDSPComponent* TMMWaveMixer::PublishedLinkValue(std::string_view name) const {
    const int index = IndexOf(InputNames, name);
    return index >= 0 ? PortInput(index) : TMMDSPComponent::PublishedLinkValue(name);
}

bool TMMWaveMixer::SetPublishedLink(std::string_view name, TMMComponent* value) {
    const int index = IndexOf(InputNames, name);
    if (index < 0)
        return TMMDSPComponent::SetPublishedLink(name, value);
    auto* link = dynamic_cast<TMMDSPComponent*>(value);
    if (value == nullptr || link != nullptr)
        SetInput(index, link);
    return true; // a component that is not a chain link is refused silently
}

bool TMMWaveMixer::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    const auto* flag = std::get_if<bool>(&value);
    const auto* number = std::get_if<int64_t>(&value);
    if (const int index = IndexOf(LoopNames, name); index >= 0 && flag != nullptr) {
        SetLoop(index, *flag);
        return true;
    }
    if (const int index = IndexOf(LoopCountNames, name); index >= 0 && number != nullptr) {
        SetLoopCount(index, ToInt32(*number));
        return true;
    }
    if (number != nullptr) {
        if (name == "SampleRate") {
            SetSampleRate(ToInt32(*number));
            return true;
        }
        if (name == "Volume") {
            SetVolume(ToInt32(*number));
            return true;
        }
        if (name == "Panning") {
            SetPanning(ToInt32(*number));
            return true;
        }
        if (name == "TimeFormat") {
            SetTimeFormat(static_cast<TMMTimeFormats>(std::clamp<int64_t>(*number, 0, 2)));
            return true;
        }
    }
    if (name == "Enabled" && flag != nullptr) {
        SetEnabled(*flag);
        return true;
    }
    return TMMDSPComponent::SetPublishedValue(name, value);
}

// ---- properties -----------------------------------------------------------------------------

bool TMMWaveMixer::Loop(int index) const {
    if (!ValidIndex(index))
        return false;
    const TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    return port.Input != nullptr && port.Loop;
}

void TMMWaveMixer::SetLoop(int index, bool value) {
    if (!ValidIndex(index))
        return;
    std::lock_guard lock(lock_);
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (port.Loop == value)
        return;
    port.Loop = value;
    port.LoopsLeft = port.LoopCount;
    if (mixerOpen_.load())
        port.Done = false;
}

int32_t TMMWaveMixer::LoopCount(int index) const {
    if (!ValidIndex(index))
        return 0;
    const TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    return port.Input != nullptr ? port.LoopCount : 0;
}

void TMMWaveMixer::SetLoopCount(int index, int32_t value) {
    if (!ValidIndex(index))
        return;
    std::lock_guard lock(lock_);
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (value == port.LoopCount)
        return;
    // The count is kept in 16 bits; the passes left start from the full value.
    port.LoopCount = static_cast<uint16_t>(value);
    port.LoopsLeft = value;
}

TMMMixerPort TMMWaveMixer::PortState(int index) const {
    if (!ValidIndex(index))
        return {};
    std::lock_guard lock(lock_);
    return ports_[static_cast<std::size_t>(index)];
}

void TMMWaveMixer::SetSampleRate(int32_t value) {
    value = std::clamp(value, MinSampleRate, MaxSampleRate);
    if (value == sampleRate_)
        return;
    RebuildMixFormat(value);
    SetPWaveFormat(&mixFormat_);
}

void TMMWaveMixer::SetVolume(int32_t value) {
    if (value == volume_)
        return;
    volume_ = value;
    UpdateGains();
}

void TMMWaveMixer::SetPanning(int32_t value) {
    if (value == panning_)
        return;
    panning_ = value;
    UpdateGains();
}

void TMMWaveMixer::UpdateGains() {
    int32_t left = 0;
    int32_t right = 0;
    CalcVolumeGains(PCMUnityGain, volume_, panning_, left, right);
    leftGain_.store(left, std::memory_order_relaxed);
    rightGain_.store(right, std::memory_order_relaxed);
}

int64_t TMMWaveMixer::TimeFormatToSamples(int64_t value) const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr)
        return 0;
    switch (timeFormat_) {
    case tfMillisecond:
        return TimeToSamples64(format, value);
    case tfByte:
        return BytesToSamples64(format, value);
    default:
        return value;
    }
}

int64_t TMMWaveMixer::SamplesToTimeFormat(int64_t value) const {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format == nullptr)
        return 0;
    switch (timeFormat_) {
    case tfMillisecond:
        return SamplesToTime64(format, value);
    case tfByte:
        return SamplesToBytes64(format, value);
    default:
        return value;
    }
}

// ---- format ---------------------------------------------------------------------------------

void TMMWaveMixer::SetPWaveFormat(const WAVEFORMATEX* format) {
    if (format != nullptr && !IsDesigning() && !IsValidPCMFormat(format))
        throw EMMWaveMixerError(LoadResStr(SInvalidWaveFormat));
    if (format == nullptr) {
        TMMDSPComponent::SetPWaveFormat(nullptr);
        return;
    }
    // Only the rate is taken: the mixer always mixes 16-bit stereo.
    const int32_t rate = static_cast<int32_t>(
        std::clamp<int64_t>(format->nSamplesPerSec, MinSampleRate, MaxSampleRate));
    if (rate != sampleRate_)
        RebuildMixFormat(rate);
    TMMDSPComponent::SetPWaveFormat(&mixFormat_);
    if (const WAVEFORMATEX* held = GetPWaveFormat(); held != nullptr && held->nBlockAlign > 0)
        frameBytes_.store(held->nBlockAlign, std::memory_order_relaxed);
}

void TMMWaveMixer::RebuildMixFormat(int32_t rate) {
    // A port opening on the pulling thread compares its input's format with this one.
    std::lock_guard lock(lock_);
    sampleRate_ = rate;
    MakePCMFormat(mixFormat_, MixBits, MixChannels, static_cast<uint32_t>(rate));
}

void TMMWaveMixer::ChangePWaveFormat(const WAVEFORMATEX*) {}

// ---- state ----------------------------------------------------------------------------------

void TMMWaveMixer::AllocateBuffers() {
    const int32_t size = std::max(MinWorkSize, GetBufferSize());
    try {
        for (PortBuffer& buffer : buffers_) {
            buffer.Data = GlobalAllocTyped<uint8_t>(static_cast<std::size_t>(size));
            buffer.Size = size;
            buffer.BytesValid = 0;
        }
        accumulator_ = GlobalAllocTyped<int32_t>(2 * static_cast<std::size_t>(size));
        mixInfo_ = AllocMixInfo(MixerPortCount);
    } catch (...) {
        FreeBuffers();
        throw;
    }
    workSize_.store(size, std::memory_order_relaxed);
}

void TMMWaveMixer::FreeBuffers() {
    workSize_.store(0, std::memory_order_relaxed);
    for (PortBuffer& buffer : buffers_) {
        GlobalFreeTyped(buffer.Data);
        buffer = PortBuffer{};
    }
    GlobalFreeTyped(accumulator_);
    FreeMixInfo(mixInfo_);
}

void TMMWaveMixer::Open() {
    TMMDSPComponent::Open();
    if (mixerOpen_.load())
        return;
    std::lock_guard lock(lock_);
    try {
        AllocateBuffers();
    } catch (...) {
        TMMDSPComponent::Close();
        throw;
    }
    clipped_.store(false, std::memory_order_relaxed);
    mixerOpen_.store(true);
}

void TMMWaveMixer::Close() {
    {
        std::lock_guard lock(lock_);
        mixerStarted_.store(false);
        CloseAllPorts();
        mixerOpen_.store(false);
        FreeBuffers();
    }
    TMMDSPComponent::Close();
}

void TMMWaveMixer::Start() {
    TMMDSPComponent::Start();
    if (!mixerOpen_.load() || mixerStarted_.load())
        return;
    std::lock_guard lock(lock_);
    ResetPorts();
    mixerStarted_.store(true);
}

void TMMWaveMixer::Stop() {
    if (mixerStarted_.load()) {
        std::lock_guard lock(lock_);
        mixerStarted_.store(false);
        CloseAllPorts();
    }
    TMMDSPComponent::Stop();
}

void TMMWaveMixer::Reset() {
    {
        std::lock_guard lock(lock_);
        ResetPorts();
    }
    TMMDSPComponent::Reset();
}

void TMMWaveMixer::ResetPorts() {
    if (!mixerOpen_.load())
        return;
    CloseAllPorts();
    clipped_.store(false, std::memory_order_relaxed);
    position_.store(0, std::memory_order_relaxed);
    for (TMMMixerPort& port : ports_)
        port.Done = false;
}

// ---- ports ----------------------------------------------------------------------------------

void TMMWaveMixer::StartChain(TMMDSPComponent* input) {
    const int32_t size = GetBufferSize();
    WalkChain(input, this, [size](TMMDSPComponent* link) {
        link->SetBufferSize(size);
        link->Open();
    });
    WalkChain(input, this, [](TMMDSPComponent* link) { link->Start(); });
}

void TMMWaveMixer::StopChain(TMMDSPComponent* input) {
    WalkChain(input, this, [](TMMDSPComponent* link) { link->Stop(); });
    WalkChain(input, this, [](TMMDSPComponent* link) { link->Close(); });
}

void TMMWaveMixer::OpenPort(int index) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    port.FramesRead = 0;
    port.Done = false;
    port.Converting = false;
    port.ConvertOK = false;
    CloseConversion(port.Converter);
    const WAVEFORMATEX* source = port.Input->GetPWaveFormat();
    if (FormatsDiffer(source, &mixFormat_)) {
        port.Converting = true;
        if (CanConvert(source, &mixFormat_, true)) {
            // The accumulator is free while the ports are read, so it takes the source blocks.
            port.Converter =
                OpenConversion(source, &mixFormat_, accumulator_, true,
                               std::min(MaxSourceBlock, workSize_.load(std::memory_order_relaxed)));
            port.ConvertOK = port.Converter != nullptr;
        }
        if (!port.ConvertOK) {
            ClosePort(index); // silent until the next Start
            return;
        }
    }
    try {
        StartChain(port.Input);
    } catch (...) {
        ClosePort(index);
        throw;
    }
}

void TMMWaveMixer::ClosePort(int index) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (port.Input == nullptr)
        return;
    port.Done = true;
    StopChain(port.Input);
    CloseConversion(port.Converter);
    port.ConvertOK = false;
    if (port.Notified) {
        port.Notified = false;
        if (OnClosePort)
            OnClosePort(this, index);
    }
}

void TMMWaveMixer::CloseAllPorts() {
    for (int i = 0; i < MixerPortCount; ++i)
        ClosePort(i);
}

bool TMMWaveMixer::PortExhausted(const TMMMixerPort& port) const {
    if (!port.Done)
        return false;
    const TMMConversionStream* stream = port.Converter;
    return stream == nullptr || !port.ConvertOK ||
           (stream->Taken >= stream->Produced && !stream->OutputPending);
}

int32_t TMMWaveMixer::PullPort(TMMMixerPort& port, char* data, int32_t length, bool& more) {
    request_ = TMMChainHdr{};
    request_.lpData = data;
    request_.dwBufferLength = static_cast<uint32_t>(length);
    request_.dwLooping = port.Loop ? MMChainTrue : 0;
    if (port.Loop) {
        request_.dwLoopCount = port.LoopCount;
        request_.dwLoopsLeft = port.LoopsLeft;
        request_.dwLoopWrapped = 0;
    }
    more = false;
    port.Input->BufferLoad(&request_, more);
    if (port.Loop)
        port.LoopsLeft = request_.dwLoopsLeft;
    // A source never gets to report more than it was given room for.
    return static_cast<int32_t>(
        std::min<uint32_t>(request_.dwBytesRecorded, request_.dwBufferLength));
}

void TMMWaveMixer::NotifyOpened(int index) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (port.Notified)
        return;
    port.Notified = true;
    if (OnOpenPort)
        OnOpenPort(this, index);
}

int32_t TMMWaveMixer::FillPort(int index, uint8_t* dest, int32_t want) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (!port.Converting)
        return FillDirect(index, dest, want);
    if (!port.ConvertOK) {
        port.Done = true;
        return 0;
    }
    return FillConverted(index, dest, want);
}

int32_t TMMWaveMixer::FillDirect(int index, uint8_t* dest, int32_t want) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    if (port.Done || want <= 0)
        return 0;
    bool more = false;
    const int32_t got = PullPort(port, reinterpret_cast<char*>(dest), want, more);
    if (!more || got <= 0)
        port.Done = true;
    if (got > 0)
        NotifyOpened(index);
    return std::max(got, 0);
}

int32_t TMMWaveMixer::FillConverted(int index, uint8_t* dest, int32_t want) {
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    TMMConversionStream& stream = *port.Converter;
    int32_t placed = 0;
    for (;;) {
        const int32_t count = std::min(stream.Produced - stream.Taken, want);
        if (count > 0) {
            std::memcpy(dest, stream.Output + stream.Taken, static_cast<std::size_t>(count));
            stream.Taken += count;
            dest += count;
            placed += count;
            want -= count;
        }
        if (want <= 0)
            break;
        if (port.Done) {
            // The source has ended: what the stages still hold comes out, then the port ends.
            if (!stream.OutputPending || FlushConversion(&stream, 0) <= 0) {
                port.ConvertOK = false;
                break;
            }
            continue;
        }
        bool more = false;
        const int32_t got = PullPort(port, stream.SourceBlock, stream.SourceBlockSize, more);
        if (!more || got <= 0)
            port.Done = true;
        if (port.Done) {
            if (FlushConversion(&stream, std::max(got, 0)) <= 0) {
                port.ConvertOK = false;
                break;
            }
        } else if (Convert(&stream, got) <= 0) {
            port.ConvertOK = false;
            port.Done = true;
            break;
        }
        if (got > 0)
            NotifyOpened(index);
    }
    return placed;
}

void TMMWaveMixer::ReadPort(int index, int32_t bytes) {
    PortBuffer& buffer = buffers_[static_cast<std::size_t>(index)];
    buffer.BytesValid = 0;
    if (!mixerOpen_.load() || !mixerStarted_.load() || bytes > buffer.Size)
        return;
    TMMMixerPort& port = ports_[static_cast<std::size_t>(index)];
    int32_t filled = 0;
    if (port.Input != nullptr) {
        if (!port.Input->Opened() && !port.Done)
            OpenPort(index);
        if (port.Input->Opened()) {
            // A source may hand out less than asked (a loop wrapping, a short block) and still
            // go on: it is asked again until the block is full or it has ended.
            while (filled < bytes) {
                const int32_t got = FillPort(index, buffer.Data + filled, bytes - filled);
                if (got <= 0)
                    break;
                filled += got;
            }
            port.FramesRead += filled / frameBytes_.load(std::memory_order_relaxed);
            if (PortExhausted(port))
                ClosePort(index);
        }
    }
    if (filled > 0 && filled < bytes)
        std::memset(buffer.Data + filled, 0, static_cast<std::size_t>(bytes - filled));
    buffer.BytesValid = filled;
}

void TMMWaveMixer::Mix(char* dest, int32_t frames) {
    std::lock_guard lock(lock_);
    const int32_t bytes = frames * frameBytes_.load(std::memory_order_relaxed);
    if (!mixerOpen_.load() || !mixerStarted_.load() ||
        bytes > workSize_.load(std::memory_order_relaxed))
        return;
    int32_t count = 0;
    for (const PortBuffer& buffer : buffers_)
        if (buffer.BytesValid > 0)
            mixInfo_->Inputs[count++] = reinterpret_cast<const int16_t*>(buffer.Data);
    // Each gain is read once per block; a concurrent change may land between the two.
    mixInfo_->LeftGain = leftGain_.load(std::memory_order_relaxed);
    mixInfo_->RightGain = rightGain_.load(std::memory_order_relaxed);
    if (MixStereo16(bytes, count, mixInfo_, accumulator_, reinterpret_cast<int16_t*>(dest)))
        clipped_.store(true, std::memory_order_relaxed);
}

// ---- buffers --------------------------------------------------------------------------------

void TMMWaveMixer::BufferReady(PMMChainHdr) {}

void TMMWaveMixer::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    const int32_t frameBytes = frameBytes_.load(std::memory_order_relaxed);
    const int32_t frames =
        ToInt32(static_cast<int64_t>(lpWaveHdr->dwBufferLength) / std::max(frameBytes, 1));
    // A request larger than the port buffers is read and mixed in pieces.
    char* dest = lpWaveHdr->lpData;
    int32_t left = frames;
    while (left > 0) {
        const int32_t piece =
            std::min(left, workSize_.load(std::memory_order_relaxed) / std::max(frameBytes, 1));
        if (piece <= 0)
            break; // closed: the block stays as it was
        const int32_t bytes = piece * frameBytes;
        for (int i = 0; i < MixerPortCount; ++i) {
            {
                std::lock_guard lock(lock_);
                ReadPort(i, bytes);
            }
            std::this_thread::yield(); // let a waiting Stop in between the ports
        }
        Mix(dest, piece);
        dest += bytes;
        left -= piece;
    }
    lpWaveHdr->dwBytesRecorded = static_cast<uint32_t>(frames) * static_cast<uint32_t>(frameBytes);
    position_.fetch_add(frames, std::memory_order_relaxed);
    MoreBuffers = true; // the mixer's stream never ends
}
