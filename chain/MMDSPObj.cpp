#include "chain/MMDSPObj.h"

#include "platform/GlobalMem.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Created when its first member registers and freed when its last member leaves.
std::unique_ptr<std::vector<TMMDSPComponent*>> componentList;

// Device threads may be created and destroyed on other threads than the one looking them up.
std::mutex threadListMutex;
std::unique_ptr<std::vector<TMMDSPThread*>> threadList;

constexpr std::size_t MaxLinkNameLength = 20;

std::string ShortString(std::string_view text) {
    return std::string(text.substr(0, MaxLinkNameLength));
}

bool IsDevice(const TMMDSPComponent* component) {
    return dynamic_cast<const TMMCustomSoundComponent*>(component) != nullptr;
}

} // namespace

const std::vector<TMMDSPComponent*>* DSPComponentList() {
    return componentList.get();
}

std::size_t DSPThreadCount() {
    std::lock_guard lock(threadListMutex);
    return threadList ? threadList->size() : 0;
}

// ---- TMMDSPComponent ------------------------------------------------------------------------

TMMDSPComponent::TMMDSPComponent(TMMComponentOwner* owner) : TMMCustomDSPComponent(owner) {
    if (!componentList)
        componentList = std::make_unique<std::vector<TMMDSPComponent*>>();
    componentList->push_back(this);
}

TMMDSPComponent::~TMMDSPComponent() {
    // Normally Destroying has unlinked already; a component destroyed without it at least
    // leaves no dangling reference behind in its neighbours.
    if (input_ != nullptr && input_->output_ == this)
        input_->SetOutputLink(nullptr, "");
    if (output_ != nullptr && output_->input_ == this)
        output_->SetInputLink(nullptr, "");
    FreeFormat(pWaveFormat_);
    if (componentList) {
        auto found = std::find(componentList->begin(), componentList->end(), this);
        if (found != componentList->end())
            componentList->erase(found);
        if (componentList->empty())
            componentList.reset();
    }
}

void TMMDSPComponent::Destroying() {
    SetInput(nullptr);
    SetOutput(nullptr);
    SetPWaveFormat(nullptr); // not forwarded: the component is being destroyed
    TMMCustomDSPComponent::Destroying();
}

void TMMDSPComponent::BroadcastLinkNotify(TMMDSPComponent* Sender, bool IsInputSide,
                                          std::string_view PropName) {
    if (!componentList)
        return;
    const std::vector<TMMDSPComponent*> members = *componentList;
    for (TMMDSPComponent* member : members)
        member->LinkNotify(Sender, IsInputSide, PropName);
}

bool TMMDSPComponent::HasPublishedLink(std::string_view name) const {
    return (name == "Input" && (publishedLinks_ & plInput) != 0) ||
           (name == "Output" && (publishedLinks_ & plOutput) != 0);
}

TMMDSPComponent* TMMDSPComponent::PublishedLinkValue(std::string_view name) const {
    if (!HasPublishedLink(name))
        return nullptr;
    return name == "Input" ? GetInput() : GetOutput();
}

bool TMMDSPComponent::SetPublishedLink(std::string_view name, TMMComponent* value) {
    if (!HasPublishedLink(name))
        return false;
    auto* link = dynamic_cast<TMMDSPComponent*>(value);
    if (value != nullptr && link == nullptr)
        return true; // not a chain link: refused silently
    if (name == "Input")
        SetInput(link);
    else
        SetOutput(link);
    return true;
}

bool TMMDSPComponent::SetPublishedValue(std::string_view name, const TPropertyValue& value) {
    if (name == "BufferSize") {
        if (const auto* number = std::get_if<int64_t>(&value)) {
            SetBufferSize(static_cast<int32_t>(*number));
            return true;
        }
        return false;
    }
    return TMMCustomDSPComponent::SetPublishedValue(name, value);
}

void TMMDSPComponent::LinkNotify(TMMDSPComponent* Sender, bool IsInputSide,
                                 std::string_view PropName) {
    if (Sender == nullptr)
        return;
    if (!IsInputSide) {
        if (Sender == output_ && outputLinkName_ == PropName &&
            Sender->HasPublishedLink(PropName) && Sender->PublishedLinkValue(PropName) == this)
            SetOutputLink(nullptr, "");
    } else {
        if (Sender == input_ && inputLinkName_ == PropName && Sender->HasPublishedLink(PropName) &&
            Sender->PublishedLinkValue(PropName) == this)
            SetInputLink(nullptr, "");
    }
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* C, std::string_view PropName) {
    input_ = C;
    inputLinkName_ = ShortString(PropName);
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* C, std::string_view PropName) {
    output_ = C;
    outputLinkName_ = ShortString(PropName);
}

TMMDSPComponent* TMMDSPComponent::GetInput() const {
    return input_;
}
TMMDSPComponent* TMMDSPComponent::GetOutput() const {
    return output_;
}

bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* C) {
    if (C == nullptr || C == this)
        return false;
    if (!C->HasPublishedLink("Output") && !C->AllowOutput)
        return false;
    return output_ == nullptr || output_->CanConnectInput(C);
}

bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* C) {
    if (C == nullptr || C == this)
        return false;
    if (!C->HasPublishedLink("Input") && !C->AllowInput)
        return false;
    return input_ == nullptr || input_->CanConnectOutput(C);
}

void TMMDSPComponent::SetInput(TMMDSPComponent* value) {
    if (value == input_)
        return;
    if (value != nullptr && !CanConnectInput(value))
        return;
    Stop();
    if (input_ != nullptr) {
        BroadcastLinkNotify(this, false, "Input");
        SetInputLink(nullptr, "");
        ChangePWaveFormat(nullptr);
    }
    if (value == nullptr)
        return;
    BroadcastLinkNotify(value, true, "Output");
    SetInputLink(value, "Output");
    value->SetOutputLink(this, "Input");
    UpdateFormat();
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* value) {
    if (value == output_)
        return;
    if (value != nullptr && !CanConnectOutput(value))
        return;
    Stop();
    if (output_ != nullptr) {
        BroadcastLinkNotify(this, true, "Output");
        TMMDSPComponent* old = output_;
        old->ChangePWaveFormat(nullptr);
        SetOutputLink(nullptr, "");
    }
    if (value == nullptr)
        return;
    BroadcastLinkNotify(value, false, "Input");
    SetOutputLink(value, "Input");
    value->SetInputLink(this, "Output");
    UpdateFormat();
}

void TMMDSPComponent::Notification(TMMComponent* component, TOperation operation) {
    TMMCustomDSPComponent::Notification(component, operation);
    if (operation != opRemove || component == nullptr)
        return;
    if (component == input_)
        SetInput(nullptr);
    else if (component == output_)
        SetOutput(nullptr);
}

void TMMDSPComponent::UpdateFormat() {
    if (IsLoading() || IsDestroying())
        return;
    if (input_ != nullptr)
        ChangePWaveFormat(input_->GetPWaveFormat());
    else if (output_ != nullptr)
        output_->ChangePWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::SetPWaveFormat(const WAVEFORMATEX* format) {
    if (format != pWaveFormat_) {
        if (Started())
            Stop();
        FreeFormat(pWaveFormat_);
        pWaveFormat_ = CopyFormat(format);
    }
    if (!IsLoading() && !IsDestroying() && output_ != nullptr)
        output_->ChangePWaveFormat(GetPWaveFormat());
}

WAVEFORMATEX* TMMDSPComponent::GetPWaveFormat() const {
    return pWaveFormat_;
}

void TMMDSPComponent::ChangePWaveFormat(const WAVEFORMATEX* format) {
    SetPWaveFormat(format);
}

void TMMDSPComponent::Loaded() {
    TMMCustomDSPComponent::Loaded();
    SetPWaveFormat(pWaveFormat_);
}

int32_t TMMDSPComponent::GetBufferSize() const {
    return Opened() ? RealBufferSize() : bufferSize_;
}

void TMMDSPComponent::SetBufferSize(int32_t value) {
    if (value == bufferSize_)
        return;
    if (Started())
        Stop();
    bufferSize_ = value;
}

void TMMDSPComponent::Open() {
    if (Opened())
        return;
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (format != nullptr && format->nBlockAlign > 0) {
        const int32_t align = format->nBlockAlign;
        SetRealBufferSize(std::max(bufferSize_ - bufferSize_ % align, align));
    } else {
        // No format, or one without whole blocks to round to: the requested size stands.
        SetRealBufferSize(bufferSize_);
    }
    opened_.store(true);
    started_.store(false);
    paused_.store(false);
}

void TMMDSPComponent::Close() {
    opened_.store(false);
}

void TMMDSPComponent::Start() {
    if (Opened() && !Started())
        started_.store(true);
}

void TMMDSPComponent::Pause() {
    paused_.store(true);
}

void TMMDSPComponent::Restart() {
    paused_.store(false);
}

void TMMDSPComponent::Stop() {
    if (Started()) {
        started_.store(false);
        paused_.store(false);
    }
}

void TMMDSPComponent::Reset() {}

void TMMDSPComponent::Looped() {}

void TMMDSPComponent::BufferReady(PMMChainHdr lpWaveHdr) {
    if (OnBufferReady)
        OnBufferReady(this, lpWaveHdr);
    if (output_ != nullptr)
        output_->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::BufferLoad(PMMChainHdr lpWaveHdr, bool& MoreBuffers) {
    if (OnBufferLoad)
        OnBufferLoad(this, lpWaveHdr, MoreBuffers);
    if (input_ != nullptr)
        input_->BufferLoad(lpWaveHdr, MoreBuffers);
}

// ---- TMMCustomSoundComponent ----------------------------------------------------------------

TMMCustomSoundComponent::TMMCustomSoundComponent(TMMComponentOwner* owner)
    : TMMDSPComponent(owner) {}

TMMDSPComponent* TMMCustomSoundComponent::FindHead(bool& metDevice) {
    metDevice = false;
    TMMDSPComponent* link = this;
    while (link->GetInput() != nullptr) {
        link = link->GetInput();
        if (link != this && IsDevice(link)) {
            metDevice = true;
            return this;
        }
    }
    return link;
}

void TMMCustomSoundComponent::Open() {
    bool metDevice = false;
    upstreamDevice_ = false;
    TMMDSPComponent* link = FindHead(metDevice);
    upstreamDevice_ = metDevice;
    const int32_t size = GetBufferSize();
    for (; link != nullptr; link = link->GetOutput()) {
        if (link == this)
            continue;
        link->SetBufferSize(size);
        link->Open();
        if (IsDevice(link))
            break;
    }
    BaseOpen();
}

void TMMCustomSoundComponent::WalkSection(Operation operation,
                                          void (TMMCustomSoundComponent::*own)()) {
    bool metDevice = false;
    for (TMMDSPComponent* link = FindHead(metDevice); link != nullptr; link = link->GetOutput()) {
        if (link == this)
            continue;
        (link->*operation)();
        if (IsDevice(link))
            break;
    }
    (this->*own)();
}

void TMMCustomSoundComponent::WalkClosing(Operation operation,
                                          void (TMMCustomSoundComponent::*own)()) {
    for (TMMDSPComponent* link = GetOutput(); link != nullptr; link = link->GetOutput()) {
        if (IsDevice(link)) {
            (link->*operation)();
            break;
        }
    }
    bool metDevice = false;
    for (TMMDSPComponent* link = FindHead(metDevice); link != nullptr; link = link->GetOutput()) {
        if (link == this)
            continue;
        if (IsDevice(link))
            break;
        (link->*operation)();
    }
    (this->*own)();
}

void TMMCustomSoundComponent::Close() {
    WalkClosing(&TMMDSPComponent::Close, &TMMCustomSoundComponent::BaseClose);
}
void TMMCustomSoundComponent::Start() {
    WalkSection(&TMMDSPComponent::Start, &TMMCustomSoundComponent::BaseStart);
}
void TMMCustomSoundComponent::Pause() {
    WalkSection(&TMMDSPComponent::Pause, &TMMCustomSoundComponent::BasePause);
}
void TMMCustomSoundComponent::Restart() {
    WalkSection(&TMMDSPComponent::Restart, &TMMCustomSoundComponent::BaseRestart);
}
void TMMCustomSoundComponent::Stop() {
    WalkClosing(&TMMDSPComponent::Stop, &TMMCustomSoundComponent::BaseStop);
}
void TMMCustomSoundComponent::Reset() {
    WalkSection(&TMMDSPComponent::Reset, &TMMCustomSoundComponent::BaseReset);
}
void TMMCustomSoundComponent::Looped() {
    WalkSection(&TMMDSPComponent::Looped, &TMMCustomSoundComponent::BaseLooped);
}

// ---- device threads -------------------------------------------------------------------------

TMMDSPThread::TMMDSPThread(TMMDSPComponent* Owner) : TMMThreadEx(true), owner_(Owner) {
    std::lock_guard lock(threadListMutex);
    if (!threadList)
        threadList = std::make_unique<std::vector<TMMDSPThread*>>();
    threadList->push_back(this);
}

TMMDSPThread::~TMMDSPThread() {
    std::lock_guard lock(threadListMutex);
    if (!threadList)
        return;
    auto found = std::find(threadList->begin(), threadList->end(), this);
    if (found != threadList->end())
        threadList->erase(found);
    if (threadList->empty())
        threadList.reset();
}

void DSPSynchronize(const std::function<void()>& method) {
    bool registered = false;
    if (!platform::IsMainThread()) {
        const auto self = std::this_thread::get_id();
        std::lock_guard lock(threadListMutex);
        if (threadList)
            registered =
                std::any_of(threadList->begin(), threadList->end(),
                            [&](TMMDSPThread* thread) { return thread->ThreadID() == self; });
    }
    if (registered)
        platform::Synchronize(method);
    else
        method();
}
