#pragma once

#include "cport/ComTypes.h"
#include "platform/toolkit/Component.h"

#include <QComboBox>
#include <QGroupBox>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QButtonGroup;
class QRadioButton;
class TCustomComPort;

// The port setting a selector shows.
enum TComProperty : uint8_t { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

std::string ComPropertyToStr(TComProperty Value);

// How a combo box takes its text: typed or picked (csDropDown), typed with the list always open
// (csSimple; shown here like csDropDown, the list opens on demand), or picked only (csDropDownList).
enum TComboBoxStyle : uint8_t { csDropDown, csSimple, csDropDownList };

// The texts of the control that owns a selector engine: the engine fills and reads them, the
// control shows them. Kept free of widget types so the engine runs without a display.
class TSelectItems {
  public:
    virtual ~TSelectItems() = default;
    virtual void Clear() = 0;
    virtual void Add(const std::string& Text) = 0;
    virtual int Count() const = 0;
    virtual std::string Strings(int Index) const = 0;
};

// The engine of a setting selector: fills the list for one setting, turns a picked text into a
// pending value, and moves values between the pending store and the bound port. It owns neither
// the list nor the port. Runs on the thread that configures the port (the GUI thread).
class TComSelect : public TObject {
  public:
    explicit TComSelect(TSelectItems* Items) : FItems(Items) {}
    std::string ClassName() const override { return "TComSelect"; }

    void SelectPort();
    void SelectBaudRate();
    void SelectDataBits();
    void SelectStopBits();
    void SelectParity();
    void SelectFlowControl();

    TComProperty ComProperty() const { return FComProperty; }
    // Stores the property and refills the list for it; cpNone only clears the list.
    void SetComProperty(TComProperty Value);
    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* Value) { FComPort = Value; }

    // The binding a selector control keeps with its port, shared by the combo box and the radio
    // group. Follower is the control: it hears of the port's end through the removal notice.
    // Binds to Value; true when the binding changed to a port (the control then shows its value).
    bool BindPort(TComponent& Follower, TCustomComPort* Value);
    // Stops hearing about the port (the control is going away).
    void UnbindPort(TComponent& Follower);
    // True when AComponent is the bound port going away; the binding is then dropped.
    bool PortRemoved(TComponent* AComponent, TOperation Operation);
    // Stores the property and refills the list; the index the control should then select (the
    // port's value, -1 when the port's value is not listed, 0 without a port), or nullopt when the
    // list is empty.
    std::optional<int> ShowProperty(TComProperty Value);
    bool AutoApply() const { return FAutoApply; }
    void SetAutoApply(bool Value) { FAutoApply = Value; }

    // A picked text becomes the pending value of the current property; applied at once with
    // AutoApply.
    void Change(const std::string& Text);
    // Writes the pending value of the current property to the bound port through its setter.
    void ApplySettings();
    // Reads the bound port's value of the current property: ItemIndex gets the matching entry
    // (compared without regard to case) or -1, and a found entry becomes the pending value.
    // Without a port or with cpNone, ItemIndex is left as it was.
    void UpdateSettings(int& ItemIndex);

    const std::string& PendingPort() const { return FPort; }
    TBaudRate PendingBaudRate() const { return FBaudRate; }
    TDataBits PendingDataBits() const { return FDataBits; }
    TStopBits PendingStopBits() const { return FStopBits; }
    TParityBits PendingParity() const { return FParity; }
    TFlowControl PendingFlowControl() const { return FFlowControl; }

  private:
    std::string FPort;
    TBaudRate FBaudRate = brCustom;
    TDataBits FDataBits = dbFive;
    TStopBits FStopBits = sbOneStopBit;
    TParityBits FParity = prNone;
    TFlowControl FFlowControl = fcHardware;
    TSelectItems* FItems;
    TComProperty FComProperty = cpNone;
    TCustomComPort* FComPort = nullptr;
    bool FAutoApply = false;
};

// A drop-down list that shows one setting of a port. The user can only pick, not type. The Qt
// parent deletes it; its component owner (a form) only names it. GUI thread only.
class TComComboBox : public QComboBox, public TComponent {
    Q_OBJECT
  public:
    TComComboBox(QWidget* Parent, TComponent* AOwner);
    // For the form-data reader: the owner, when it is a widget, is also the Qt parent.
    explicit TComComboBox(TComponent* AOwner);
    ~TComComboBox() override;
    std::string ClassName() const override { return "TComComboBox"; }

    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    void SetComPort(TCustomComPort* Value);
    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    void SetComProperty(TComProperty Value);
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool Value) { FComSelect->SetAutoApply(Value); }
    // The selected item's text, or the empty text when nothing is selected.
    std::string Text() const;
    // Selects the item equal to Value without regard to case; no such item changes nothing.
    void SetText(const std::string& Value);
    int ItemIndex() const { return currentIndex(); }
    void SetItemIndex(int Value) { setCurrentIndex(Value); }
    TComboBoxStyle Style() const { return FStyle; }
    void SetStyle(TComboBoxStyle Value);

    void ApplySettings() { FComSelect->ApplySettings(); }
    void UpdateSettings();
    TComSelect& Select() { return *FComSelect; }

    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Raised after a pick has reached the engine.
    TNotifyEvent OnChange;

  protected:
    // The user's pick: hands the selected text to the engine, then raises OnChange.
    virtual void Change();
    virtual void DoChange();

  private:
    class TItems;
    std::unique_ptr<TItems> FItems;
    std::unique_ptr<TComSelect> FComSelect;
    TComboBoxStyle FStyle = csDropDownList;
};

// A group of radio buttons, one per item, stacked in one column. GUI thread only.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    explicit TRadioGroup(QWidget* Parent);
    int ItemCount() const { return static_cast<int>(FButtons.size()); }
    QRadioButton* Button(int Index) const { return FButtons.at(static_cast<size_t>(Index)); }
    std::string ItemText(int Index) const;
    void ClearItems();
    void AddItem(const std::string& Text);
    // -1 when no button is checked.
    int ItemIndex() const { return FItemIndex; }
    void SetItemIndex(int Value);

    TNotifyEvent OnClick;

  protected:
    // A button was clicked by the user; ItemIndex already names it.
    virtual void Click();
    void resizeEvent(QResizeEvent* Event) override;

  private:
    void Arrange();
    QButtonGroup* FGroup;
    std::vector<QRadioButton*> FButtons;
    int FItemIndex = -1;
};

// A radio group that shows one setting of a port. It remembers the last index it applied, so a
// click on the button already applied does not reach the engine again. GUI thread only.
class TComRadioGroup : public TRadioGroup, public TComponent {
    Q_OBJECT
  public:
    TComRadioGroup(QWidget* Parent, TComponent* AOwner);
    explicit TComRadioGroup(TComponent* AOwner);
    ~TComRadioGroup() override;
    std::string ClassName() const override { return "TComRadioGroup"; }

    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    void SetComPort(TCustomComPort* Value);
    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    void SetComProperty(TComProperty Value);
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool Value) { FComSelect->SetAutoApply(Value); }
    int LastIndex() const { return FOldIndex; }

    void ApplySettings() { FComSelect->ApplySettings(); }
    void UpdateSettings();
    TComSelect& Select() { return *FComSelect; }

    void Notification(TComponent* AComponent, TOperation Operation) override;

  protected:
    void Click() override;

  private:
    class TItems;
    std::unique_ptr<TItems> FItems;
    std::unique_ptr<TComSelect> FComSelect;
    int FOldIndex = -1;
};

// Publishes the selectors' properties for stored form data; idempotent. GUI thread.
void RegisterComSelectors();
