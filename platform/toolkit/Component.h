#pragma once

#include "platform/toolkit/Object.h"
#include "platform/toolkit/TSet.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum TComponentStateItem : uint8_t { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateItem, uint8_t>;

enum TOperation : uint8_t { opInsert, opRemove };

// How an owner treats a component it owns.
//  coOwnerDeletes: a non-visual component; the owner deletes it in its own destructor.
//  coDeletedElsewhere: a widget control, deleted by its Qt parent; the owner only names it and
//    tells it about removals, and forgets it (without deleting) when the owner goes first.
enum TComponentOwnership : uint8_t { coOwnerDeletes, coDeletedElsewhere };

// The component model: owner, name, state flags and removal notices. Components live on the GUI
// thread (or on whichever single thread builds the tree); nothing here is thread-safe.
class TComponent : public TPersistent {
  public:
    explicit TComponent(TComponent* AOwner) : TComponent(AOwner, coOwnerDeletes) {}
    TComponent(TComponent* AOwner, TComponentOwnership Ownership);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    std::string ClassName() const override { return "TComponent"; }

    TComponent* Owner() const { return FOwner; }
    TComponentOwnership Ownership() const { return FOwnership; }
    const std::string& Name() const { return FName; }
    // Raises Exception for a name that is not an identifier or that a sibling already carries
    // (compared without regard to case). The empty name is always allowed.
    void SetName(const std::string& NewName);

    TComponentState ComponentState() const { return FComponentState; }
    // Marks this component and everything it owns as sitting in a designer.
    void SetDesigning(bool Value);

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    // Owned components in insertion (creation) order; Index must be in range.
    TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
    // Owned component with the given name (case-insensitive), or nullptr.
    TComponent* FindComponent(const std::string& AName) const;

    // Asks for Notification(AComponent, opRemove) when AComponent is destroyed. The request is
    // mutual, so neither side is told about an object that is already gone.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Moves a component between owners (the ownership mode stays as constructed).
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    // Called once for each removal a component is told about: the owner hears of each inserted
    // and removed component; the owner, the siblings and every FreeNotification subscriber hear of
    // a destroyed one. Overrides call the base first.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Called after the component's stored properties have been read; the base ends the loading state.
    virtual void Loaded();

    // Used by the form-data reader: sets or clears csLoading/csReading on this component only.
    void SetLoadingState(bool Value);

    // Name of the published handler an event property was bound to by the form-data reader (or by
    // code), so the writer can store it again. Empty when the event was not bound by name.
    std::string EventMethodName(const std::string& EventName) const;
    void SetEventMethodName(const std::string& EventName, const std::string& MethodName);

  protected:
    // For subclasses that set a state flag of their own (e.g. csWriting while being written).
    void SetStateFlag(TComponentStateItem Item, bool Value);
    // Tells every listener that this component is going away, once. The destructor does it too,
    // but by then a subclass's members are gone: a subclass whose listeners call back into it from
    // Notification (unregistering from it, say) calls this first in its own destructor.
    void NotifyDestroying();

  private:
    void AddSubscriber(TComponent* AComponent);
    void DropSubscriber(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    TComponentOwnership FOwnership = coOwnerDeletes;
    bool FRemovalSent = false;
    std::string FName;
    TComponentState FComponentState;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::vector<std::pair<std::string, std::string>> FEventMethods;
};
