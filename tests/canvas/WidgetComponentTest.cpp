#include "platform/toolkit/Component.h"

#include <QPointer>
#include <QWidget>
#include <gtest/gtest.h>

#include <memory>

namespace {

int gNonVisualAlive = 0;

// A window: a widget whose components are named and notified through the component model.
class TTestForm : public QWidget, public TComponent {
  public:
    TTestForm() : QWidget(nullptr), TComponent(nullptr, coDeletedElsewhere) {}
};

// A control: deleted by its Qt parent, only named and notified by its owner.
class TTestControl : public QWidget, public TComponent {
  public:
    TTestControl(TTestForm* Form) : QWidget(Form), TComponent(Form, coDeletedElsewhere) {}
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent == Port) Port = nullptr;
    }
    TComponent* Port = nullptr;
};

class TTestPort : public TComponent {
  public:
    using TComponent::TComponent;
    TTestPort(TComponent* AOwner) : TComponent(AOwner) { ++gNonVisualAlive; }
    ~TTestPort() override { --gNonVisualAlive; }
};

} // namespace

TEST(WidgetComponents, AFormDeletesItsPortAndQtDeletesItsControlsOnce) {
    auto form = std::make_unique<TTestForm>();
    auto* port = new TTestPort(form.get());
    auto* led = new TTestControl(form.get());
    led->Port = port;
    port->FreeNotification(led);
    QPointer<QWidget> watch(led);
    ASSERT_EQ(form->ComponentCount(), 2);
    // TComponent's destructor runs before QWidget's: the port goes (telling the LED), the LED is
    // only let go, then Qt deletes it as a child widget. ASan reports any second delete.
    form.reset();
    EXPECT_EQ(gNonVisualAlive, 0);
    EXPECT_TRUE(watch.isNull());
}

TEST(WidgetComponents, WhileTheFormLivesAControlHearsItsPortGoAndLeavesTheOwnerListWhenDeleted) {
    TTestForm form;
    auto* port = new TTestPort(&form);
    auto* led = new TTestControl(&form);
    led->SetName("Led1");
    led->Port = port;
    port->FreeNotification(led);
    delete port;
    EXPECT_EQ(led->Port, nullptr);
    ASSERT_EQ(form.FindComponent("Led1"), led);
    delete led; // as Qt does when a control is removed at run time
    EXPECT_EQ(form.FindComponent("Led1"), nullptr);
    EXPECT_EQ(form.ComponentCount(), 0);
}
