// TComponent: an object with an owner, a name, a tag and state flags.
//
// A component created with an owner is destroyed by that owner (in the owner's destructor,
// last-added first); one created without an owner belongs to its creator. A component that is
// destroyed before its owner takes itself out of the owner's list.
#pragma once

#include "classes/Persistent.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdo {

struct TPublishedProperty;

// The state flags of a component.
enum TComponentStateFlag : uint32_t {
    csLoading = 1u << 0, // its properties are being read from a stored form
    csReading = 1u << 1,
    csWriting = 1u << 2,
    csDestroying = 1u << 3, // its destructor is running
    csDesigning = 1u << 4,  // it lives in a designer, not in a running application
};
using TComponentState = uint32_t;

class QDO_API TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const noexcept { return owner_; }
    int32_t ComponentCount() const noexcept { return static_cast<int32_t>(components_.size()); }
    TComponent* Components(int32_t index) const;

    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    // A slot for the application's own use: any integer or pointer value.
    intptr_t Tag() const noexcept { return tag_; }
    void SetTag(intptr_t tag) noexcept { tag_ = tag; }

    TComponentState ComponentState() const noexcept { return state_; }
    bool IsLoading() const noexcept { return (state_ & csLoading) != 0; }
    bool IsDesigning() const noexcept { return (state_ & csDesigning) != 0; }

    // Marks the component (and what it owns) as living in a designer, or not.
    void SetDesigning(bool designing);

    // Reading a stored form: Loading sets csLoading before the properties are read; Loaded is
    // called once they all are, clears csLoading and lets the component act on what it read.
    void Loading() noexcept { state_ |= csLoading; }
    virtual void Loaded();
    // Leaves the loading state without Loaded, when reading a form failed.
    void CancelLoading() noexcept { state_ &= ~TComponentState{csLoading}; }

    // Adds the properties this class publishes to `properties`, after those of its base (the
    // base publishes Tag, default 0). Stored forms are written and read through this list.
    virtual void GetPublishedProperties(std::vector<TPublishedProperty>& properties);

    // Takes a component into this one's list of owned components (taking it from its old
    // owner's), or out of it; RemoveComponent does not destroy it.
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

private:
    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::string name_;
    intptr_t tag_ = 0;
    TComponentState state_ = 0;
};

} // namespace qdo
