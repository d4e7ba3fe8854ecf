#include "samples/Perfgrap.h"
#include "tools/gallery/CpuLoad.h"
#include "tools/gallery/GalleryControls.h"
#include "tools/gallery/GalleryPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr TColor KernelColour = clRed, BusyColour = clLime;

// The performance graph fed with this machine's processor load, one sample a second: the kernel's
// share and, stacked on it, all time not idle, in tenths of a per cent.
class TGraphPage : public QWidget {
  public:
    explicit TGraphPage(QWidget* Parent) : QWidget(Parent) {
        FGraph = new TPerformanceGraph(this);
        FGraph->setMinimumSize(300, 150);
        FGraph->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        auto* kind = new QComboBox(this);
        kind->addItems({"Bars", "Lines"});
        kind->setCurrentIndex(FGraph->Kind());
        auto* step = new QSpinBox(this);
        step->setRange(1, 50);
        step->setValue(FGraph->StepSize());
        auto* grid = new QSpinBox(this);
        grid->setRange(2, 200);
        grid->setValue(FGraph->GridSize());
        auto* gridlines = new QCheckBox("Grid lines", this);
        gridlines->setChecked(FGraph->Gridlines());
        auto* pen = new QSpinBox(this);
        pen->setRange(1, 8);
        pen->setValue(FGraph->PenWidth());
        auto* gradient = new QSpinBox(this);
        gradient->setRange(0, 1000);
        gradient->setSingleStep(50);
        gradient->setValue(FGraph->Gradient());
        FScale = new QLabel(this);
        FLoad = new QLabel(this);
        FLoad->setWordWrap(true);

        auto* legend = new QHBoxLayout;
        for (auto [colour, text] :
             {std::pair{KernelColour, "kernel"}, std::pair{BusyColour, "all busy time"}}) {
            QLabel* swatch = NewSwatch(this);
            SetSwatch(swatch, colour);
            legend->addWidget(swatch);
            legend->addWidget(new QLabel(text, this));
        }
        legend->addStretch(1);
        auto* form = new QFormLayout;
        form->addRow("Kind", kind);
        form->addRow("Step (pixels a sample)", step);
        form->addRow("Grid size", grid);
        form->addRow("", gridlines);
        form->addRow("Pen width", pen);
        form->addRow("Scale gradient", gradient);
        form->addRow("Scale", FScale);
        form->addRow("Processor load", FLoad);
        auto* left = new QVBoxLayout;
        left->addWidget(FGraph, 1);
        left->addLayout(legend);
        auto* page = new QHBoxLayout(this);
        page->addLayout(left, 1);
        page->addSpacing(12);
        page->addLayout(form);

        connect(kind, &QComboBox::currentIndexChanged, this,
                [this](int i) { FGraph->SetKind(static_cast<TGraphKind>(i)); });
        connect(step, &QSpinBox::valueChanged, this, [this](int v) { FGraph->SetStepSize(v); });
        connect(grid, &QSpinBox::valueChanged, this, [this](int v) { FGraph->SetGridSize(v); });
        connect(gridlines, &QCheckBox::toggled, this, [this](bool on) { FGraph->SetGridlines(on); });
        connect(pen, &QSpinBox::valueChanged, this, [this](int v) { FGraph->SetPenWidth(v); });
        connect(gradient, &QSpinBox::valueChanged, this, [this](int v) { FGraph->SetGradient(v); });
        FGraph->SetOnScaleChange([this](TObject*) { ShowScale(); });
        ShowScale();

        FTimer = new QTimer(this);
        connect(FTimer, &QTimer::timeout, this, [this] { Sample(); });
    }

  protected:
    // Sampling starts when the page is first shown: a page in a hidden tab has not yet been laid
    // out, and samples drawn at a makeshift width would be redrawn from the left once it widens.
    void showEvent(QShowEvent* Event) override {
        QWidget::showEvent(Event);
        if (FTimer->isActive()) return;
        FTimer->start(1000);
        Sample(); // the starting reading
    }

  private:
    void ShowScale() {
        FScale->setText(QString("%1 (tenths of a per cent at full height)").arg(FGraph->Scale()));
    }

    void Sample() {
        TCpuLoad load;
        std::string error;
        if (!FReader.Sample(load, error)) {
            FLoad->setText(error.empty() ? "measuring…" : QString::fromStdString(error));
            return;
        }
        FGraph->DataPoint(KernelColour, load.Kernel);
        FGraph->DataPoint(BusyColour, load.Busy);
        FGraph->Update();
        FLoad->setText(QString("%1 % busy, %2 % in the kernel")
                           .arg(load.Busy / 10.0, 0, 'f', 1)
                           .arg(load.Kernel / 10.0, 0, 'f', 1));
    }

    TPerformanceGraph* FGraph;
    QLabel *FScale, *FLoad;
    QTimer* FTimer;
    TCpuLoadReader FReader;
};

QWidget* MakeGraphPage(QWidget* Parent) {
    return new TGraphPage(Parent);
}

const TGalleryPageRegistration GraphPage{20, "Performance graph", &MakeGraphPage};

} // namespace
