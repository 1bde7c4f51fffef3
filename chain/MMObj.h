// Object and component bases: the change-notifying data object, observers, components with an
// owner that tells siblings about a removal, published properties set by name, and the loading
// of a description of components, properties and links.
//
// Threading: main thread only (creation, linking, loading, destruction).
#pragma once

#include "platform/MMSystem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* sender)>;

// ---- format records -------------------------------------------------------------------------

// 0 for an absent record, 18 for PCM, otherwise 18 + cbSize.
uint32_t GetFormatSize(const WAVEFORMATEX* format);
// A zero-filled global block holding a copy (cbSize 0 for PCM); nullptr for nullptr.
WAVEFORMATEX* CopyFormat(const WAVEFORMATEX* format);
void FreeFormat(WAVEFORMATEX*& format);

// ---- data object ----------------------------------------------------------------------------

class TMMObject : public TObject {
public:
    void BeginUpdate();
    void EndUpdate();
    int32_t UpdateCount() const { return updateCount_; }

    TNotifyEvent OnChanging;
    TNotifyEvent OnChange;

protected:
    virtual void Changed(bool starting);
    virtual void DoChanging();
    virtual void DoChange();

private:
    int32_t updateCount_ = 0;
};

class TMMObservable;

class TMMObserver : public TObject {
public:
    ~TMMObserver() override;
    virtual void Notify(TObject* data);
    TMMObservable* Observable() const { return observable_; }

    std::function<void(TMMObserver* sender, TObject* data)> OnNotify;

private:
    friend class TMMObservable;
    TMMObservable* observable_ = nullptr;
};

class TMMObservable : public TObject {
public:
    ~TMMObservable() override;
    void AddObserver(TMMObserver* observer);
    void RemoveObserver(TMMObserver* observer);
    // Last added first.
    void NotifyObservers(TObject* data);
    std::size_t ObserverCount() const { return observers_.size(); }

private:
    std::vector<TMMObserver*> observers_;
};

// ---- components -----------------------------------------------------------------------------

enum TComponentStateFlag : unsigned {
    csLoading = 1,
    csReading = 2,
    csDestroying = 4,
    csDesigning = 8,
};

enum TOperation { opInsert, opRemove };

using TPropertyValue = std::variant<int64_t, bool, std::string>;

class TMMComponentOwner;

// A component: created into an owner, destroyed through DestroyComponent (or its owner), which
// runs the most derived teardown (Destroying) while the object is whole and tells the siblings.
class TMMComponent : public TObject {
public:
    explicit TMMComponent(TMMComponentOwner* owner);
    ~TMMComponent() override;
    TMMComponent(const TMMComponent&) = delete;
    TMMComponent& operator=(const TMMComponent&) = delete;

    virtual const char* ClassName() const = 0;
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    TMMComponentOwner* Owner() const { return owner_; }

    unsigned ComponentState() const { return state_; }
    bool IsLoading() const { return (state_ & (csLoading | csReading)) != 0; }
    bool IsDestroying() const { return (state_ & csDestroying) != 0; }
    bool IsDesigning() const { return (state_ & csDesigning) != 0; }
    // The design-state switch; this program never designs.
    virtual void SetDesigning(bool value);
    virtual void SetDesignInstance(bool value) { SetDesigning(value); }

    // Start of loading from a description; Loaded ends it.
    void BeginLoading() { state_ |= csLoading | csReading; }
    void EndReading() { state_ &= ~static_cast<unsigned>(csReading); }
    virtual void Loaded();

    // A sibling is being inserted into or removed from the owner.
    virtual void Notification(TMMComponent* component, TOperation operation);

    // Published value properties, by name. False when the class publishes no such property.
    virtual bool SetPublishedValue(std::string_view name, const TPropertyValue& value);
    // Published component-reference properties (links), by name. False when the class publishes
    // no such property; a published link that refuses the value is ignored silently.
    virtual bool SetPublishedLink(std::string_view name, TMMComponent* value);

protected:
    // Runs first in destruction, with the object whole; overrides tear down and then call the
    // inherited one.
    virtual void Destroying() {}

private:
    friend void DestroyComponent(TMMComponent* component);
    friend class TMMComponentOwner;
    TMMComponentOwner* owner_;
    std::string name_;
    unsigned state_ = 0;
};

// Destroys a component: Destroying, the owner tells the siblings, then delete.
void DestroyComponent(TMMComponent* component);

struct TComponentDeleter {
    void operator()(TMMComponent* component) const { DestroyComponent(component); }
};
template <typename T> using TComponentPtr = std::unique_ptr<T, TComponentDeleter>;

template <typename T, typename... Args> TComponentPtr<T> MakeComponent(Args&&... args) {
    return TComponentPtr<T>(new T(std::forward<Args>(args)...));
}

// A description of components, their published properties and their links.
struct TComponentDescription {
    std::string className;
    std::string name;
    std::vector<std::pair<std::string, TPropertyValue>> properties;
};
struct TLinkDescription {
    std::string component; // the component whose property is set
    std::string property;  // "Input", "Output", "Input1", ...
    std::string target;    // the component the property holds
};
struct TComponentsDescription {
    std::vector<TComponentDescription> components;
    std::vector<TLinkDescription> links;
};

// Makes a component of a registered class into an owner.
using TComponentFactory = std::function<TMMComponent*(TMMComponentOwner* owner)>;
void RegisterComponentClass(const std::string& className, TComponentFactory factory);
bool IsComponentClassRegistered(const std::string& className);

// Owns components (the window of the program, or a test's container) and destroys them last
// created first.
class TMMComponentOwner {
public:
    TMMComponentOwner() = default;
    virtual ~TMMComponentOwner();
    TMMComponentOwner(const TMMComponentOwner&) = delete;
    TMMComponentOwner& operator=(const TMMComponentOwner&) = delete;

    const std::vector<TMMComponent*>& Components() const { return components_; }
    TMMComponent* FindComponent(std::string_view name) const;
    template <typename T> T* Find(std::string_view name) const {
        return dynamic_cast<T*>(FindComponent(name));
    }

    // Creates the described components (with their properties), applies the links once the
    // whole description is read, then ends loading with Loaded in creation order. Throws
    // std::invalid_argument for an unknown class, a duplicate or unknown name, or an unknown
    // property; the components created so far stay owned.
    void Load(const TComponentsDescription& description);

    void DestroyComponents();

private:
    friend class TMMComponent;
    friend void DestroyComponent(TMMComponent* component);
    void Insert(TMMComponent* component);
    void Remove(TMMComponent* component);

    std::vector<TMMComponent*> components_;
};
