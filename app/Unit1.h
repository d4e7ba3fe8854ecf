#pragma once

#include "app/FormControls.h"
#include "app/engine/FlashEngine.h"
#include "cport/ComLink.h"
#include "platform/toolkit/Component.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <exception>
#include <memory>
#include <string>

class QFileDialog;
class QMimeData;
class QPixmap;
class QLabel;
class QPushButton;
class TComPort;
class TCustomComPort;
class TForm2;

// The main window: the four buttons of the tool, the loaded image's name and size, the job's
// progress and counts, and the port the write protocol runs on. The window and its controls live
// on the GUI thread; the protocol's replies are handled on the port's event thread, and what they
// change reaches the controls only as queued calls onto the GUI thread.
class TForm1 : public QWidget, public TComponent {
    Q_OBJECT
  public:
    explicit TForm1(QWidget* Parent = nullptr);
    ~TForm1() override;
    std::string ClassName() const override { return "TForm1"; }

    QPushButton* Button4;
    QPushButton* Button2;
    QPushButton* Button1;
    QPushButton* Button3;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Image2;
    TProgressBar* ProgressBar1;
    TStatusBar* StatusBar1;
    QFileDialog* OpenDialog1;
    // Built from the window's stored form data; owned by the window.
    TComPort* ComPort1 = nullptr;

    void FormCreate(TObject* Sender);
    void Button1Click(TObject* Sender);
    void Button2Click(TObject* Sender);
    void Button3Click(TObject* Sender);
    void Button4Click(TObject* Sender);
    // The port's received-character handler; runs on the port's event thread.
    void ComPort1RxChar(TObject* Sender, int Count);

    // Loads an image as the file dialog's choice would, then resets the progress bar.
    void LoadImage(const QString& FileName);
    // The window shown by "Ustaw Port".
    void SetPortWindow(TForm2* Form) { FPortWindow = Form; }
    TFlashEngine& Engine() { return FEngine; }

    // How the file dialog is run; returns whether a file was chosen. Tests replace it.
    using TDialogRunner = std::function<bool(QFileDialog& Dialog)>;
    void SetDialogRunner(TDialogRunner Runner) { FDialogRunner = std::move(Runner); }
    // Shows a warning that is no error (an image cut at the size limit). Tests replace it.
    std::function<void(const std::string&)> OnWarning;

    // The window's stored form data: the port and its design settings.
    static const char* FormData();

  protected:
    void showEvent(QShowEvent* Event) override;
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

  private:
    void LoadImageFile();
    // Reads the file into the engine and shows its name and size; raises when nothing was loaded.
    void LoadChosenFile(const QString& FileName);
    // Runs on the GUI thread: a notice of the engine made visible.
    void ApplyNotice(const TFlashNotice& Notice);
    // GUI thread: the error display for a port error, with the port, device and reason.
    void ShowPortError(const std::exception_ptr& Error);
    template <class F> void PortGuarded(F&& Body);
    void ClosePortQuietly();

    TFlashEngine FEngine;
    std::unique_ptr<TFlashPortIO> FPortIO;
    TComLink FRemovalLink;
    // The settings file as an absolute path, fixed at start-up (see TForm2::SettingsFileAtStart).
    std::string FSettingsFile;
    TForm2* FPortWindow = nullptr;
    TDialogRunner FDialogRunner;
    QString FLastFolder;
    bool FShown = false;
};

// The single .flash file a drop carries, or the empty text when it carries anything else.
QString DroppedImageFile(const QMimeData* Data);

// The logo in the main window's picture box, drawn for its 69 x 49 place.
QPixmap MakeLogo();

// Publishes the window class and its handlers for stored form data; idempotent.
void RegisterForm1();
