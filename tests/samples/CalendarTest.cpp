#include "platform/toolkit/FormData.h"
#include "samples/Ccalendr.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <gtest/gtest.h>

#include <memory>

namespace {

struct TYmd {
    int Y, M, D;
    bool operator==(const TYmd&) const = default;
};

std::ostream& operator<<(std::ostream& Os, const TYmd& D) {
    return Os << D.Y << "-" << D.M << "-" << D.D;
}

// A calendar with English names whatever the machine's locale, sized to whole cells.
std::unique_ptr<TCCalendar> NewCalendar(TYmd At) {
    auto c = std::make_unique<TCCalendar>();
    c->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    c->show(); // a hidden widget hears of its size only when shown
    c->resize(7 * 30 + 6 + 4, 7 * 20 + 6 + 4);
    c->SetCalendarDate(EncodeDate(At.Y, At.M, At.D));
    return c;
}

TYmd DateOf(const TCCalendar& C) {
    return {C.Year(), C.Month(), C.Day()};
}

// The cell that shows day 1, as column and row.
std::pair<int, int> CellOfDay(const TCCalendar& C, int Day) {
    for (int r = 1; r < 7; ++r)
        for (int c = 0; c < 7; ++c)
            if (C.GetCellText(c, r) == std::to_string(Day)) return {c, r};
    return {-1, -1};
}

void ClickCell(TCCalendar& C, int Col, int Row) {
    TRect r = C.CellRect(Col, Row);
    QPointF at((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
    QMouseEvent e(QEvent::MouseButtonPress, at, C.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(&C, &e);
}

void Key(TCCalendar& C, int K) {
    QKeyEvent e(QEvent::KeyPress, K, Qt::NoModifier);
    QApplication::sendEvent(&C, &e);
}

} // namespace

TEST(CalendarDates, LeapYearsAndMonthLengths) {
    const struct {
        int Year;
        bool Leap;
    } years[] = {{1900, false}, {2000, true}, {2100, false}, {2004, true}, {2001, false}, {1600, true}};
    for (auto& y : years) {
        EXPECT_EQ(TCCalendar::IsLeapYear(y.Year), y.Leap) << y.Year;
        EXPECT_EQ(TCCalendar::DaysPerMonth(y.Year, 2), y.Leap ? 29 : 28) << y.Year;
    }
    EXPECT_EQ(TCCalendar::DaysPerMonth(2001, 4), 30);
    EXPECT_EQ(TCCalendar::DaysPerMonth(2001, 12), 31);
    // Day counts are the ones stored dates are made of: 29 February 2000 is day 36585.
    EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
    EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2); // a Monday
    EXPECT_THROW(EncodeDate(2100, 2, 29), EConvertError);
    EXPECT_THROW(EncodeDate(10000, 1, 1), EConvertError);
}

TEST(CalendarGrid, DayOneColumnForEveryStartOfWeek) {
    // Months with the weekday of their 1st, 0 = Sunday.
    const struct {
        TYmd Date;
        int FirstWeekday;
    } months[] = {{{2023, 10, 15}, 0}, {{2024, 1, 31}, 1}, {{2000, 2, 29}, 2}, {{2100, 2, 1}, 1},
                  {{2021, 9, 9}, 3},   {{2015, 2, 28}, 0}, {{2022, 7, 4}, 5}};
    const char* names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    for (auto& m : months) {
        auto cal = NewCalendar(m.Date);
        for (int16_t start = 1; start <= 7; ++start) {
            cal->SetStartOfWeek(start);
            const int expected = ((m.FirstWeekday - start % 7) + 7) % 7;
            EXPECT_EQ(CellOfDay(*cal, 1), std::make_pair(expected, 1)) << m.Date << " start " << start;
            EXPECT_EQ(cal->GetCellText(expected, 0), names[m.FirstWeekday]) << m.Date << " start " << start;
            EXPECT_EQ(cal->GetCellText(0, 0), names[start % 7]);
            // The last day is shown, nothing after it, and the current cell is the date's day.
            const int last = cal->DaysThisMonth();
            EXPECT_NE(CellOfDay(*cal, last).first, -1);
            EXPECT_EQ(CellOfDay(*cal, last + 1).first, -1);
            EXPECT_EQ(std::make_pair(cal->Col(), cal->Row()), CellOfDay(*cal, m.Date.D));
        }
    }
}

TEST(CalendarGrid, MonthAndYearSteps) {
    enum TStep { Next, Prev, NextY, PrevY };
    const struct {
        TYmd From;
        TStep Step;
        TYmd To;
    } steps[] = {
        {{2001, 1, 31}, Next, {2001, 2, 28}},  {{2000, 1, 31}, Next, {2000, 2, 29}},
        {{2001, 3, 31}, Prev, {2001, 2, 28}},  {{2004, 3, 31}, Prev, {2004, 2, 29}},
        {{2001, 12, 15}, Next, {2002, 1, 15}}, {{2001, 1, 15}, Prev, {2000, 12, 15}},
        {{2000, 2, 29}, NextY, {2001, 2, 28}}, {{2000, 2, 29}, PrevY, {1999, 2, 28}},
        {{2096, 2, 29}, NextY, {2097, 2, 28}}, {{2001, 5, 31}, NextY, {2002, 5, 31}},
    };
    for (auto& s : steps) {
        auto cal = NewCalendar(s.From);
        int changes = 0;
        cal->SetOnChange([&](TObject*) { ++changes; });
        switch (s.Step) {
        case Next:
            cal->NextMonth();
            break;
        case Prev:
            cal->PrevMonth();
            break;
        case NextY:
            cal->NextYear();
            break;
        case PrevY:
            cal->PrevYear();
            break;
        }
        EXPECT_EQ(DateOf(*cal), s.To) << s.From << " step " << s.Step;
        EXPECT_GE(changes, 1);
        EXPECT_FALSE(cal->UseCurrentDate() && s.Step >= NextY);
    }
    // Past the last or the first date there is nowhere to go: a clear error, the date kept.
    auto cal = NewCalendar({9999, 12, 3});
    EXPECT_THROW(cal->NextMonth(), EConvertError);
    EXPECT_EQ(DateOf(*cal), (TYmd{9999, 12, 3}));
    cal->SetCalendarDate(EncodeDate(1, 1, 3));
    EXPECT_THROW(cal->PrevMonth(), EConvertError);
    // A year past 9999 is ignored like any other element out of range.
    cal->SetCalendarDate(EncodeDate(9999, 12, 31));
    int changes = 0;
    cal->SetOnChange([&](TObject*) { ++changes; });
    cal->NextYear();
    EXPECT_EQ(DateOf(*cal), (TYmd{9999, 12, 31}));
    EXPECT_EQ(changes, 0);
}

TEST(CalendarGrid, OutOfRangeElementsAndStartOfWeek) {
    auto cal = NewCalendar({2001, 4, 10});
    int changes = 0;
    cal->SetOnChange([&](TObject*) { ++changes; });
    const struct {
        int Index, Value;
    } ignored[] = {{3, 31}, {3, 0},     {3, -4},    {2, 13}, {2, 0},
                   {1, 0},  {1, -2000}, {1, 10000}, {3, 10}, {4, 5}};
    for (auto& i : ignored)
        cal->SetDateElement(i.Index, i.Value);
    EXPECT_EQ(DateOf(*cal), (TYmd{2001, 4, 10}));
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(cal->UseCurrentDate());

    cal->SetDay(30);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(cal->UseCurrentDate());
    cal->SetCalendarDate(cal->CalendarDate()); // unchanged, still reported
    EXPECT_EQ(changes, 2);

    // A year or month the day does not exist in: the conversion's error, the date kept.
    cal->SetCalendarDate(EncodeDate(2000, 2, 29));
    EXPECT_THROW(cal->SetYear(2001), EConvertError);
    cal->SetYear(10000);
    EXPECT_EQ(DateOf(*cal), (TYmd{2000, 2, 29}));
    cal->SetCalendarDate(EncodeDate(2001, 1, 31));
    EXPECT_THROW(cal->SetMonth(2), EConvertError);
    EXPECT_EQ(DateOf(*cal), (TYmd{2001, 1, 31}));
    for (double bad : {-700000.0, 3e6, std::nan("")})
        EXPECT_THROW(cal->SetCalendarDate(bad), EConvertError) << bad;
    EXPECT_EQ(DateOf(*cal), (TYmd{2001, 1, 31}));

    // Out-of-range weeks start on Monday, and the grid follows at once.
    for (int16_t bad : {int16_t(0), int16_t(8), int16_t(-1)}) {
        cal->SetStartOfWeek(7);
        cal->SetStartOfWeek(bad);
        EXPECT_EQ(cal->StartOfWeek(), 1);
        EXPECT_EQ(cal->GetCellText(0, 0), "Mon");
        EXPECT_EQ(CellOfDay(*cal, 1), std::make_pair(0, 1)); // 1 January 2001 was a Monday
    }
}

TEST(CalendarGrid, ClicksKeysAndReadOnly) {
    auto cal = NewCalendar({2024, 5, 15});
    cal->SetStartOfWeek(1);
    int changes = 0, clicks = 0;
    cal->SetOnChange([&](TObject*) { ++changes; });
    cal->SetOnClick([&](TObject*) { ++clicks; });

    auto [c20, r20] = CellOfDay(*cal, 20);
    ClickCell(*cal, c20, r20);
    EXPECT_EQ(cal->Day(), 20);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(clicks, 0); // the calendar's click picks the day instead of raising OnClick
    Key(*cal, Qt::Key_Down);
    EXPECT_EQ(cal->Day(), 27);
    Key(*cal, Qt::Key_Down); // 3 June is no day of May: the selection stays
    EXPECT_EQ(cal->Day(), 27);
    ClickCell(*cal, 0, 0); // the header
    ClickCell(*cal, 0, 1); // before day 1 (1 May 2024 is a Wednesday)
    EXPECT_EQ(cal->Day(), 27);

    cal->SetReadOnly(true);
    ClickCell(*cal, c20, r20);
    Key(*cal, Qt::Key_Left);
    EXPECT_EQ(cal->Day(), 27);
    EXPECT_EQ(CellOfDay(*cal, 27), std::make_pair(cal->Col(), cal->Row()));
    cal->SetDay(3); // the program still moves it
    EXPECT_EQ(CellOfDay(*cal, 3), std::make_pair(cal->Col(), cal->Row()));
}

TEST(CalendarGrid, SizesAndPicture) {
    auto cal = NewCalendar({2024, 5, 15});
    const struct {
        int W, H, ColWidth, RowHeight;
    } sizes[] = {{224, 150, 30, 20}, {100, 60, 12, 7}, {3, 3, 0, 0}, {0, 0, 0, 0}};
    for (auto& s : sizes) {
        cal->resize(s.W, s.H);
        EXPECT_EQ(cal->DefaultColWidth(), s.ColWidth) << s.W;
        EXPECT_EQ(cal->DefaultRowHeight(), s.RowHeight) << s.H;
        QImage img = cal->Picture(); // no size may fail to paint
        EXPECT_EQ(img.width(), s.W);
    }
    cal->resize(224, 150);
    cal->SetGridLineWidth(3); // the cells shrink to make room for the wider lines
    EXPECT_EQ(cal->DefaultColWidth(), (220 - 18) / 7);
    EXPECT_EQ(cal->DefaultRowHeight(), (146 - 18) / 7);
    cal->SetGridLineWidth(1);
    QImage img = cal->Picture();
    const QRgb highlight = ToQColor(clHighlight).rgb();
    auto count = [&](TRect R) {
        int n = 0;
        for (int y = R.Top; y < R.Bottom; ++y)
            for (int x = R.Left; x < R.Right; ++x)
                n += img.pixel(x, y) == highlight;
        return n;
    };
    auto [c, r] = CellOfDay(*cal, 15);
    auto [c1, r1] = CellOfDay(*cal, 16);
    EXPECT_GT(count(cal->CellRect(c, r)), 30 * 20 / 2);
    EXPECT_EQ(count(cal->CellRect(c1, r1)), 0);
}

TEST(CalendarFormData, OnlyTheWholeDateIsStored) {
    RegisterCalendar();
    auto cal = NewCalendar({2024, 5, 15});
    cal->SetUseCurrentDate(true);
    std::string text = WriteComponent(*cal);
    for (const char* prop : {"CalendarDate", "Day", "Month", "Year"})
        EXPECT_EQ(text.find(prop), std::string::npos) << text;

    cal->SetCalendarDate(EncodeDate(2000, 2, 29));
    cal->SetUseCurrentDate(false);
    cal->SetStartOfWeek(7);
    text = WriteComponent(*cal);
    EXPECT_NE(text.find("CalendarDate = \"36585\""), std::string::npos) << text;
    for (const char* prop : {"Day =", "Month =", "Year ="})
        EXPECT_EQ(text.find(prop), std::string::npos) << text;

    std::unique_ptr<TComponent> back(ReadComponent(text, nullptr));
    auto* read = dynamic_cast<TCCalendar*>(back.get());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(DateOf(*read), (TYmd{2000, 2, 29}));
    EXPECT_EQ(read->StartOfWeek(), 7);
    EXPECT_FALSE(read->UseCurrentDate());
    // A calendar never shown is still meant to be visible; one hidden on purpose is stored so.
    TCCalendar unshown;
    EXPECT_EQ(WriteComponent(unshown).find("Visible"), std::string::npos);
    unshown.hide();
    EXPECT_NE(WriteComponent(unshown).find("Visible = false"), std::string::npos);
    EXPECT_THROW(ReadComponent("c: TCCalendar {\n CalendarDate = \"tomorrow\"\n}\n", nullptr),
                 EFormDataError);
}
