#include "app/Unit2.h"

#include "cport/ComPort.h"
#include "cportui/ComSelect.h"
#include "cportui/FormStyle.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <QPushButton>

#include <optional>

const char* TForm2::FormData() {
    return "object Form2: TForm2\n"
           "  object ComComboBox1: TComComboBox\n"
           "    ComProperty = cpPort\n"
           "    AutoApply = True\n"
           "    Text = 'COM1'\n"
           "    ItemIndex = 0\n"
           "  end\n"
           "end\n";
}

void RegisterForm2() {
    static const bool done = [] {
        RegisterComSelectors();
        TPublished<TForm2>("TForm2", "").Register();
        return true;
    }();
    (void)done;
}

TForm2::TForm2(TCustomComPort* Port, QWidget* Parent) : QDialog(Parent), TComponent(nullptr), FPort(Port) {
    SetName("Form2");
    MakeFixedDialog(this, "Komunikacja", 167, 86);

    ComComboBox1 = new TComComboBox(this, this);
    ComComboBox1->SetName("ComComboBox1");
    ComComboBox1->setGeometry(12, 16, 145, 21);

    Button1 = new QPushButton("OK", this);
    Button1->setGeometry(44, 48, 75, 25);
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(this); });
    setTabOrder(ComComboBox1, Button1);

    // The stored design fills the port list; binding then replaces its design selection with the
    // port's current name.
    RegisterForm2();
    ReadComponentData(*this, FormData());
    ComComboBox1->SetComPort(FPort);

    // Each port's device path as the tooltip of its entry; the entry's text stays the name.
    for (int i = 0; i < ComComboBox1->count(); ++i) {
        std::optional<std::string> path = ResolvePortName(ComComboBox1->itemText(i).toStdString());
        if (path) ComComboBox1->setItemData(i, QString::fromStdString(*path), Qt::ToolTipRole);
    }
}

void TForm2::Button1Click(TObject*) {
    try {
        if (FPort) FPort->StoreSettings(stIniFile, SettingsFile());
        hide();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

void TForm2::showEvent(QShowEvent* Event) {
    CentreOnScreen(this);
    QDialog::showEvent(Event);
}
