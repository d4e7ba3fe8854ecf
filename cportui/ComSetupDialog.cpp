#include "cportui/ComSetupDialog.h"

#include "cport/ComPort.h"
#include "cport/SetupHook.h"
#include "cportui/ComSelect.h"
#include "cportui/FormStyle.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <exception>
#include <memory>

namespace {

TSetupDialogRunner& Runner() {
    static TSetupDialogRunner runner;
    return runner;
}

} // namespace

TComSetupFrm::TComSetupFrm(QWidget* Parent) : QDialog(Parent) {
    MakeFixedDialog(this, "Setup", 231, 216);

    GroupBox1 = new QGroupBox(" Settings ", this);
    GroupBox1->setGeometry(8, 8, 217, 169);

    auto label = [this](const char* Text, int Top) {
        auto* l = new QLabel(Text, GroupBox1);
        l->move(8, Top);
        l->adjustSize();
        return l;
    };
    Label1 = label("Port", 24);
    Label2 = label("Baud rate", 48);
    Label3 = label("Data bits", 72);
    Label4 = label("Stop bits", 96);
    Label5 = label("Parity", 120);
    Label6 = label("Flow control", 144);

    // Each selector lists its setting's values; the port list is enumerated here, so every
    // dialog shows the ports present when it opens.
    const TComProperty props[6] = {cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl};
    TComComboBox** combos[6] = {&Combo1, &Combo2, &Combo3, &Combo4, &Combo5, &Combo6};
    for (int i = 0; i < 6; ++i) {
        auto* c = new TComComboBox(GroupBox1, nullptr);
        *combos[i] = c;
        c->setGeometry(80, 16 + 24 * i, 129, 21);
        c->SetAutoApply(false);
        c->SetComProperty(props[i]);
    }

    Button1 = new QPushButton("OK", this);
    Button1->setGeometry(70, 184, 75, 25);
    Button1->setDefault(true);
    Button1->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    Button2 = new QPushButton("Cancel", this);
    Button2->setGeometry(150, 184, 75, 25);
    Button2->setAutoDefault(false);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, Combo3);
    setTabOrder(Combo3, Combo4);
    setTabOrder(Combo4, Combo5);
    setTabOrder(Combo5, Combo6);
    setTabOrder(Combo6, Button1);
    setTabOrder(Button1, Button2);
}

TComComboBox* TComSetupFrm::Combo(int Index) const {
    TComComboBox* const all[6] = {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6};
    return all[Index];
}

void TComSetupFrm::showEvent(QShowEvent* Event) {
    CentreOnScreen(this);
    QDialog::showEvent(Event);
}

void TComSetupFrm::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Escape) {
        Event->accept();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void SetSetupDialogRunner(TSetupDialogRunner Runner_) {
    Runner() = std::move(Runner_);
}

void EditComPort(TCustomComPort& ComPort) {
    auto dialog = std::make_unique<TComSetupFrm>();
    for (int i = 0; i < 6; ++i)
        dialog->Combo(i)->SetComPort(&ComPort);
    for (int i = 0; i < 6; ++i)
        dialog->Combo(i)->UpdateSettings();

    const int result = Runner() ? Runner()(*dialog) : dialog->exec();
    if (result != QDialog::Accepted) return;

    std::exception_ptr error;
    ComPort.BeginUpdate();
    try {
        for (int i = 0; i < 6; ++i)
            dialog->Combo(i)->ApplySettings();
    } catch (...) {
        error = std::current_exception();
    }
    // The bracket is closed whatever happened inside it; its own error counts only when applying
    // went through.
    try {
        ComPort.EndUpdate();
    } catch (...) {
        if (!error) error = std::current_exception();
    }
    dialog.reset();
    if (error) std::rethrow_exception(error);
}

void InstallComSetupDialog() {
    SetSetupDialogHook([](TCustomComPort& ComPort) { EditComPort(ComPort); });
}
