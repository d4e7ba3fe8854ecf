#include "platform/toolkit/Component.h"
#include "platform/toolkit/Text.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsIdentifier(const std::string& s) {
    if (s.empty()) return false;
    auto start = [](unsigned char c) { return std::isalpha(c) || c == '_'; };
    if (!start(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin() + 1, s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

void Erase(std::vector<TComponent*>& v, TComponent* c) {
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
}

} // namespace

TComponent::TComponent(TComponent* AOwner, TComponentOwnership Ownership) : FOwnership(Ownership) {
    if (AOwner) AOwner->InsertComponent(this);
}

void TComponent::NotifyDestroying() {
    if (FRemovalSent) return;
    FRemovalSent = true;
    FComponentState.Include(csDestroying);

    // Everyone who will hear of this component's end, each once. Collected first, because a
    // Notification handler may drop its own subscriptions while we walk the list.
    std::vector<TComponent*> listeners = FFreeNotifies;
    if (FOwner) {
        listeners.push_back(FOwner);
        for (TComponent* sibling : FOwner->FComponents)
            if (sibling != this) listeners.push_back(sibling);
    }
    std::vector<TComponent*> told;
    for (TComponent* l : listeners) {
        if (std::find(told.begin(), told.end(), l) != told.end()) continue;
        told.push_back(l);
        // A listener may have been unsubscribed (or left the owner) by an earlier handler.
        bool stillLinked = std::find(FFreeNotifies.begin(), FFreeNotifies.end(), l) != FFreeNotifies.end() ||
                           l == FOwner ||
                           (FOwner && std::find(FOwner->FComponents.begin(), FOwner->FComponents.end(), l) !=
                                          FOwner->FComponents.end());
        if (stillLinked) l->Notification(this, opRemove);
    }
    for (TComponent* l : FFreeNotifies)
        Erase(l->FFreeNotifies, this);
    FFreeNotifies.clear();
}

TComponent::~TComponent() {
    FComponentState.Include(csDestroying);
    NotifyDestroying();

    if (FOwner) {
        Erase(FOwner->FComponents, this);
        FOwner = nullptr;
    }

    // Owned components go from the last to the first, each detached before it is deleted so it
    // does not report back to an owner that is half gone. Controls that their Qt parent deletes
    // are only let go.
    for (TComponent* c : FComponents)
        c->FComponentState.Include(csDestroying);
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        FComponents.pop_back();
        c->FOwner = nullptr;
        if (c->FOwnership == coOwnerDeletes)
            delete c;
        else
            c->FComponentState.Exclude(csDestroying);
    }
}

void TComponent::SetName(const std::string& NewName) {
    if (NewName == FName) return;
    if (!NewName.empty()) {
        if (!IsIdentifier(NewName)) throw Exception("\"" + NewName + "\" cannot be used as a component name");
        if (FOwner)
            for (TComponent* c : FOwner->FComponents)
                if (c != this && SameText(c->FName, NewName))
                    throw Exception("The name \"" + NewName + "\" is already used by another component of " +
                                    (FOwner->FName.empty() ? FOwner->ClassName() : FOwner->FName));
    }
    FName = NewName;
}

void TComponent::SetDesigning(bool Value) {
    SetStateFlag(csDesigning, Value);
    for (TComponent* c : FComponents)
        c->SetDesigning(Value);
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
    if (AName.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameText(c->FName, AName)) return c;
    return nullptr;
}

void TComponent::AddSubscriber(TComponent* AComponent) {
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
}

void TComponent::DropSubscriber(TComponent* AComponent) {
    Erase(FFreeNotifies, AComponent);
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (!AComponent || AComponent == this) return;
    AddSubscriber(AComponent);
    AComponent->AddSubscriber(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent) return;
    DropSubscriber(AComponent);
    AComponent->DropSubscriber(this);
}

void TComponent::InsertComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner == this) return;
    if (AComponent == this) throw Exception("A component cannot own itself");
    for (TComponent* o = this; o; o = o->FOwner)
        if (o == AComponent) throw Exception("A component cannot own its own owner");
    if (!AComponent->FName.empty() && FindComponent(AComponent->FName))
        throw Exception("The name \"" + AComponent->FName + "\" is already used by another component of " +
                        (FName.empty() ? ClassName() : FName));
    if (AComponent->FOwner) AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner != this) return;
    Notification(AComponent, opRemove);
    Erase(FComponents, AComponent);
    AComponent->FOwner = nullptr;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::Loaded() {
    FComponentState -= TComponentState{csLoading, csReading};
}

void TComponent::SetLoadingState(bool Value) {
    SetStateFlag(csLoading, Value);
    SetStateFlag(csReading, Value);
}

void TComponent::SetStateFlag(TComponentStateItem Item, bool Value) {
    if (Value)
        FComponentState.Include(Item);
    else
        FComponentState.Exclude(Item);
}

std::string TComponent::EventMethodName(const std::string& EventName) const {
    for (const auto& [ev, method] : FEventMethods)
        if (SameText(ev, EventName)) return method;
    return {};
}

void TComponent::SetEventMethodName(const std::string& EventName, const std::string& MethodName) {
    for (auto& [ev, method] : FEventMethods)
        if (SameText(ev, EventName)) {
            method = MethodName;
            return;
        }
    FEventMethods.emplace_back(EventName, MethodName);
}
