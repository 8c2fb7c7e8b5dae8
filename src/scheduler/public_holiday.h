// Public holidays: dated entries of the scheduler's PublicHolidays collection, on which
// schedules with the public-holiday bit also run.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/persistence.h"
#include "interfaces/scheduler.h"
#include "platform/com_object.h"
#include "platform/lock.h"
#include "platform/object_safety.h"
#include "scheduler/solar.h"

// The holiday record. Fields are read by the timer thread while scripts may change them.
class PHBase {
  public:
    static constexpr std::u16string_view kDefaultName = u"Uninitialised Public Holiday";

    // The record matches a local date when month and day are equal and its year is 0 or less
    // (every year) or equal; an invalid date matches nothing.
    bool Matches(DateValue date) const;

    // Null name: `has_name` false.
    std::u16string name(bool* has_name) const;
    void set_name(const OLECHAR* name, std::size_t length);
    void clear_name();
    LONG year() const { return year_.load(); }
    void set_year(LONG value) { year_.store(value); }
    LONG month() const { return month_.load(); }
    void set_month(LONG value) { month_.store(value); }
    LONG day() const { return day_.load(); }
    void set_day(LONG value) { day_.store(value); }

  private:
    mutable CCriticalSectionEx lock_;  // guards the name
    std::u16string name_{kDefaultName};
    bool has_name_ = true;
    std::atomic<LONG> year_{-1};
    std::atomic<LONG> month_{-1};
    std::atomic<LONG> day_{-1};
};

// PublicHoliday: the script object, itself the record. Agile; scripts may add members.
class CPublicHoliday
    : public ComObjectRoot<CPublicHoliday, IDispatchExImpl<IPublicHoliday>, _IInternalPublicHoliday,
                           IQuorvaneSerialisable, MyIObjectSafetyImpl, IMarshal>,
      public PHBase {
  public:
    static constexpr std::u16string_view kTypeName = u"brevanto.publicholiday";

    HRESULT FinalConstruct();

    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Year(LONG newVal) override;
    HRESULT get_Year(LONG* pVal) override;
    HRESULT put_Month(LONG newVal) override;
    HRESULT get_Month(LONG* pVal) override;
    HRESULT put_Day(LONG newVal) override;
    HRESULT get_Day(LONG* pVal) override;

    HRESULT GetHoliday(PHBase** holiday) override;

    HRESULT GetTypeName(BSTR* name) override;
    HRESULT get_DynamicMembers(VARIANT_BOOL* enabled) override;
    HRESULT put_DynamicMembers(VARIANT_BOOL enabled) override;
    HRESULT GetMemberNames(VARIANT* names) override;
};

// The holiday record of a script object (or a placeholder standing for one); null otherwise.
// Valid while the caller holds `object`.
PHBase* HolidayOf(IUnknown* object);
