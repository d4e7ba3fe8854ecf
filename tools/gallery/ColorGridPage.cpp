#include "samples/Cgrid.h"
#include "tools/gallery/GalleryControls.h"
#include "tools/gallery/GalleryPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// The colour grid with its orderings and switches, and the two chosen colours shown beside it.
class TColorGridPage : public QWidget {
  public:
    explicit TColorGridPage(QWidget* Parent) : QWidget(Parent) {
        // The grid sizes itself to whole cells, so it sits in a holder without a layout.
        auto* holder = new QWidget(this);
        holder->setFixedSize(322, 322);
        FGrid = new TCColorGrid(holder);
        FGrid->SetTabStop(true);
        FGrid->SetBackgroundIndex(15);
        FGrid->resize(160, 160);

        auto* ordering = new QComboBox(this);
        ordering->addItems({"16 × 1", "8 × 2", "4 × 4", "2 × 8", "1 × 16"});
        ordering->setCurrentIndex(FGrid->GridOrdering());
        auto* size = new QSpinBox(this);
        size->setRange(8, 320);
        size->setValue(160);
        auto* fgOn = new QCheckBox("Foreground enabled", this);
        auto* bgOn = new QCheckBox("Background enabled", this);
        auto* clicks = new QCheckBox("A click enables a colour", this);
        auto* ctl3d = new QCheckBox("3D squares", this);
        fgOn->setChecked(FGrid->ForegroundEnabled());
        bgOn->setChecked(FGrid->BackgroundEnabled());
        ctl3d->setChecked(FGrid->Ctl3D());
        FFgSwatch = NewSwatch(this);
        FBgSwatch = NewSwatch(this);
        FFg = new QLabel(this);
        FBg = new QLabel(this);
        FSample = new QLabel("  Sample text  ", this);
        FSample->setAutoFillBackground(true);
        FChanges = new QLabel(this);
        auto* help = new QLabel("Left button or F: foreground. Other buttons or B: background.\n"
                                "Arrows, Home, End and Space move the selection.",
                                this);

        auto* form = new QFormLayout;
        form->addRow("Ordering", ordering);
        form->addRow("Size (pixels)", size);
        form->addRow("", fgOn);
        form->addRow("", bgOn);
        form->addRow("", clicks);
        form->addRow("", ctl3d);
        auto* fgRow = new QHBoxLayout;
        fgRow->addWidget(FFgSwatch);
        fgRow->addWidget(FFg, 1);
        auto* bgRow = new QHBoxLayout;
        bgRow->addWidget(FBgSwatch);
        bgRow->addWidget(FBg, 1);
        form->addRow("Foreground", fgRow);
        form->addRow("Background", bgRow);
        form->addRow("Both", FSample);
        form->addRow("Changes", FChanges);
        form->addRow(help);
        auto* page = new QHBoxLayout(this);
        page->addWidget(holder, 0, Qt::AlignTop);
        page->addSpacing(12);
        page->addLayout(form, 1);

        connect(ordering, &QComboBox::currentIndexChanged, this, [this](int i) {
            FGrid->SetGridOrdering(static_cast<TGridOrdering>(i));
            ShowChoice();
        });
        connect(size, &QSpinBox::valueChanged, this, [this](int v) {
            FGrid->resize(v, v);
            ShowChoice();
        });
        connect(fgOn, &QCheckBox::toggled, this, [this](bool on) {
            FGrid->EnableForeground(on);
            ShowChoice();
        });
        connect(bgOn, &QCheckBox::toggled, this, [this](bool on) {
            FGrid->EnableBackground(on);
            ShowChoice();
        });
        connect(clicks, &QCheckBox::toggled, this, [this](bool on) { FGrid->SetClickEnablesColor(on); });
        connect(ctl3d, &QCheckBox::toggled, this, [this](bool on) { FGrid->SetCtl3D(on); });
        // A click can turn a disabled choice on; the boxes follow the grid.
        FGrid->SetOnChange([this, fgOn, bgOn](TObject*) {
            ++FChangeCount;
            QSignalBlocker a(fgOn), b(bgOn);
            fgOn->setChecked(FGrid->ForegroundEnabled());
            bgOn->setChecked(FGrid->BackgroundEnabled());
            ShowChoice();
        });
        ShowChoice();
    }

  private:
    void ShowChoice() {
        auto show = [](QLabel* Swatch, QLabel* Text, bool Enabled, int Index, TColor Colour) {
            Swatch->setVisible(Enabled);
            Text->setText(Enabled ? QString("square %1, %2").arg(Index).arg(ColourName(Colour)) : "none");
        };
        show(FFgSwatch, FFg, FGrid->ForegroundEnabled(), FGrid->ForegroundIndex(), FGrid->ForegroundColor());
        show(FBgSwatch, FBg, FGrid->BackgroundEnabled(), FGrid->BackgroundIndex(), FGrid->BackgroundColor());
        SetSwatch(FFgSwatch, FGrid->ForegroundColor());
        SetSwatch(FBgSwatch, FGrid->BackgroundColor());
        QPalette p = FSample->palette();
        p.setColor(QPalette::Window,
                   ToQColor(FGrid->BackgroundEnabled() ? FGrid->BackgroundColor() : clWhite));
        p.setColor(QPalette::WindowText,
                   ToQColor(FGrid->ForegroundEnabled() ? FGrid->ForegroundColor() : clBlack));
        FSample->setPalette(p);
        FChanges->setText(
            QString("%1 (grid %2 × %3 pixels)").arg(FChangeCount).arg(FGrid->width()).arg(FGrid->height()));
    }

    TCColorGrid* FGrid;
    QLabel *FFgSwatch, *FBgSwatch, *FFg, *FBg, *FSample, *FChanges;
    int FChangeCount = 0;
};

QWidget* MakeColorGridPage(QWidget* Parent) {
    return new TColorGridPage(Parent);
}

const TGalleryPageRegistration ColorGridPage{40, "Colour grid", &MakeColorGridPage};

} // namespace
