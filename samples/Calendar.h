#pragma once

#include "platform/toolkit/DateTime.h"
#include "platform/toolkit/qt/Grid.h"

#include <cstdint>
#include <string>

struct TClassInfo;

// The calendar grid: one month as 7 columns and 7 rows, a header row of short weekday names (from
// the control's locale) and up to six week rows of day numbers. A click or a key selects a day;
// properties and the month and year steps move the date. GUI thread only.
class TCCalendar : public TCustomGrid {
  public:
    TCCalendar(QWidget* Parent, TComponent* AOwner);
    explicit TCCalendar(QWidget* Parent = nullptr) : TCCalendar(Parent, nullptr) {}
    // For the form-data reader: the owner, when it is a widget, is also the Qt parent.
    explicit TCCalendar(TComponent* AOwner);

    std::string ClassName() const override { return "TCCalendar"; }
    // The published properties and their stored defaults (registered once, on first use).
    static const TClassInfo& StaticClassInfo();

    TDateTime CalendarDate() const { return FDate; }
    // Stores, redraws and raises OnChange, also when the date is unchanged. A value that is no
    // date (outside the years 1 to 9999, NaN) raises EConvertError and changes nothing.
    void SetCalendarDate(TDateTime Value);
    // The property text of CalendarDate in form data: the day count, exactly.
    std::string CalendarDateText() const;
    void SetCalendarDateText(const std::string& Value);

    // Index 1 = year, 2 = month, 3 = day. Values at or below 0, months above 12 and days beyond
    // the month are ignored; a year or month the current day does not exist in raises
    // EConvertError and keeps the date.
    int GetDateElement(int Index) const;
    void SetDateElement(int Index, int Value);
    int Year() const { return GetDateElement(1); }
    void SetYear(int Value) { SetDateElement(1, Value); }
    int Month() const { return GetDateElement(2); }
    void SetMonth(int Value) { SetDateElement(2, Value); }
    int Day() const { return GetDateElement(3); }
    void SetDay(int Value) { SetDateElement(3, Value); }

    // The weekday of column 0, 0 = Sunday, 1 = Monday … 7 = Sunday again. Out-of-range values store 1.
    int16_t StartOfWeek() const { return FStartOfWeek; }
    void SetStartOfWeek(int16_t Value);
    bool UseCurrentDate() const { return FUseCurrentDate; }
    void SetUseCurrentDate(bool Value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value) { FReadOnly = Value; }

    static bool IsLeapYear(int AYear) { return ::IsLeapYear(AYear); }
    static int DaysPerMonth(int AYear, int AMonth) { return ::DaysPerMonth(AYear, AMonth); }
    int DaysThisMonth() const { return DaysPerMonth(Year(), Month()); }

    void NextMonth() { ChangeMonth(1); }
    void PrevMonth() { ChangeMonth(-1); }
    void NextYear();
    void PrevYear();
    void ChangeMonth(int Delta);

    void UpdateCalendar();
    // The header's short weekday names, the day numbers, and the empty text around the month.
    std::string GetCellText(int ACol, int ARow) const;

    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }

    QSize sizeHint() const override { return QSize(320, 120); }

  protected:
    virtual void Change();
    bool SelectCell(int ACol, int ARow) override;
    void DrawCell(TCanvas& Canvas, int ACol, int ARow, const TRect& ARect,
                  TGridDrawState AState) const override;
    void Click() override;
    void BoundsChanged() override;

  private:
    TDateTime FDate = 0;
    bool FUseCurrentDate = true;
    int16_t FStartOfWeek = 1;
    bool FReadOnly = false;
    int32_t FMonthOffset = 0;
    bool FUpdating = false;
    TNotifyEvent FOnChange;
};

// Makes the calendar known to stored form data; idempotent.
void RegisterCalendar();
