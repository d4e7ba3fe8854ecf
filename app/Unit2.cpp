#include "app/Unit2.h"

#include "app/engine/PortReport.h"

#include "cport/ComPort.h"
#include "cportui/ComSelect.h"
#include "cportui/FormStyle.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <QPushButton>

#include <filesystem>
#include <string>
#include <vector>

const char* TForm2::FormData() {
    return "Form2: TForm2 {\n"
           "  ComComboBox1: TComComboBox {\n"
           "    ComProperty = cpPort\n"
           "    AutoApply = true\n"
           "    Text = \"COM1\"\n"
           "    ItemIndex = 0\n"
           "  }\n"
           "}\n";
}

void RegisterForm2() {
    static const bool done = [] {
        RegisterComSelectors();
        TPublished<TForm2>("TForm2", "TComponent").Register();
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
    const std::vector<TSystemPort> ports = SystemPortList();
    for (int i = 0; i < ComComboBox1->count(); ++i) {
        const std::string name = ComComboBox1->itemText(i).toStdString() + ":";
        for (const TSystemPort& p : ports)
            if (p.Name == name && !p.Path.empty()) {
                ComComboBox1->setItemData(i, QString::fromStdString(p.Path), Qt::ToolTipRole);
                break;
            }
    }
}

std::string TForm2::SettingsFileAtStart() {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute("port.cfg", ec);
    return ec ? std::string("./port.cfg") : p.string();
}

void TForm2::Button1Click(TObject*) {
    try {
        if (FPort) FPort->StoreSettings(stIniFile, SettingsFile());
        hide();
    } catch (const std::exception& e) {
        ShowException(e);
        return;
    }
    // A port left closed (a missing or unplugged device, a settings file that named no port) is
    // opened now with the choice just stored.
    if (!FPort || FPort->Connected()) return;
    try {
        FPort->Open();
    } catch (const Exception& e) {
        ShowException(Exception(e.Message() + "\n" + DescribePortProblem(FPort->Port(), e)));
    }
}

void TForm2::showEvent(QShowEvent* Event) {
    CentreOnScreen(this);
    QDialog::showEvent(Event);
}
