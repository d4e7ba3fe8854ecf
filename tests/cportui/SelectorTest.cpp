#include "cport/ComPort.h"
#include "cportui/ComSelect.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/FormData.h"

#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A plain list for the engine alone, so list filling and matching are seen without a widget.
class TListItems : public TSelectItems {
  public:
    void Clear() override { Items.clear(); }
    void Add(const std::string& Text) override { Items.push_back(Text); }
    int Count() const override { return static_cast<int>(Items.size()); }
    std::string Strings(int Index) const override { return Items.at(static_cast<size_t>(Index)); }
    std::vector<std::string> Items;
};

class SelectorTest : public testing::Test {
  protected:
    void SetUp() override {
        SetSystemPortListOverride(std::vector<TSystemPort>{
            {"COM4:", "/dev/null"}, {"LPT1:", "/dev/null"}, {"COM2:", "/dev/null"}, {"COM11:", "/dev/null"}});
        Port = std::make_unique<TComPort>(nullptr);
    }
    void TearDown() override {
        Port.reset();
        SetSystemPortListOverride(std::nullopt);
    }
    // Picks item Index as the user would: the combo box reports a pick through activated.
    static void Pick(TComComboBox& Box, int Index) {
        Box.setCurrentIndex(Index);
        emit Box.activated(Index);
    }
    std::unique_ptr<TComPort> Port;
};

} // namespace

TEST_F(SelectorTest, ListsFollowTheConversionsAndEnumeration) {
    TListItems items;
    TComSelect select(&items);
    select.SetComProperty(cpBaudRate);
    ASSERT_EQ(items.Count(), 16);
    EXPECT_EQ(items.Items.front(), "Custom");
    EXPECT_EQ(items.Items.back(), "256000");
    const std::pair<TComProperty, std::vector<std::string>> lists[] = {
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpPort, {"COM4", "COM2", "COM11"}}, // as found, unsorted; LPT1 is no COM port
        {cpNone, {}}};
    for (const auto& [property, want] : lists) {
        select.SetComProperty(property);
        EXPECT_EQ(items.Items, want) << int(property);
    }
}

TEST_F(SelectorTest, ReadingThePortMatchesWithoutCaseAndKeepsTheListSpelling) {
    TListItems items;
    TComSelect select(&items);
    select.SetComProperty(cpPort);
    // A list spelled otherwise than the port spells its names.
    items.Items = {"com4", "Com2"};
    select.SetComPort(Port.get());
    Port->SetPort("COM2");
    int index = 99;
    select.UpdateSettings(index);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(select.PendingPort(), "Com2");

    // A port the list does not hold: no entry, and the pending name stays what it was.
    Port->SetPort("COM7");
    select.UpdateSettings(index);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(select.PendingPort(), "Com2");
    select.ApplySettings();
    EXPECT_EQ(Port->Port(), "COM2"); // the port normalises what it is given
}

TEST_F(SelectorTest, OtherSettingsReadIntoPendingValues) {
    TListItems items;
    TComSelect select(&items);
    select.SetComPort(Port.get());
    Port->SetStopBits(sbOne5StopBits);
    Port->Parity().SetBits(prSpace);
    int index = -1;
    select.SetComProperty(cpStopBits);
    select.UpdateSettings(index);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(select.PendingStopBits(), sbOne5StopBits);
    select.SetComProperty(cpParity);
    select.UpdateSettings(index);
    EXPECT_EQ(index, 4);
    EXPECT_EQ(select.PendingParity(), prSpace);
    // Reading one setting leaves the pending values of the others alone.
    EXPECT_EQ(select.PendingStopBits(), sbOne5StopBits);
    EXPECT_EQ(select.PendingBaudRate(), brCustom);
}

TEST_F(SelectorTest, UnlistedPortAppliesTheEmptyNameWhichThePortNormalises) {
    TListItems items;
    TComSelect select(&items);
    select.SetComProperty(cpPort);
    Port->SetPort("COM9");
    select.SetComPort(Port.get());
    int index = 5;
    select.UpdateSettings(index);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(select.PendingPort(), "");
    select.ApplySettings();
    EXPECT_EQ(Port->Port(), "COM1");
}

TEST_F(SelectorTest, NothingIsReadWithoutPortOrProperty) {
    TListItems items;
    TComSelect select(&items);
    select.SetComProperty(cpBaudRate);
    int index = 7;
    select.UpdateSettings(index); // no port
    EXPECT_EQ(index, 7);
    select.SetComPort(Port.get());
    select.SetComProperty(cpNone);
    select.UpdateSettings(index);
    EXPECT_EQ(index, 7);
    select.ApplySettings(); // cpNone writes nothing
    EXPECT_EQ(Port->BaudRate(), br9600);
}

TEST_F(SelectorTest, ComboWithoutAutoApplyLeavesThePortUntilApplied) {
    TComComboBox box(nullptr, nullptr);
    box.SetComProperty(cpBaudRate);
    box.SetComPort(Port.get());
    EXPECT_EQ(box.Text(), "9600");
    int changes = 0;
    box.OnChange = [&](TObject* Sender) {
        ++changes;
        EXPECT_EQ(Sender, static_cast<TObject*>(&box));
    };
    Pick(box, box.findText("115200"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(Port->BaudRate(), br9600);
    box.ApplySettings();
    EXPECT_EQ(Port->BaudRate(), br115200);
}

TEST_F(SelectorTest, ComboWithAutoApplyWritesEachPickThroughTheSetter) {
    TComComboBox box(nullptr, nullptr);
    box.SetComProperty(cpParity);
    box.SetComPort(Port.get());
    box.SetAutoApply(true);
    Pick(box, box.findText("Mark"));
    EXPECT_EQ(Port->Parity().Bits(), prMark);
    box.SetComProperty(cpFlowControl);
    // Changing the shown setting with a port bound selects the port's value.
    EXPECT_EQ(box.Text(), FlowControlToStr(Port->FlowControl().FlowControl()));
    Pick(box, box.findText("Software"));
    EXPECT_EQ(Port->FlowControl().FlowControl(), fcSoftware);
}

TEST_F(SelectorTest, CustomBaudRateSelectsCustom) {
    Port->SetBaudRate(brCustom);
    Port->SetCustomBaudRate(250000);
    TComComboBox box(nullptr, nullptr);
    box.SetComProperty(cpBaudRate);
    box.SetComPort(Port.get());
    EXPECT_EQ(box.ItemIndex(), 0);
    EXPECT_EQ(box.Text(), "Custom");
}

TEST_F(SelectorTest, ComboTextMatchesWithoutCaseAndIgnoresUnknownText) {
    TComComboBox box(nullptr, nullptr);
    box.SetComProperty(cpParity);
    EXPECT_EQ(box.ItemIndex(), 0); // no port: the first entry
    box.SetText("even");
    EXPECT_EQ(box.Text(), "Even");
    box.SetText("Diagonal");
    EXPECT_EQ(box.Text(), "Even");
    box.SetComProperty(cpNone);
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.ItemIndex(), -1);
    EXPECT_EQ(box.Text(), "");
}

TEST_F(SelectorTest, SelectorFollowsThePortOnlyWhenBound) {
    TComComboBox box(nullptr, nullptr);
    box.SetComProperty(cpDataBits);
    box.SetComPort(Port.get());
    Port->SetDataBits(dbSix);
    EXPECT_EQ(box.Text(), "8"); // no link: later changes are not seen
    box.UpdateSettings();
    EXPECT_EQ(box.Text(), "6");
    // Binding the same port again reads nothing.
    Port->SetDataBits(dbSeven);
    box.SetComPort(Port.get());
    EXPECT_EQ(box.Text(), "6");
}

TEST_F(SelectorTest, DestroyingTheBoundPortUnbindsAndSelectsTheFirstItem) {
    TComComboBox box(nullptr, nullptr);
    TComRadioGroup group(nullptr, nullptr);
    box.SetComProperty(cpStopBits);
    group.SetComProperty(cpStopBits);
    Port->SetStopBits(sbTwoStopBits);
    box.SetComPort(Port.get());
    group.SetComPort(Port.get());
    EXPECT_EQ(box.ItemIndex(), 2);
    EXPECT_EQ(group.ItemIndex(), 2);
    EXPECT_EQ(group.LastIndex(), 2);
    Port.reset();
    EXPECT_EQ(box.ComPort(), nullptr);
    EXPECT_EQ(group.ComPort(), nullptr);
    EXPECT_EQ(box.ItemIndex(), 0);
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(group.LastIndex(), 0);
    box.ApplySettings(); // unbound: nothing to write, nothing to crash on
}

TEST_F(SelectorTest, SelectorDestroyedBeforeThePortIsForgotten) {
    {
        TComComboBox box(nullptr, nullptr);
        box.SetComProperty(cpParity);
        box.SetComPort(Port.get());
    }
    // The port must not tell a selector that is gone (ASan reports a use after free otherwise).
    Port.reset();
}

TEST_F(SelectorTest, RadioClickOnTheAppliedButtonDoesNotApplyAgain) {
    TComRadioGroup group(nullptr, nullptr);
    group.resize(120, 120);
    group.SetComProperty(cpParity);
    group.SetComPort(Port.get());
    group.SetAutoApply(true);
    int clicks = 0;
    group.OnClick = [&](TObject*) { ++clicks; };
    ASSERT_EQ(group.LastIndex(), 0);

    QTest::mouseClick(group.Button(2), Qt::LeftButton);
    EXPECT_EQ(Port->Parity().Bits(), prEven);
    EXPECT_EQ(group.LastIndex(), 2);
    EXPECT_EQ(clicks, 1);

    // The port changes behind the selector's back; a click on the applied button only raises
    // OnClick, so the port keeps its own value.
    Port->Parity().SetBits(prOdd);
    QTest::mouseClick(group.Button(2), Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(Port->Parity().Bits(), prOdd);

    QTest::mouseClick(group.Button(4), Qt::LeftButton);
    EXPECT_EQ(Port->Parity().Bits(), prSpace);
    EXPECT_EQ(clicks, 3);
}

TEST_F(SelectorTest, RadioPropertyChangeKeepsTheLastAppliedIndex) {
    TComRadioGroup group(nullptr, nullptr);
    group.SetComProperty(cpDataBits);
    group.SetComPort(Port.get());
    EXPECT_EQ(group.LastIndex(), 3);
    group.SetComProperty(cpStopBits);
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(group.LastIndex(), 3);
    group.SetComProperty(cpNone);
    EXPECT_EQ(group.ItemCount(), 0);
    EXPECT_EQ(group.ItemIndex(), -1);
}

namespace {

// A window that places its selectors from stored form data.
class TSelectorForm : public QWidget, public TComponent {
  public:
    TSelectorForm() : TComponent(nullptr) {
        static const TClassInfo& info = TPublished<TSelectorForm>("TSelectorForm", "TComponent").Register();
        (void)info;
        RegisterComSelectors();
    }
    std::string ClassName() const override { return "TSelectorForm"; }
};

} // namespace

TEST_F(SelectorTest, SelectorsAreCreatedFromStoredFormDataAsChildrenOfTheirWindow) {
    TSelectorForm form;
    ReadComponentData(form, "Form: TSelectorForm {\n"
                            "  Baud: TComComboBox {\n"
                            "    ComProperty = cpBaudRate\n"
                            "    AutoApply = true\n"
                            "    Text = \"19200\"\n"
                            "  }\n"
                            "  Bits: TComRadioGroup {\n"
                            "    ComProperty = cpDataBits\n"
                            "  }\n"
                            "}\n");
    auto* baud = dynamic_cast<TComComboBox*>(form.FindComponent("Baud"));
    auto* bits = dynamic_cast<TComRadioGroup*>(form.FindComponent("Bits"));
    ASSERT_NE(baud, nullptr);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(baud->parentWidget(), &form); // the window deletes it, as it does every widget
    EXPECT_EQ(baud->ComProperty(), cpBaudRate);
    EXPECT_TRUE(baud->AutoApply());
    EXPECT_EQ(baud->Text(), "19200");
    EXPECT_EQ(bits->ItemCount(), 4);
    baud->SetComPort(Port.get());
    EXPECT_EQ(baud->Text(), "9600");
    // Only what differs from the stored defaults is written back.
    std::string text = WriteComponent(form);
    EXPECT_NE(text.find("ComProperty = cpBaudRate"), std::string::npos) << text;
    EXPECT_EQ(text.find("AutoApply = false"), std::string::npos) << text;
}
