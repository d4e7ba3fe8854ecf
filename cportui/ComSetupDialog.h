#pragma once

#include <QDialog>

#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;
class TComComboBox;
class TCustomComPort;

// The dialog in which the user edits a port's six basic settings. Its selectors only collect
// picks; EditComPort applies them together when the dialog ends with OK. GUI thread only.
class TComSetupFrm : public QDialog {
    Q_OBJECT
  public:
    explicit TComSetupFrm(QWidget* Parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    TComComboBox* Combo1;
    TComComboBox* Combo2;
    TComComboBox* Combo3;
    TComComboBox* Combo4;
    TComComboBox* Combo5;
    TComComboBox* Combo6;
    QPushButton* Button1;
    QPushButton* Button2;

    // The selectors in binding and applying order: port, baud rate, data bits, stop bits, parity,
    // flow control.
    TComComboBox* Combo(int Index) const;

  protected:
    void showEvent(QShowEvent* Event) override;
    // Escape is not a way out of this dialog: only the buttons and the close box end it.
    void keyPressEvent(QKeyEvent* Event) override;
};

// Runs the setup dialog modally on ComPort and, on OK, applies all six choices inside one
// BeginUpdate/EndUpdate bracket. Errors of applying pass on after the dialog has been released.
// The way the dialog is run can be replaced (tests drive it without a user); the default is exec().
void EditComPort(TCustomComPort& ComPort);

using TSetupDialogRunner = std::function<int(TComSetupFrm& Dialog)>;
void SetSetupDialogRunner(TSetupDialogRunner Runner);

// Makes TCustomComPort::ShowSetupDialog open this dialog. Call once at start-up on the GUI thread.
void InstallComSetupDialog();
