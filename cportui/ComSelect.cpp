#include "cportui/ComSelect.h"
#include "platform/toolkit/Text.h"

#include "cport/ComPort.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QResizeEvent>

#include <algorithm>
#include <cctype>

namespace {

QString ToQ(const std::string& S) {
    return QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size()));
}
std::string FromQ(const QString& S) {
    return S.toUtf8().toStdString();
}

// The widget parent of a control created by its owner alone (the form-data reader does that).
QWidget* ParentOf(TComponent* AOwner) {
    return dynamic_cast<QWidget*>(AOwner);
}

const std::vector<std::string>& ComPropertyNames() {
    static const std::vector<std::string> names{"cpNone",     "cpPort",   "cpBaudRate",   "cpDataBits",
                                                "cpStopBits", "cpParity", "cpFlowControl"};
    return names;
}

} // namespace

std::string ComPropertyToStr(TComProperty Value) {
    const auto& names = ComPropertyNames();
    return Value < names.size() ? names[Value] : std::string();
}

void TComSelect::SelectPort() {
    FItems->Clear();
    std::vector<std::string> ports;
    EnumComPorts(ports);
    for (const auto& p : ports)
        FItems->Add(p);
}

void TComSelect::SelectBaudRate() {
    FItems->Clear();
    for (int i = brCustom; i <= br256000; ++i)
        FItems->Add(BaudRateToStr(static_cast<TBaudRate>(i)));
}

void TComSelect::SelectDataBits() {
    FItems->Clear();
    for (int i = dbFive; i <= dbEight; ++i)
        FItems->Add(DataBitsToStr(static_cast<TDataBits>(i)));
}

void TComSelect::SelectStopBits() {
    FItems->Clear();
    for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
        FItems->Add(StopBitsToStr(static_cast<TStopBits>(i)));
}

void TComSelect::SelectParity() {
    FItems->Clear();
    for (int i = prNone; i <= prSpace; ++i)
        FItems->Add(ParityToStr(static_cast<TParityBits>(i)));
}

void TComSelect::SelectFlowControl() {
    FItems->Clear();
    for (int i = fcHardware; i <= fcCustom; ++i)
        FItems->Add(FlowControlToStr(static_cast<TFlowControl>(i)));
}

void TComSelect::SetComProperty(TComProperty Value) {
    FComProperty = Value;
    switch (Value) {
    case cpNone:
        FItems->Clear();
        break;
    case cpPort:
        SelectPort();
        break;
    case cpBaudRate:
        SelectBaudRate();
        break;
    case cpDataBits:
        SelectDataBits();
        break;
    case cpStopBits:
        SelectStopBits();
        break;
    case cpParity:
        SelectParity();
        break;
    case cpFlowControl:
        SelectFlowControl();
        break;
    }
}

void TComSelect::Change(const std::string& Text) {
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FPort = Text;
        break;
    case cpBaudRate:
        FBaudRate = StrToBaudRate(Text);
        break;
    case cpDataBits:
        FDataBits = StrToDataBits(Text);
        break;
    case cpStopBits:
        FStopBits = StrToStopBits(Text);
        break;
    case cpParity:
        FParity = StrToParity(Text);
        break;
    case cpFlowControl:
        FFlowControl = StrToFlowControl(Text);
        break;
    }
    if (FAutoApply) ApplySettings();
}

void TComSelect::ApplySettings() {
    if (!FComPort) return;
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FComPort->SetPort(FPort);
        break;
    case cpBaudRate:
        FComPort->SetBaudRate(FBaudRate);
        break;
    case cpDataBits:
        FComPort->SetDataBits(FDataBits);
        break;
    case cpStopBits:
        FComPort->SetStopBits(FStopBits);
        break;
    case cpParity:
        FComPort->Parity().SetBits(FParity);
        break;
    case cpFlowControl:
        FComPort->FlowControl().SetFlowControl(FFlowControl);
        break;
    }
}

void TComSelect::UpdateSettings(int& ItemIndex) {
    if (!FComPort || FComProperty == cpNone) return;
    std::string text;
    switch (FComProperty) {
    case cpNone:
        return;
    case cpPort:
        text = FComPort->Port();
        break;
    case cpBaudRate:
        text = BaudRateToStr(FComPort->BaudRate());
        break;
    case cpDataBits:
        text = DataBitsToStr(FComPort->DataBits());
        break;
    case cpStopBits:
        text = StopBitsToStr(FComPort->StopBits());
        break;
    case cpParity:
        text = ParityToStr(FComPort->Parity().Bits());
        break;
    case cpFlowControl:
        text = FlowControlToStr(FComPort->FlowControl().FlowControl());
        break;
    }
    ItemIndex = -1;
    for (int i = 0; i < FItems->Count(); ++i)
        if (SameText(FItems->Strings(i), text)) {
            ItemIndex = i;
            break;
        }
    if (ItemIndex < 0) return;
    // The entry as spelled in the list, so a port name read in another case is applied as listed.
    const std::string entry = FItems->Strings(ItemIndex);
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FPort = entry;
        break;
    case cpBaudRate:
        FBaudRate = StrToBaudRate(entry);
        break;
    case cpDataBits:
        FDataBits = StrToDataBits(entry);
        break;
    case cpStopBits:
        FStopBits = StrToStopBits(entry);
        break;
    case cpParity:
        FParity = StrToParity(entry);
        break;
    case cpFlowControl:
        FFlowControl = StrToFlowControl(entry);
        break;
    }
}

// The combo box's own item list, seen through the engine's interface.
bool TComSelect::BindPort(TComponent& Follower, TCustomComPort* Value) {
    if (Value == FComPort) return false;
    if (FComPort) FComPort->RemoveFreeNotification(&Follower);
    FComPort = Value;
    if (!Value) return false;
    Value->FreeNotification(&Follower);
    return true;
}

void TComSelect::UnbindPort(TComponent& Follower) {
    if (FComPort) FComPort->RemoveFreeNotification(&Follower);
    FComPort = nullptr;
}

bool TComSelect::PortRemoved(TComponent* AComponent, TOperation Operation) {
    if (Operation != opRemove || !AComponent || AComponent != FComPort) return false;
    FComPort = nullptr;
    return true;
}

std::optional<int> TComSelect::ShowProperty(TComProperty Value) {
    SetComProperty(Value);
    if (FItems->Count() == 0) return std::nullopt;
    int index = 0;
    if (FComPort) {
        index = -1;
        UpdateSettings(index);
    }
    return index;
}

class TComComboBox::TItems : public TSelectItems {
  public:
    explicit TItems(QComboBox& Box) : FBox(Box) {}
    void Clear() override { FBox.clear(); }
    void Add(const std::string& Text) override { FBox.addItem(ToQ(Text)); }
    int Count() const override { return FBox.count(); }
    std::string Strings(int Index) const override { return FromQ(FBox.itemText(Index)); }

  private:
    QComboBox& FBox;
};

TComComboBox::TComComboBox(QWidget* Parent, TComponent* AOwner)
    : QComboBox(Parent), TComponent(AOwner, coDeletedElsewhere), FItems(std::make_unique<TItems>(*this)),
      FComSelect(std::make_unique<TComSelect>(FItems.get())) {
    SetStyle(csDropDownList); // the user picks, never types, unless the style is changed
    // activated is the user's pick only; selections made in code do not count as picks.
    // An error of the port (a name that cannot be opened) ends here, at the event loop's edge, in
    // the application's error display; the selection stays as picked.
    connect(this, &QComboBox::activated, this, [this](int) {
        try {
            Change();
        } catch (...) {
            ShowException(std::current_exception());
        }
    });
}

TComComboBox::TComComboBox(TComponent* AOwner) : TComComboBox(ParentOf(AOwner), AOwner) {}

TComComboBox::~TComComboBox() {
    // Stop hearing about the port before the engine goes.
    FComSelect->UnbindPort(*this);
}

void TComComboBox::SetComPort(TCustomComPort* Value) {
    if (FComSelect->BindPort(*this, Value)) UpdateSettings();
}

void TComComboBox::SetStyle(TComboBoxStyle Value) {
    FStyle = Value;
    setEditable(Value != csDropDownList);
    // A typed text selects a listed item; it never adds one to the setting's list.
    if (isEditable()) setInsertPolicy(QComboBox::NoInsert);
}

void TComComboBox::SetComProperty(TComProperty Value) {
    if (auto index = FComSelect->ShowProperty(Value)) setCurrentIndex(*index);
}

std::string TComComboBox::Text() const {
    return currentIndex() < 0 ? std::string() : FromQ(currentText());
}

void TComComboBox::SetText(const std::string& Value) {
    for (int i = 0; i < count(); ++i)
        if (SameText(FromQ(itemText(i)), Value)) {
            setCurrentIndex(i);
            return;
        }
}

void TComComboBox::UpdateSettings() {
    int index = currentIndex();
    FComSelect->UpdateSettings(index);
    setCurrentIndex(index);
}

void TComComboBox::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (FComSelect->PortRemoved(AComponent, Operation) && count() > 0) setCurrentIndex(0);
}

void TComComboBox::Change() {
    FComSelect->Change(Text());
    DoChange();
}

void TComComboBox::DoChange() {
    if (OnChange) OnChange(this);
}

TRadioGroup::TRadioGroup(QWidget* Parent) : QGroupBox(Parent), FGroup(new QButtonGroup(this)) {
    connect(FGroup, &QButtonGroup::idClicked, this, [this](int id) {
        FItemIndex = id;
        try {
            Click();
        } catch (...) {
            ShowException(std::current_exception());
        }
    });
}

std::string TRadioGroup::ItemText(int Index) const {
    return FromQ(Button(Index)->text());
}

void TRadioGroup::ClearItems() {
    for (QRadioButton* b : FButtons) {
        FGroup->removeButton(b);
        delete b;
    }
    FButtons.clear();
    FItemIndex = -1;
}

void TRadioGroup::AddItem(const std::string& Text) {
    auto* b = new QRadioButton(ToQ(Text), this);
    FGroup->addButton(b, static_cast<int>(FButtons.size()));
    FButtons.push_back(b);
    b->show();
    Arrange();
}

void TRadioGroup::SetItemIndex(int Value) {
    if (Value < 0 || Value >= ItemCount()) {
        // Unchecking needs the group's exclusivity lifted for a moment.
        FGroup->setExclusive(false);
        for (QRadioButton* b : FButtons)
            b->setChecked(false);
        FGroup->setExclusive(true);
        FItemIndex = -1;
        return;
    }
    Button(Value)->setChecked(true);
    FItemIndex = Value;
}

void TRadioGroup::Click() {
    // The sender is the component part of a TComRadioGroup; a bare group has none.
    if (OnClick) OnClick(dynamic_cast<TObject*>(this));
}

void TRadioGroup::resizeEvent(QResizeEvent* Event) {
    QGroupBox::resizeEvent(Event);
    Arrange();
}

void TRadioGroup::Arrange() {
    if (FButtons.empty()) return;
    QRect area = contentsRect().adjusted(8, 14, -4, -2);
    int n = static_cast<int>(FButtons.size());
    int h = std::max(area.height() / n, 1);
    for (int i = 0; i < n; ++i)
        FButtons[static_cast<size_t>(i)]->setGeometry(area.left(), area.top() + i * h, area.width(),
                                                      std::min(h, 17));
}

class TComRadioGroup::TItems : public TSelectItems {
  public:
    explicit TItems(TRadioGroup& Group) : FGroup(Group) {}
    void Clear() override { FGroup.ClearItems(); }
    void Add(const std::string& Text) override { FGroup.AddItem(Text); }
    int Count() const override { return FGroup.ItemCount(); }
    std::string Strings(int Index) const override { return FGroup.ItemText(Index); }

  private:
    TRadioGroup& FGroup;
};

TComRadioGroup::TComRadioGroup(QWidget* Parent, TComponent* AOwner)
    : TRadioGroup(Parent), TComponent(AOwner, coDeletedElsewhere), FItems(std::make_unique<TItems>(*this)),
      FComSelect(std::make_unique<TComSelect>(FItems.get())) {}

TComRadioGroup::TComRadioGroup(TComponent* AOwner) : TComRadioGroup(ParentOf(AOwner), AOwner) {}

TComRadioGroup::~TComRadioGroup() {
    FComSelect->UnbindPort(*this);
}

void TComRadioGroup::SetComPort(TCustomComPort* Value) {
    if (FComSelect->BindPort(*this, Value)) UpdateSettings();
}

void TComRadioGroup::SetComProperty(TComProperty Value) {
    if (auto index = FComSelect->ShowProperty(Value)) SetItemIndex(*index);
}

void TComRadioGroup::UpdateSettings() {
    if (!FComSelect->ComPort() || FComSelect->ComProperty() == cpNone) return;
    int index = -1;
    FComSelect->UpdateSettings(index);
    SetItemIndex(index);
    FOldIndex = index;
}

void TComRadioGroup::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (FComSelect->PortRemoved(AComponent, Operation)) {
        if (ItemCount() > 0) SetItemIndex(0);
        FOldIndex = 0;
    }
}

void TComRadioGroup::Click() {
    int index = ItemIndex();
    if (index != FOldIndex) {
        // The index moves first, so an error from the port still leaves the pick as applied.
        FOldIndex = index;
        if (index >= 0) FComSelect->Change(ItemText(index));
    }
    TRadioGroup::Click();
}

namespace {

// Published properties of the selectors, so a window's stored form data can configure them.
// ComPort names a port of the same form; it is bound once the whole form has been read.
template <class C> void PublishSelector(const char* Name, const char* Parent) {
    TPublished<C>(Name, Parent)
        .template Component<TCustomComPort>("ComPort", &C::ComPort, &C::SetComPort, "TCustomComPort")
        .Enum("ComProperty", &C::ComProperty, &C::SetComProperty, ComPropertyNames(), Default(cpNone))
        .Bool("AutoApply", &C::AutoApply, &C::SetAutoApply, Default(false))
        .Register();
}

} // namespace

void RegisterComSelectors() {
    static const bool done = [] {
        TPublished<TComComboBox>("TComComboBox", "TComponent")
            .Component<TCustomComPort>("ComPort", &TComComboBox::ComPort, &TComComboBox::SetComPort,
                                       "TCustomComPort")
            .Enum("ComProperty", &TComComboBox::ComProperty, &TComComboBox::SetComProperty,
                  ComPropertyNames(), Default(cpNone))
            .Bool("AutoApply", &TComComboBox::AutoApply, &TComComboBox::SetAutoApply, Default(false))
            .String("Text", &TComComboBox::Text, &TComComboBox::SetText, Default(""))
            .Integer("ItemIndex", &TComComboBox::ItemIndex, &TComComboBox::SetItemIndex, Default(-1))
            .Enum("Style", &TComComboBox::Style, &TComComboBox::SetStyle,
                  {"csDropDown", "csSimple", "csDropDownList"}, Default(csDropDownList))
            .Register();
        PublishSelector<TComRadioGroup>("TComRadioGroup", "TComponent");
        return true;
    }();
    (void)done;
}
