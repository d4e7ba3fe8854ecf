#pragma once

#include "platform/toolkit/Component.h"

#include <QDialog>

#include <string>

class QPushButton;
class TComComboBox;
class TCustomComPort;

// The port window: picks the main window's port by name; OK stores the port's settings and opens
// the port when it is closed.
// Shown without being modal and hidden, never destroyed, when closed. GUI thread only.
class TForm2 : public QDialog, public TComponent {
    Q_OBJECT
  public:
    // Port is the main window's port; the selector is bound to it at once.
    TForm2(TCustomComPort* Port, QWidget* Parent = nullptr);
    std::string ClassName() const override { return "TForm2"; }

    TComComboBox* ComComboBox1;
    QPushButton* Button1;

    void Button1Click(TObject* Sender);

    // "./port.cfg" as an absolute path, fixed when the window is made at start-up: a control that
    // changes the current directory later (the directory outline does) must not move it.
    static std::string SettingsFileAtStart();
    // Where OK stores the port's settings.
    const std::string& SettingsFile() const { return FSettingsFile; }
    static const char* FormData();

  protected:
    void showEvent(QShowEvent* Event) override;

  private:
    TCustomComPort* FPort;
    std::string FSettingsFile = SettingsFileAtStart();
};

void RegisterForm2();
