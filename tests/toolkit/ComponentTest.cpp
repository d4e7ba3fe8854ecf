#include "platform/toolkit/Component.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

namespace {

// Records every notification it receives and, like a real follower, forgets a watched component
// when told of its removal and uses the pointer in its own destructor.
class TProbe : public TComponent {
  public:
    TProbe(TComponent* AOwner, int* Alive, TComponentOwnership Mode = coOwnerDeletes)
        : TComponent(AOwner, Mode), FAlive(Alive) {
        if (FAlive) ++*FAlive;
    }
    ~TProbe() override {
        if (Watched)
            Watched->RemoveFreeNotification(this); // would be a use-after-free if the notice was missed
        if (FAlive) --*FAlive;
    }
    void Watch(TComponent* C) {
        Watched = C;
        C->FreeNotification(this);
    }
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        Heard.push_back({AComponent, Operation});
        if (Operation == opRemove && AComponent == Watched) Watched = nullptr;
    }
    int Count(TComponent* C, TOperation Op) const {
        int n = 0;
        for (auto& [c, op] : Heard)
            n += c == C && op == Op;
        return n;
    }
    TComponent* Watched = nullptr;
    std::vector<std::pair<TComponent*, TOperation>> Heard;

  private:
    int* FAlive;
};

} // namespace

TEST(ComponentOwnership, OwnerDeletesWhatItOwnsInItsDestructor) {
    int alive = 0;
    auto owner = std::make_unique<TProbe>(nullptr, &alive);
    auto* a = new TProbe(owner.get(), &alive);
    new TProbe(a, &alive); // owned by a: deleted through a
    new TProbe(owner.get(), &alive);
    EXPECT_EQ(alive, 4);
    EXPECT_EQ(owner->ComponentCount(), 2);
    EXPECT_EQ(owner->Components(0), a);
    EXPECT_EQ(a->Owner(), owner.get());
    owner.reset();
    EXPECT_EQ(alive, 0);
}

TEST(ComponentOwnership, DeletingAnOwnedComponentTakesItOutOfItsOwnerWhoeverDeletesIt) {
    for (TComponentOwnership mode : {coOwnerDeletes, coDeletedElsewhere}) {
        int alive = 0;
        TProbe owner(nullptr, &alive);
        auto* a = new TProbe(&owner, &alive, mode);
        auto* b = new TProbe(&owner, nullptr);
        a->SetName("A");
        delete a;
        EXPECT_EQ(owner.ComponentCount(), 1) << int(mode);
        EXPECT_EQ(owner.Components(0), b);
        EXPECT_EQ(owner.FindComponent("A"), nullptr);
        EXPECT_EQ(owner.Count(a, opRemove), 1);
        EXPECT_EQ(alive, 1);
    }
}

TEST(ComponentOwnership, ControlDeletedElsewhereIsNeverDeletedByItsOwner) {
    int alive = 0;
    // The control's real deleter (its Qt parent in the GUI) holds it here.
    std::unique_ptr<TProbe> control;
    {
        TProbe form(nullptr, &alive);
        control = std::make_unique<TProbe>(&form, &alive, coDeletedElsewhere);
        control->SetName("Button1");
        EXPECT_EQ(form.FindComponent("button1"), control.get());
    }
    // The owner went first: the control survives, without an owner, and is deleted once.
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(control->Owner(), nullptr);
    EXPECT_FALSE(control->ComponentState().Contains(csDestroying));
    control.reset();
    EXPECT_EQ(alive, 0);
}

TEST(ComponentOwnership, InsertAndRemoveMoveAComponentBetweenOwners) {
    TProbe a(nullptr, nullptr), b(nullptr, nullptr);
    auto* c = new TProbe(&a, nullptr);
    EXPECT_EQ(a.Count(c, opInsert), 1);
    b.InsertComponent(c);
    EXPECT_EQ(a.ComponentCount(), 0);
    EXPECT_EQ(a.Count(c, opRemove), 1);
    EXPECT_EQ(b.Count(c, opInsert), 1);
    EXPECT_EQ(c->Owner(), &b);
    EXPECT_THROW(c->InsertComponent(&b), Exception); // would make a cycle
}

TEST(ComponentNotification, DestroyingAComponentTellsEverySubscriberOnce) {
    TProbe form(nullptr, nullptr);
    auto* port = new TProbe(&form, nullptr);
    auto* sibling = new TProbe(&form, nullptr); // sibling and subscriber: still told once
    TProbe outsider(nullptr, nullptr);
    sibling->Watch(port);
    outsider.Watch(port);
    port->FreeNotification(&outsider); // asking twice does not double the notice
    delete port;
    EXPECT_EQ(sibling->Count(port, opRemove), 1);
    EXPECT_EQ(outsider.Count(port, opRemove), 1);
    EXPECT_EQ(form.Count(port, opRemove), 1);
    EXPECT_EQ(sibling->Watched, nullptr);
    EXPECT_EQ(outsider.Watched, nullptr);
}

TEST(ComponentNotification, SubscriptionIsMutualSoNeitherSideHearsOfAGhost) {
    auto port = std::make_unique<TProbe>(nullptr, nullptr);
    TComponent* ledAddress = nullptr;
    {
        TProbe led(nullptr, nullptr);
        ledAddress = &led;
        led.Watch(port.get());
        led.Watched = nullptr; // leaves without unsubscribing: the component base must tidy up
    }
    // The port heard the LED go, so destroying the port later calls nobody who is gone
    // (ASan reports it if it does).
    EXPECT_EQ(port->Count(ledAddress, opRemove), 1);
    port.reset();
}

TEST(ComponentNotification, RemoveFreeNotificationStopsTheNotice) {
    auto port = std::make_unique<TProbe>(nullptr, nullptr);
    TProbe led(nullptr, nullptr);
    led.Watch(port.get());
    led.RemoveFreeNotification(port.get());
    led.Watched = nullptr;
    TComponent* gone = port.get();
    port.reset();
    EXPECT_EQ(led.Count(gone, opRemove), 0);
}

TEST(ComponentNotification, SiblingsDestroyedWithTheirOwnerStillHearOfEachOther) {
    int alive = 0;
    auto form = std::make_unique<TProbe>(nullptr, &alive);
    auto* led = new TProbe(form.get(), &alive);
    auto* port = new TProbe(form.get(), &alive); // deleted first (last created)
    led->Watch(port);
    form.reset(); // the LED's destructor uses Watched: it must have been cleared
    EXPECT_EQ(alive, 0);
}

TEST(ComponentNames, NamesAreIdentifiersAndUniqueAmongSiblingsIgnoringCase) {
    TProbe form(nullptr, nullptr);
    auto* a = new TProbe(&form, nullptr);
    auto* b = new TProbe(&form, nullptr);
    a->SetName("ComPort1");
    EXPECT_THROW(b->SetName("comport1"), Exception);
    EXPECT_THROW(b->SetName("1Port"), Exception);
    EXPECT_THROW(b->SetName("Com Port"), Exception);
    EXPECT_EQ(b->Name(), "");
    b->SetName("ComPort2");
    a->SetName("");
    b->SetName("ComPort1"); // free again
    EXPECT_EQ(form.FindComponent("COMPORT1"), b);
    EXPECT_EQ(form.FindComponent(""), nullptr);
}

TEST(ComponentState, DesigningSpreadsToOwnedComponentsAndLoadedEndsLoading) {
    TProbe form(nullptr, nullptr);
    auto* a = new TProbe(&form, nullptr);
    form.SetDesigning(true);
    EXPECT_TRUE(a->ComponentState().Contains(csDesigning));
    a->SetLoadingState(true);
    EXPECT_TRUE(a->ComponentState().Contains(csLoading));
    a->Loaded();
    EXPECT_FALSE(a->ComponentState().Contains(csLoading));
    EXPECT_TRUE(a->ComponentState().Contains(csDesigning));
}
