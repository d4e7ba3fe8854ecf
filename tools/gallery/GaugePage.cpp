#include "platform/toolkit/Exception.h"
#include "samples/Cgauges.h"
#include "tools/gallery/GalleryControls.h"
#include "tools/gallery/GalleryPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <array>

namespace {

const char* const KindNames[] = {"Text", "Horizontal bar", "Vertical bar", "Pie", "Needle"};

// One large gauge set by the inputs, and one small gauge of every kind following the same value.
class TGaugePage : public QWidget {
  public:
    explicit TGaugePage(QWidget* Parent) : QWidget(Parent) {
        FMain = new TCGauge(this);
        FMain->setFixedSize(180, 180);
        auto* kind = new QComboBox(this);
        for (const char* k : KindNames)
            kind->addItem(k);
        kind->setCurrentIndex(FMain->Kind());
        FValue = new QSlider(Qt::Horizontal, this);
        FValue->setRange(FMain->MinValue(), FMain->MaxValue());
        auto* add = new QPushButton("Add 10", this);
        FMin = new QSpinBox(this);
        FMax = new QSpinBox(this);
        for (QSpinBox* s : {FMin, FMax})
            s->setRange(-1000000, 1000000);
        FMin->setValue(FMain->MinValue());
        FMax->setValue(FMain->MaxValue());
        auto* fore = NewColourCombo(this, clNavy);
        auto* back = NewColourCombo(this, clWhite);
        auto* text = new QCheckBox("Show the percentage", this);
        text->setChecked(true);
        auto* border = new QCheckBox("Single border", this);
        border->setChecked(true);
        FStatus = new QLabel(this);
        FStatus->setWordWrap(true);

        auto* form = new QFormLayout;
        form->addRow("Kind", kind);
        auto* valueRow = new QHBoxLayout;
        valueRow->addWidget(FValue, 1);
        valueRow->addWidget(add);
        form->addRow("Progress", valueRow);
        form->addRow("Minimum", FMin);
        form->addRow("Maximum", FMax);
        form->addRow("Fore colour", fore);
        form->addRow("Back colour", back);
        form->addRow("", text);
        form->addRow("", border);
        form->addRow("", FStatus);
        auto* top = new QHBoxLayout;
        top->addWidget(FMain, 0, Qt::AlignTop);
        top->addSpacing(12);
        top->addLayout(form, 1);
        auto* row = new QHBoxLayout;
        for (size_t i = 0; i < FAll.size(); ++i) {
            FAll[i] = new TCGauge(this);
            FAll[i]->setFixedSize(90, 90);
            FAll[i]->SetKind(static_cast<TCGaugeKind>(i));
            FAll[i]->setToolTip(KindNames[i]);
            row->addWidget(FAll[i]);
        }
        row->addStretch(1);
        auto* page = new QVBoxLayout(this);
        page->addLayout(top);
        page->addSpacing(12);
        page->addWidget(new QLabel("Every kind at the same value:", this));
        page->addLayout(row);
        page->addStretch(1);

        Each([&](TCGauge* g) {
            g->SetForeColor(ComboColour(fore));
            g->SetBackColor(ComboColour(back));
        });
        connect(kind, &QComboBox::currentIndexChanged, this,
                [this](int i) { FMain->SetKind(static_cast<TCGaugeKind>(i)); });
        connect(FValue, &QSlider::valueChanged, this,
                [this](int v) { Each([v](TCGauge* g) { g->SetProgress(v); }); });
        connect(add, &QPushButton::clicked, this, [this] {
            Each([](TCGauge* g) { g->AddProgress(10); });
            Show();
        });
        connect(FMin, &QSpinBox::editingFinished, this, [this] { Range(true); });
        connect(FMax, &QSpinBox::editingFinished, this, [this] { Range(false); });
        connect(fore, &QComboBox::currentIndexChanged, this,
                [this, fore] { Each([&](TCGauge* g) { g->SetForeColor(ComboColour(fore)); }); });
        connect(back, &QComboBox::currentIndexChanged, this,
                [this, back] { Each([&](TCGauge* g) { g->SetBackColor(ComboColour(back)); }); });
        connect(text, &QCheckBox::toggled, this,
                [this](bool on) { Each([on](TCGauge* g) { g->SetShowText(on); }); });
        connect(border, &QCheckBox::toggled, this,
                [this](bool on) { Each([on](TCGauge* g) { g->SetBorderStyle(on ? bsSingle : bsNone); }); });
        FValue->setValue(62);
        Show();
    }

  private:
    template <class F> void Each(F Do) {
        Do(FMain);
        for (TCGauge* g : FAll)
            Do(g);
    }

    // A new minimum or maximum; the gauge's own range error is shown and the field set back.
    void Range(bool Minimum) {
        try {
            Each(
                [&](TCGauge* g) { Minimum ? g->SetMinValue(FMin->value()) : g->SetMaxValue(FMax->value()); });
            FStatus->clear();
        } catch (const Exception& e) {
            FStatus->setText(QString::fromStdString(e.Message()));
        }
        Show();
    }

    // The inputs follow the gauge: its range, its value after clamping or adding.
    void Show() {
        QSignalBlocker block(FValue);
        FValue->setRange(FMain->MinValue(), FMain->MaxValue());
        FValue->setValue(FMain->Progress());
        FMin->setValue(FMain->MinValue());
        FMax->setValue(FMain->MaxValue());
        FValue->setToolTip(QString("%1 (%2 %)").arg(FMain->Progress()).arg(FMain->PercentDone()));
    }

    TCGauge* FMain;
    std::array<TCGauge*, 5> FAll{};
    QSlider* FValue;
    QSpinBox *FMin, *FMax;
    QLabel* FStatus;
};

QWidget* MakeGaugePage(QWidget* Parent) {
    return new TGaugePage(Parent);
}

const TGalleryPageRegistration GaugePage{10, "Gauge", &MakeGaugePage};

} // namespace
