#include "chain/MMObj.h"

#include "platform/GlobalMem.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

// ---- format records -------------------------------------------------------------------------

uint32_t GetFormatSize(const WAVEFORMATEX* format) {
    if (format == nullptr)
        return 0;
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return sizeof(WAVEFORMATEX);
    return sizeof(WAVEFORMATEX) + format->cbSize;
}

WAVEFORMATEX* CopyFormat(const WAVEFORMATEX* format) {
    if (format == nullptr)
        return nullptr;
    const uint32_t size = GetFormatSize(format);
    auto* copy = GlobalAllocTyped<WAVEFORMATEX>(size);
    std::memcpy(copy, format, size);
    if (copy->wFormatTag == WAVE_FORMAT_PCM)
        copy->cbSize = 0;
    return copy;
}

void FreeFormat(WAVEFORMATEX*& format) {
    GlobalFreeTyped(format);
}

// ---- TMMObject ------------------------------------------------------------------------------

void TMMObject::BeginUpdate() {
    if (updateCount_ == 0)
        Changed(true);
    ++updateCount_;
}

void TMMObject::EndUpdate() {
    --updateCount_;
    if (updateCount_ == 0)
        Changed(false);
}

void TMMObject::Changed(bool starting) {
    if (starting)
        DoChanging();
    else
        DoChange();
}

void TMMObject::DoChanging() {
    if (updateCount_ == 0 && OnChanging)
        OnChanging(this);
}

void TMMObject::DoChange() {
    if (updateCount_ == 0 && OnChange)
        OnChange(this);
}

// ---- observers ------------------------------------------------------------------------------

TMMObserver::~TMMObserver() {
    if (observable_ != nullptr)
        observable_->RemoveObserver(this);
}

void TMMObserver::Notify(TObject* data) {
    if (OnNotify)
        OnNotify(this, data);
}

TMMObservable::~TMMObservable() {
    while (!observers_.empty())
        RemoveObserver(observers_.back());
}

void TMMObservable::AddObserver(TMMObserver* observer) {
    if (observer == nullptr)
        return;
    if (observer->observable_ != nullptr)
        observer->observable_->RemoveObserver(observer);
    observers_.push_back(observer);
    observer->observable_ = this;
}

void TMMObservable::RemoveObserver(TMMObserver* observer) {
    if (observer == nullptr || observer->observable_ != this)
        return;
    auto found = std::find(observers_.begin(), observers_.end(), observer);
    if (found != observers_.end())
        observers_.erase(found);
    observer->observable_ = nullptr;
}

void TMMObservable::NotifyObservers(TObject* data) {
    // An observer may detach itself while notified: walk by index from the end.
    for (std::size_t i = observers_.size(); i-- > 0;) {
        if (i < observers_.size())
            observers_[i]->Notify(data);
    }
}

// ---- components -----------------------------------------------------------------------------

TMMComponent::TMMComponent(TMMComponentOwner* owner) : owner_(owner) {
    if (owner_ != nullptr)
        owner_->Insert(this);
}

TMMComponent::~TMMComponent() {
    // Destroyed without DestroyComponent (a component on the stack): leave the owner at least.
    if (owner_ != nullptr)
        owner_->Remove(this);
}

void TMMComponent::SetDesigning(bool value) {
    if (value)
        state_ |= csDesigning;
    else
        state_ &= ~static_cast<unsigned>(csDesigning);
}

void TMMComponent::Loaded() {
    state_ &= ~static_cast<unsigned>(csLoading | csReading);
}

void TMMComponent::Notification(TMMComponent*, TOperation) {}

bool TMMComponent::SetPublishedValue(std::string_view, const TPropertyValue&) {
    return false;
}

bool TMMComponent::SetPublishedLink(std::string_view, TMMComponent*) {
    return false;
}

void DestroyComponent(TMMComponent* component) {
    if (component == nullptr || component->IsDestroying())
        return;
    component->state_ |= csDestroying;
    component->Destroying();
    if (TMMComponentOwner* owner = component->owner_) {
        owner->Remove(component);
        component->owner_ = nullptr;
        // The siblings drop what they hold of it.
        const auto siblings = owner->components_;
        for (TMMComponent* sibling : siblings)
            sibling->Notification(component, opRemove);
    }
    delete component;
}

namespace {
std::map<std::string, TComponentFactory>& ClassRegistry() {
    static std::map<std::string, TComponentFactory> registry;
    return registry;
}
} // namespace

void RegisterComponentClass(const std::string& className, TComponentFactory factory) {
    ClassRegistry()[className] = std::move(factory);
}

bool IsComponentClassRegistered(const std::string& className) {
    return ClassRegistry().count(className) != 0;
}

TMMComponentOwner::~TMMComponentOwner() {
    DestroyComponents();
}

void TMMComponentOwner::DestroyComponents() {
    while (!components_.empty())
        DestroyComponent(components_.back());
}

void TMMComponentOwner::Insert(TMMComponent* component) {
    components_.push_back(component);
}

void TMMComponentOwner::Remove(TMMComponent* component) {
    auto found = std::find(components_.begin(), components_.end(), component);
    if (found != components_.end())
        components_.erase(found);
}

TMMComponent* TMMComponentOwner::FindComponent(std::string_view name) const {
    for (TMMComponent* component : components_)
        if (component->Name() == name)
            return component;
    return nullptr;
}

void TMMComponentOwner::Load(const TComponentsDescription& description) {
    std::vector<TMMComponent*> loading;
    // Every component leaves the loading state, also when the description fails half way.
    struct EndLoading {
        std::vector<TMMComponent*>& components;
        bool done = false;
        ~EndLoading() {
            if (done)
                return;
            for (TMMComponent* component : components)
                component->state_ &= ~static_cast<unsigned>(csLoading | csReading);
        }
    } guard{loading};

    for (const TComponentDescription& item : description.components) {
        auto factory = ClassRegistry().find(item.className);
        if (factory == ClassRegistry().end())
            throw std::invalid_argument("Class " + item.className + " not found");
        if (item.name.empty() || FindComponent(item.name) != nullptr)
            throw std::invalid_argument("A component named \"" + item.name + "\" already exists");
        TMMComponent* component = factory->second(this);
        component->SetName(item.name);
        component->BeginLoading();
        loading.push_back(component);
        for (const auto& [property, value] : item.properties)
            if (!component->SetPublishedValue(property, value))
                throw std::invalid_argument(item.name + ": property " + property +
                                            " does not exist");
    }
    for (const TLinkDescription& link : description.links) {
        TMMComponent* component = FindComponent(link.component);
        TMMComponent* target = link.target.empty() ? nullptr : FindComponent(link.target);
        if (component == nullptr || (!link.target.empty() && target == nullptr))
            throw std::invalid_argument("Link " + link.component + "." + link.property +
                                        ": component not found");
        if (!component->SetPublishedLink(link.property, target))
            throw std::invalid_argument(link.component + ": property " + link.property +
                                        " does not exist");
    }
    for (TMMComponent* component : loading)
        component->EndReading();
    guard.done = true;
    for (TMMComponent* component : loading)
        component->Loaded();
}
