#include "samples/Calendar.h"

#include "platform/toolkit/FormData.h"

#include <QLocale>

#include <charconv>
#include <cmath>

namespace {

QWidget* ParentOf(TComponent* AOwner) {
    return dynamic_cast<QWidget*>(AOwner);
}

int FloorMod(int A, int B) {
    return ((A % B) + B) % B;
}

} // namespace

TCCalendar::TCCalendar(QWidget* Parent, TComponent* AOwner) : TCustomGrid(Parent, AOwner) {
    SetFixedCols(0);
    SetColCount(7);
    SetRowCount(7);
    SetFixedRows(1);
    SetOptions(Options() - TGridOptions{goRangeSelect} + TGridOptions{goDrawFocusSelected});
    FStartOfWeek = 1;
    FDate = Date();
    UpdateCalendar();
    BoundsChanged();
}

TCCalendar::TCCalendar(TComponent* AOwner) : TCCalendar(ParentOf(AOwner), AOwner) {}

void TCCalendar::Change() {
    if (FOnChange) FOnChange(this);
}

void TCCalendar::SetCalendarDate(TDateTime Value) {
    if (!IsValidDate(Value)) throw EConvertError("The calendar date must lie in the years 1 to 9999");
    FDate = Value;
    UpdateCalendar();
    Change();
}

std::string TCCalendar::CalendarDateText() const {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, FDate);
    return std::string(buf, r.ptr);
}

void TCCalendar::SetCalendarDateText(const std::string& Value) {
    double v = 0;
    auto r = std::from_chars(Value.data(), Value.data() + Value.size(), v);
    if (Value.empty() || r.ec != std::errc() || r.ptr != Value.data() + Value.size())
        throw EConvertError("\"" + Value + "\" is not a calendar date (a day count such as 36585)");
    SetCalendarDate(v);
}

int TCCalendar::GetDateElement(int Index) const {
    int y = 0, m = 0, d = 0;
    DecodeDate(FDate, y, m, d);
    switch (Index) {
    case 1:
        return y;
    case 2:
        return m;
    case 3:
        return d;
    default:
        return -1;
    }
}

void TCCalendar::SetDateElement(int Index, int Value) {
    if (Value <= 0) return;
    if (Index == 2 && Value > 12) return;
    if (Index == 3 && Value > DaysThisMonth()) return;
    if (Index == 1 && Value > 9999) return; // no date past the year 9999: ignored like the others
    if (Index < 1 || Index > 3) return;
    int ymd[3] = {Year(), Month(), Day()};
    if (ymd[Index - 1] == Value) return;
    ymd[Index - 1] = Value;
    FDate = EncodeDate(ymd[0], ymd[1], ymd[2]);
    FUseCurrentDate = false;
    UpdateCalendar();
    Change();
}

void TCCalendar::SetStartOfWeek(int16_t Value) {
    // Every change refreshes the grid, also the one to 1 from a value out of range, so the header
    // and the day numbers never disagree.
    if (Value < 1 || Value > 7) Value = 1;
    if (Value == FStartOfWeek) return;
    FStartOfWeek = Value;
    UpdateCalendar();
}

void TCCalendar::SetUseCurrentDate(bool Value) {
    if (Value == FUseCurrentDate) return;
    FUseCurrentDate = Value;
    if (Value) {
        FDate = Date();
        UpdateCalendar();
    }
}

void TCCalendar::ChangeMonth(int Delta) {
    int y = 0, m = 0, d = 0;
    DecodeDate(FDate, y, m, d);
    const int day = d;
    TDateTime edge = EncodeDate(y, m, Delta < 1 ? 1 : DaysPerMonth(y, m)) + Delta;
    if (!IsValidDate(edge)) throw EConvertError("The calendar date must lie in the years 1 to 9999");
    DecodeDate(edge, y, m, d);
    SetCalendarDate(EncodeDate(y, m, std::min(day, DaysPerMonth(y, m))));
}

void TCCalendar::NextYear() {
    if (IsLeapYear(Year()) && Month() == 2 && Day() == 29) SetDay(28);
    SetYear(Year() + 1);
}

void TCCalendar::PrevYear() {
    if (IsLeapYear(Year()) && Month() == 2 && Day() == 29) SetDay(28);
    SetYear(Year() - 1);
}

void TCCalendar::UpdateCalendar() {
    FUpdating = true;
    int y = 0, m = 0, d = 0;
    DecodeDate(FDate, y, m, d);
    const int first = DayOfWeek(EncodeDate(y, m, 1));
    FMonthOffset = 2 - FloorMod(first - FStartOfWeek + 7, 7);
    if (FMonthOffset == 2) FMonthOffset = -5;
    try {
        MoveColRow((d - FMonthOffset) % 7, (d - FMonthOffset) / 7 + 1);
    } catch (...) {
        FUpdating = false;
        throw;
    }
    Invalidate();
    FUpdating = false;
}

std::string TCCalendar::GetCellText(int ACol, int ARow) const {
    if (ACol < 0 || ACol >= ColCount() || ARow < 0 || ARow >= RowCount()) return {};
    if (ARow == 0) {
        // QLocale counts weekdays 1 = Monday … 7 = Sunday.
        const int weekday = (FStartOfWeek + ACol) % 7;
        return locale().dayName(weekday == 0 ? 7 : weekday, QLocale::ShortFormat).toStdString();
    }
    const int n = FMonthOffset + ACol + (ARow - 1) * 7;
    if (n < 1 || n > DaysThisMonth()) return {};
    return std::to_string(n);
}

bool TCCalendar::SelectCell(int ACol, int ARow) {
    if ((!FUpdating && FReadOnly) || GetCellText(ACol, ARow).empty()) return false;
    return TCustomGrid::SelectCell(ACol, ARow);
}

void TCCalendar::DrawCell(TCanvas& Canvas, int ACol, int ARow, const TRect& ARect, TGridDrawState) const {
    const std::string text = GetCellText(ACol, ARow);
    Canvas.Brush().Style = bsClear;
    const int x = ARect.Left + (ARect.Width() - Canvas.TextWidth(text)) / 2;
    const int y = ARect.Top + (ARect.Height() - Canvas.TextHeight(text)) / 2;
    Canvas.TextRect(ARect, x, y, text);
}

void TCCalendar::Click() {
    const std::string text = GetCellText(Col(), Row());
    if (!text.empty()) SetDay(std::stoi(text));
}

void TCCalendar::BoundsChanged() {
    // Clamped at 0, so a control smaller than its grid lines has empty cells, never negative ones.
    const TRect client = ClientRect();
    SetDefaultColWidth(std::max(0, (client.Width() - 6 * GridLineWidth()) / 7));
    SetDefaultRowHeight(std::max(0, (client.Height() - 6 * GridLineWidth()) / 7));
}

namespace {

const TClassInfo& RegisterCalendarClass() {
    using C = TCCalendar;
    return TPublished<C>("TCCalendar", "TComponent")
        .Enum("BorderStyle", &C::BorderStyle, &C::SetBorderStyle, {"bsNone", "bsSingle"}, Default(bsSingle))
        .Integer("Color", &C::Color, &C::SetColor, Default(clWindow), 0, 0xFFFFFFFF)
        .Bool("Ctl3D", &C::Ctl3D, &C::SetCtl3D, Default(true))
        // Day, Month and Year are read but never written: applied one by one from a stored form
        // they would pass through dates that do not exist. CalendarDate carries the date.
        .Integer("Day", &C::Day, &C::SetDay, Never())
        .Bool("Enabled", &C::Enabled, &C::SetEnabled, Default(true))
        .Integer("GridLineWidth", &C::GridLineWidth, &C::SetGridLineWidth, Default(1))
        .Integer("Month", &C::Month, &C::SetMonth, Never())
        .Bool("ReadOnly", &C::ReadOnly, &C::SetReadOnly, Default(false))
        .Integer("StartOfWeek", &C::StartOfWeek, &C::SetStartOfWeek, Default(1))
        .Bool("TabStop", &C::TabStop, &C::SetTabStop, Default(true))
        .Bool("UseCurrentDate", &C::UseCurrentDate, &C::SetUseCurrentDate, Default(true))
        .Bool("Visible", &C::Visible, &C::SetVisible, Default(true))
        .Integer("Year", &C::Year, &C::SetYear, Never())
        .String("CalendarDate", &C::CalendarDateText, &C::SetCalendarDateText)
        .StoredWhen([](const C& c) { return !c.UseCurrentDate(); })
        .Event<TNotifyEvent>("OnClick", &C::OnClick, &C::SetOnClick)
        .Event<TNotifyEvent>("OnChange", &C::OnChange, &C::SetOnChange)
        .Event<TNotifyEvent>("OnDblClick", &C::OnDblClick, &C::SetOnDblClick)
        .Register();
}

} // namespace

const TClassInfo& TCCalendar::StaticClassInfo() {
    static const TClassInfo& info = RegisterCalendarClass();
    return info;
}

void RegisterCalendar() {
    TCCalendar::StaticClassInfo();
}
