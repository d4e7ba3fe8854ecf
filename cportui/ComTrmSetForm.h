#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TCustomComTerminal;

// The dialog in which the user edits a terminal's text handling and screen settings. It holds no
// state between uses: EditComTerminal makes one per call. GUI thread only.
class TComTrmSetForm : public QDialog {
    Q_OBJECT
  public:
    explicit TComTrmSetForm(QWidget* Parent = nullptr);

    QGroupBox* GroupBox1;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox4;
    QCheckBox* CheckBox5;
    QGroupBox* GroupBox2;
    QLabel* Label1;
    QComboBox* ComboBox1;
    QLabel* Label3;
    QLabel* Label4;
    QComboBox* ComboBox2;
    QLabel* Label2;
    QComboBox* ComboBox3;
    QLabel* Label5;
    QPushButton* Button1;
    QPushButton* Button2;
    QLineEdit* Edit1;
    QLineEdit* Edit2;

  protected:
    void showEvent(QShowEvent* Event) override;
};

// Shows the dialog modally, filled from Terminal; only OK writes the settings back, in the order
// echo, line feeds, wrapping, 7 bit, appended line feeds, caret, emulation, columns, rows, cursor
// keys. A columns or rows text that is not a whole number gives 80 or 24.
void EditComTerminal(TCustomComTerminal& Terminal);

// Replaces the way the dialog is run (tests drive it without a user); the default is exec().
using TTrmSetDialogRunner = std::function<int(TComTrmSetForm& Dialog)>;
void SetTrmSetDialogRunner(TTrmSetDialogRunner Runner);
