#include "classes/Component.h"

#include "classes/Exceptions.h"

#include <algorithm>

namespace qdo {

TComponent::TComponent(TComponent* owner) {
    if (owner != nullptr)
        owner->InsertComponent(this);
}

TComponent::~TComponent() {
    state_ |= csDestroying;
    // Owned components go last-added first. Each takes itself out of the list as it goes.
    while (!components_.empty()) {
        TComponent* child = components_.back();
        delete child;
    }
    if (owner_ != nullptr)
        owner_->RemoveComponent(this);
}

TComponent* TComponent::Components(int32_t index) const {
    if (index < 0 || index >= ComponentCount())
        throw EListError(ListIndexOutOfBounds(index));
    return components_[static_cast<size_t>(index)];
}

void TComponent::SetDesigning(bool designing) {
    if (designing)
        state_ |= csDesigning;
    else
        state_ &= ~TComponentState{csDesigning};
    for (TComponent* child : components_)
        child->SetDesigning(designing);
}

void TComponent::Loaded() {
    state_ &= ~TComponentState{csLoading};
}

void TComponent::InsertComponent(TComponent* component) {
    if (component == nullptr || component->owner_ == this)
        return;
    if (component->owner_ != nullptr)
        component->owner_->RemoveComponent(component);
    components_.push_back(component);
    component->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* component) {
    auto it = std::find(components_.begin(), components_.end(), component);
    if (it == components_.end())
        return;
    components_.erase(it);
    component->owner_ = nullptr;
}

} // namespace qdo
