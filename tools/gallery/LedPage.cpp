#include "cport/ComDataPacket.h"
#include "cport/ComPort.h"
#include "cportui/ComLed.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/toolkit/Handoff.h"
#include "platform/toolkit/ShowException.h"
#include "tools/gallery/GalleryPages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>
#include <string>

namespace {

// Six LEDs following a port on an in-process virtual device. The buttons drive the device's far
// end (its CTS, DSR and RLSD lines, a ring, bytes arriving) or send bytes from the port. The port
// delivers its events on its own event thread, so every LED change crosses threads as it would
// with a real device; received lines are cut by a packet framer.
class TLedPage : public QWidget {
  public:
    explicit TLedPage(QWidget* Parent) : QWidget(Parent) {
        auto* leds = new QGridLayout;
        struct TLedSpec {
            const char* Label;
            TComLedSignal Signal;
            TLedKind Kind;
        };
        const TLedSpec specs[] = {{"CTS", lsCTS, lkGreenLight},    {"DSR", lsDSR, lkGreenLight},
                                  {"RLSD", lsRLSD, lkYellowLight}, {"Ring", lsRing, lkBulb},
                                  {"Rx", lsRx, lkRedLight},        {"Tx", lsTx, lkBlueLight}};
        int column = 0;
        for (const TLedSpec& s : specs) {
            auto* led = new TComLed(this, nullptr);
            led->SetLedSignal(s.Signal);
            led->SetKind(s.Kind);
            FLeds.push_back(led);
            leds->addWidget(led, 0, column, Qt::AlignHCenter);
            leds->addWidget(new QLabel(s.Label, this), 1, column, Qt::AlignHCenter);
            ++column;
        }
        auto* cts = new QCheckBox("CTS on", this);
        auto* dsr = new QCheckBox("DSR on", this);
        auto* rlsd = new QCheckBox("RLSD on", this);
        auto* ring = new QPushButton("Ring", this);
        auto* receive = new QPushButton("Receive a line", this);
        auto* send = new QPushButton("Send bytes", this);
        auto* disable = new QCheckBox("Disable the LEDs", this);
        FStatus = new QLabel(this);
        FLines = new QLabel("Lines received: none", this);

        auto* buttons = new QHBoxLayout;
        for (QWidget* w : std::initializer_list<QWidget*>{cts, dsr, rlsd, ring, receive, send})
            buttons->addWidget(w);
        buttons->addStretch(1);
        auto* page = new QVBoxLayout(this);
        page->addLayout(leds);
        page->addLayout(buttons);
        page->addWidget(disable);
        page->addWidget(FLines);
        page->addWidget(FStatus);
        page->addStretch(1);

        OpenPort();
        if (!FPort) return;
        for (TComLed* led : FLeds)
            led->SetComPort(FPort.get());
        connect(cts, &QCheckBox::toggled, this, [this](bool on) { FDevice->SetCTS(on); });
        connect(dsr, &QCheckBox::toggled, this, [this](bool on) { FDevice->SetDSR(on); });
        connect(rlsd, &QCheckBox::toggled, this, [this](bool on) { FDevice->SetRLSD(on); });
        connect(ring, &QPushButton::clicked, this, [this] {
            FDevice->SetRing(true);
            FDevice->SetRing(false);
        });
        connect(receive, &QPushButton::clicked, this, [this] {
            FDevice->Deliver("Line " + std::to_string(++FLineCount) + " from the device\r\n");
        });
        connect(send, &QPushButton::clicked, this, [this] {
            try {
                FPort->WriteStr("Bytes from the gallery\r\n");
            } catch (const std::exception& e) {
                ShowException(e);
            }
        });
        connect(disable, &QCheckBox::toggled, this, [this](bool off) {
            for (TComLed* led : FLeds)
                led->SetEnabled(!off);
        });
    }

    ~TLedPage() override {
        FHandoff.Close();
        FFramer.reset();
        // The LEDs hear of the port's end and let it go; they are deleted with the page afterwards.
        FPort.reset();
        FDevice.reset();
    }

  private:
    void OpenPort() {
        // The first port name no other virtual device of this process uses.
        for (int n = 16; n >= 1 && !FDevice; --n) {
            FName = "COM" + std::to_string(n);
            FDevice = TVirtualDevice::Create(FName);
        }
        if (!FDevice) {
            FStatus->setText("No free port name for the virtual device.");
            return;
        }
        // Paced at 1200 bit/s, so a send keeps the Tx LED lit for a moment.
        FDevice->SetPacing(true);
        auto port = std::make_unique<TComPort>(nullptr);
        port->SetPort(FName);
        port->SetBaudRate(br1200);
        port->SetSyncMethod(smNone);
        FFramer = std::make_unique<TComDataPacket>(nullptr);
        FFramer->SetStopString("\r\n");
        // Event thread: the text goes to the page's thread as a copy.
        FFramer->SetOnPacket([this](TObject*, const std::string& Line) {
            FHandoff.Run(
                [this, Line] { FLines->setText("Last line received: " + QString::fromStdString(Line)); });
        });
        try {
            FFramer->SetComPort(port.get());
            port->Open();
        } catch (const std::exception& e) {
            FFramer.reset();
            FStatus->setText(QString("The virtual port could not be opened: ") + e.what());
            return;
        }
        FPort = std::move(port);
        FStatus->setText(QString::fromStdString("Port " + FName +
                                                " on a virtual device (1200 bit/s); events arrive on its "
                                                "event thread."));
    }

    std::vector<TComLed*> FLeds;
    QLabel* FStatus;
    QLabel* FLines;
    std::string FName;
    int FLineCount = 0;
    std::shared_ptr<TVirtualDevice> FDevice;
    std::unique_ptr<TComPort> FPort;
    std::unique_ptr<TComDataPacket> FFramer;
    TThreadHandoff FHandoff;
};

QWidget* MakeLedPage(QWidget* Parent) {
    return new TLedPage(Parent);
}

const TGalleryPageRegistration LedPage{60, "LED", &MakeLedPage};

} // namespace
