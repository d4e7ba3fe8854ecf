#include "platform/toolkit/FormData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> gEvents;

class TRfTarget : public TComponent {
  public:
    using TComponent::TComponent;
    std::string ClassName() const override { return "TRfTarget"; }
};

class TRfOther : public TComponent {
  public:
    using TComponent::TComponent;
    std::string ClassName() const override { return "TRfOther"; }
};

// Follows a target the way a framer follows its port.
class TRfFollower : public TComponent {
  public:
    using TComponent::TComponent;
    std::string ClassName() const override { return "TRfFollower"; }
    TRfTarget* Target() const { return FTarget; }
    void SetTarget(TRfTarget* Value) {
        if (Value && Value->Name() == "Refused") throw Exception("this target is refused");
        gEvents.push_back(Name() + ".SetTarget " + (Value ? Value->Name() : "nil") +
                          (ComponentState().Contains(csLoading) ? " while loading" : ""));
        FTarget = Value;
    }
    void Loaded() override {
        TComponent::Loaded();
        gEvents.push_back(Name() + ".Loaded");
    }

  private:
    TRfTarget* FTarget = nullptr;
};

void Register() {
    TPublished<TComponent>("TComponent").Register();
    TPublished<TRfTarget>("TRfTarget", "TComponent").Register();
    TPublished<TRfOther>("TRfOther", "TComponent").Register();
    TPublished<TRfFollower>("TRfFollower", "TComponent")
        .Component<TRfTarget>("Target", &TRfFollower::Target, &TRfFollower::SetTarget, "TRfTarget")
        .Register();
}

class FormDataReference : public testing::Test {
  protected:
    void SetUp() override {
        Register();
        gEvents.clear();
    }
};

} // namespace

TEST_F(FormDataReference, BindsAfterTheWholeFormIsReadAndWritesTheNameBack) {
    TComponent form(nullptr);
    // The follower comes first and names a target further down; a nested follower names its
    // sibling inside the same owner.
    ReadComponentData(form, "Form: TComponent {\n"
                            "  F1: TRfFollower {\n    Target = T1\n  }\n"
                            "  T1: TRfTarget {\n  }\n"
                            "  Panel: TComponent {\n"
                            "    F2: TRfFollower {\n      target = inner\n    }\n"
                            "    Inner: TRfTarget {\n    }\n"
                            "  }\n"
                            "  F3: TRfFollower {\n  }\n"
                            "}\n");
    auto* f1 = dynamic_cast<TRfFollower*>(form.FindComponent("F1"));
    auto* panel = form.FindComponent("Panel");
    ASSERT_TRUE(f1 && panel);
    auto* f2 = dynamic_cast<TRfFollower*>(panel->FindComponent("F2"));
    ASSERT_NE(f2, nullptr);
    EXPECT_EQ(f1->Target(), form.FindComponent("T1"));
    EXPECT_EQ(f2->Target(), panel->FindComponent("Inner"));
    // Set once, while still loading, before any Loaded.
    EXPECT_EQ(gEvents,
              (std::vector<std::string>{"F1.SetTarget T1 while loading", "F2.SetTarget Inner while loading",
                                        "F1.Loaded", "F2.Loaded", "F3.Loaded"}));

    const std::string text = WriteComponent(form);
    EXPECT_NE(text.find("    Target = T1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("      Target = Inner\n"), std::string::npos) << text;
    // An empty reference is not written.
    EXPECT_EQ(text.find("F3: TRfFollower {\n    Target"), std::string::npos) << text;
}

TEST_F(FormDataReference, BadReferencesAreRefusedWithTheirLineAndTheReadIsUndone) {
    struct TRow {
        const char* Value;
        const char* Message;
    };
    const TRow rows[] = {
        {"Nowhere",
         "Form data (line 3, component F1, property Target): no component named Nowhere in this form"},
        {"O1", "Form data (line 3, component F1, property Target): O1 is a TRfOther, not a TRfTarget"},
        {"\"T1\"", "Form data (line 3, component F1, property Target): a component name is expected"},
        {"Refused", "Form data (line 3, component F1, property Target): this target is refused"},
    };
    for (const TRow& r : rows) {
        TComponent form(nullptr);
        const std::string text = std::string("Form: TComponent {\n  F1: TRfFollower {\n    Target = ") +
                                 r.Value +
                                 "\n  }\n  T1: TRfTarget {\n  }\n  O1: TRfOther {\n  }\n"
                                 "  Refused: TRfTarget {\n  }\n}\n";
        try {
            ReadComponentData(form, text);
            ADD_FAILURE() << "no error for " << r.Value;
        } catch (const EFormDataError& e) {
            EXPECT_EQ(std::string(e.what()), r.Message);
        }
        EXPECT_EQ(form.ComponentCount(), 0) << r.Value;
    }
}

TEST_F(FormDataReference, AReferenceOutsideTheWrittenFormIsLeftOutAndTheFormStaysReadable) {
    TComponent elsewhere(nullptr);
    auto* target = new TRfTarget(&elsewhere);
    target->SetName("T1");
    TComponent form(nullptr);
    form.SetName("Form");
    auto* follower = new TRfFollower(&form);
    follower->SetName("F1");
    // Same name as a component of the form, but another object: written, it would bind wrongly.
    auto* own = new TRfTarget(&form);
    own->SetName("T1");
    follower->SetTarget(target);
    const std::string text = WriteComponent(form);
    EXPECT_EQ(text.find("Target ="), std::string::npos) << text;
    TComponent copy(nullptr);
    EXPECT_NO_THROW(ReadComponentData(copy, text));
    follower->SetTarget(nullptr);
}
