#include "cportui/ComTrmSetForm.h"

#include "cportui/ComTerminal.h"
#include "cportui/FormStyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <charconv>
#include <memory>
#include <string>

namespace {

TTrmSetDialogRunner& Runner() {
    static TTrmSetDialogRunner runner;
    return runner;
}

// A whole number in 32 bits, or Default for anything else (empty, letters, out of range).
int IntOr(const QString& Text, int Default) {
    const std::string S = Text.trimmed().toStdString();
    int Value = 0;
    auto [End, Error] = std::from_chars(S.data(), S.data() + S.size(), Value);
    return (S.empty() || Error != std::errc() || End != S.data() + S.size()) ? Default : Value;
}

} // namespace

TComTrmSetForm::TComTrmSetForm(QWidget* Parent) : QDialog(Parent) {
    MakeFixedDialog(this, "Setup", 295, 287);

    GroupBox1 = new QGroupBox(" ASCII Settings ", this);
    GroupBox1->setGeometry(8, 8, 281, 113);
    auto check = [this](const char* Text, int Top, int Width) {
        auto* c = new QCheckBox(Text, GroupBox1);
        c->setGeometry(8, Top, Width, 17);
        return c;
    };
    CheckBox1 = check("Echo typed charachters locally", 24, 177);
    CheckBox2 = check("Send line feeds with carriage return", 40, 193);
    CheckBox3 = check("Wrap lines that exceed terminal width", 56, 217);
    CheckBox4 = check("Force incoming data to 7 bit ASCII", 72, 193);
    CheckBox5 = check("Append line feeds to incoming carriage return", 88, 241);

    GroupBox2 = new QGroupBox(" Terminal Settings ", this);
    GroupBox2->setGeometry(8, 128, 281, 121);
    auto label = [this](const char* Text, int Left, int Top, int Width) {
        auto* l = new QLabel(Text, GroupBox2);
        l->setGeometry(Left, Top, Width, 13);
        return l;
    };
    auto list = [this](QStringList Items, int Left, int Top, int Width) {
        auto* c = new QComboBox(GroupBox2);
        c->setEditable(false); // a choice from the items only
        c->addItems(Items);
        c->setGeometry(Left, Top, Width, 21);
        return c;
    };
    Label1 = label("Caret", 8, 24, 25);
    ComboBox1 = list({"Block", "Underline"}, 72, 16, 97);
    Label3 = label("Columns", 8, 72, 40);
    Label4 = label("Rows", 144, 72, 27);
    ComboBox2 = list({"ANSI/VT100", "VT52", "None"}, 72, 40, 97);
    Label2 = label("Emulation", 8, 48, 46);
    ComboBox3 = list({"Act as terminal keys", "Act as windows keys"}, 72, 88, 161);
    Label5 = label("Cursor keys", 8, 96, 55);

    Button1 = new QPushButton("OK", this);
    Button1->setGeometry(134, 256, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    Button2 = new QPushButton("Cancel", this);
    Button2->setGeometry(214, 256, 75, 25);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    Edit1 = new QLineEdit(GroupBox2);
    Edit1->setGeometry(72, 64, 49, 21);
    Edit2 = new QLineEdit(GroupBox2);
    Edit2->setGeometry(184, 64, 49, 21);

    setTabOrder(CheckBox1, CheckBox2);
    setTabOrder(CheckBox2, CheckBox3);
    setTabOrder(CheckBox3, CheckBox4);
    setTabOrder(CheckBox4, CheckBox5);
    setTabOrder(CheckBox5, ComboBox1);
    setTabOrder(ComboBox1, ComboBox2);
    setTabOrder(ComboBox2, ComboBox3);
    setTabOrder(ComboBox3, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Button1);
    setTabOrder(Button1, Button2);
}

void TComTrmSetForm::showEvent(QShowEvent* Event) {
    CentreOnScreen(this);
    QDialog::showEvent(Event);
}

void SetTrmSetDialogRunner(TTrmSetDialogRunner Runner_) {
    Runner() = std::move(Runner_);
}

void EditComTerminal(TCustomComTerminal& Terminal) {
    auto Form = std::make_unique<TComTrmSetForm>();
    Form->CheckBox1->setChecked(Terminal.LocalEcho());
    Form->CheckBox2->setChecked(Terminal.SendLF());
    Form->CheckBox3->setChecked(Terminal.WrapLines());
    Form->CheckBox4->setChecked(Terminal.Force7Bit());
    Form->CheckBox5->setChecked(Terminal.AppendLF());
    // tcNone has no item: the list then shows no selection.
    Form->ComboBox1->setCurrentIndex(Terminal.Caret() < Form->ComboBox1->count() ? Terminal.Caret() : -1);
    Form->ComboBox2->setCurrentIndex(Terminal.Emulation());
    Form->Edit1->setText(QString::number(Terminal.Columns()));
    Form->Edit2->setText(QString::number(Terminal.Rows()));
    Form->ComboBox3->setCurrentIndex(Terminal.ArrowKeys());

    const int Result = Runner() ? Runner()(*Form) : Form->exec();
    if (Result != QDialog::Accepted) return;

    Terminal.SetLocalEcho(Form->CheckBox1->isChecked());
    Terminal.SetSendLF(Form->CheckBox2->isChecked());
    Terminal.SetWrapLines(Form->CheckBox3->isChecked());
    Terminal.SetForce7Bit(Form->CheckBox4->isChecked());
    Terminal.SetAppendLF(Form->CheckBox5->isChecked());
    const int Caret = Form->ComboBox1->currentIndex();
    Terminal.SetCaret(Caret < 0 ? tcNone : static_cast<TTermCaret>(Caret));
    const int Emulation = Form->ComboBox2->currentIndex();
    if (Emulation >= 0) Terminal.SetEmulation(static_cast<TTermEmulation>(Emulation));
    Terminal.SetColumns(IntOr(Form->Edit1->text(), 80));
    Terminal.SetRows(IntOr(Form->Edit2->text(), 24));
    const int Arrows = Form->ComboBox3->currentIndex();
    if (Arrows >= 0) Terminal.SetArrowKeys(static_cast<TArrowKeys>(Arrows));
}
