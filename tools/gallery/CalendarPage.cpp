#include "platform/toolkit/Exception.h"
#include "samples/Ccalendr.h"
#include "tools/gallery/GalleryPages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <functional>

namespace {

// The calendar in a chosen locale, with its month and year steps and its switches.
class TCalendarPage : public QWidget {
  public:
    explicit TCalendarPage(QWidget* Parent) : QWidget(Parent) {
        FCalendar = new TCCalendar(this);
        FCalendar->setMinimumSize(280, 180);
        FCalendar->SetOnChange([this](TObject*) {
            ++FChanges;
            ShowDate();
        });

        auto* locale = new QComboBox(this);
        const QLocale locales[] = {QLocale(),
                                   QLocale(QLocale::English, QLocale::UnitedStates),
                                   QLocale(QLocale::Polish, QLocale::Poland),
                                   QLocale(QLocale::German, QLocale::Germany),
                                   QLocale(QLocale::French, QLocale::France),
                                   QLocale(QLocale::Japanese, QLocale::Japan)};
        for (const QLocale& l : locales)
            locale->addItem(l == QLocale() ? "This machine's (" + l.name() + ")" : l.nativeLanguageName(), l);
        // 0 and 8 are out of range on purpose: the calendar starts the week on Monday then.
        auto* start = new QSpinBox(this);
        start->setRange(0, 8);
        start->setValue(FCalendar->StartOfWeek());
        auto* readOnly = new QCheckBox("Read only (the buttons still move it)", this);
        auto* today = new QPushButton("Today", this);
        auto* steps = new QHBoxLayout;
        const std::pair<const char*, std::function<void()>> moves[] = {
            {"« Year", [this] { FCalendar->PrevYear(); }},
            {"‹ Month", [this] { FCalendar->PrevMonth(); }},
            {"Month ›", [this] { FCalendar->NextMonth(); }},
            {"Year »", [this] { FCalendar->NextYear(); }},
        };
        for (auto& [text, move] : moves) {
            auto* b = new QPushButton(text, this);
            steps->addWidget(b);
            connect(b, &QPushButton::clicked, this, [this, move] { Try(move); });
        }
        FDate = new QLabel(this);
        FStatus = new QLabel(this);
        FStatus->setWordWrap(true);

        auto* form = new QFormLayout;
        form->addRow("Weekday names", locale);
        form->addRow("Start of week (1 = Monday … 7 = Sunday)", start);
        form->addRow("", readOnly);
        form->addRow("Move", steps);
        form->addRow("", today);
        form->addRow("Selected", FDate);
        form->addRow(FStatus);
        auto* page = new QHBoxLayout(this);
        page->addWidget(FCalendar, 1);
        page->addSpacing(12);
        page->addLayout(form);

        connect(locale, &QComboBox::currentIndexChanged, this, [this, locale](int i) {
            FCalendar->setLocale(locale->itemData(i).toLocale());
            ShowDate();
        });
        connect(start, &QSpinBox::valueChanged, this, [this, start](int v) {
            FCalendar->SetStartOfWeek(static_cast<int16_t>(v));
            QSignalBlocker quiet(start);
            start->setValue(FCalendar->StartOfWeek());
        });
        connect(readOnly, &QCheckBox::toggled, this, [this](bool on) { FCalendar->SetReadOnly(on); });
        connect(today, &QPushButton::clicked, this, [this] {
            FCalendar->SetUseCurrentDate(false);
            FCalendar->SetUseCurrentDate(true);
            ShowDate();
        });
        ShowDate();
    }

  private:
    void Try(const std::function<void()>& Move) {
        try {
            Move();
            FStatus->clear();
        } catch (const Exception& e) {
            FStatus->setText(QString::fromStdString(e.Message()));
        }
    }
    void ShowDate() {
        QDate d(FCalendar->Year(), FCalendar->Month(), FCalendar->Day());
        FDate->setText(QString("%1\n%2 change(s)%3")
                           .arg(FCalendar->locale().toString(d, QLocale::LongFormat))
                           .arg(FChanges)
                           .arg(FCalendar->UseCurrentDate() ? ", today's date" : ""));
    }

    TCCalendar* FCalendar;
    QLabel *FDate, *FStatus;
    int FChanges = 0;
};

QWidget* MakeCalendarPage(QWidget* Parent) {
    return new TCalendarPage(Parent);
}

const TGalleryPageRegistration CalendarPage{30, "Calendar", &MakeCalendarPage};

} // namespace
