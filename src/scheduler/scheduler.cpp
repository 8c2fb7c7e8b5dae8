#include "scheduler/scheduler.h"

#include <utility>

#include "platform/boundary.h"
#include "platform/clock.h"
#include "platform/var_date.h"

namespace {

// Calls the method `name` of a script object with up to two arguments (script order).
HRESULT CallByName(IDispatch* object, const char16_t* name, std::vector<CComVariant> args,
                   VARIANT* result) {
    DISPID dispid = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    std::vector<CComVariant> reversed(args.rbegin(), args.rend());  // rgvarg holds them last first
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                          nullptr, nullptr);
}

// A script Date (anything that answers its getters) as a date value; day 0 when a call fails.
DateValue DateFromScript(IDispatch* date) {
    static constexpr const char16_t* kGetters[] = {u"getDate",        u"getMonth",   u"getFullYear",
                                                   u"getHours",       u"getMinutes", u"getSeconds",
                                                   u"getMilliseconds"};
    WORD fields[7] = {};
    for (int i = 0; i < 7; ++i) {
        CComVariant value, number;
        if (!date || FAILED(CallByName(date, kGetters[i], {}, &value)) ||
            FAILED(VariantChangeType(&number, &value, 0, VT_UI2)))
            return DateValue{0, true};
        fields[i] = number.uiVal;
    }
    double days = 0;
    if (!automation::PartsToDate(fields[2], fields[1] + 1, fields[0], fields[3], fields[4],
                                 fields[5], &days))
        return DateValue{0, false};
    return DateValue{automation::AddDays(days, fields[6] / 86400000.0), true};
}

HRESULT SetHourMinute(IDispatch* target, int hour, int minute) {
    CComVariant ignored;
    HRESULT hr = CallByName(target, u"setHours", {CComVariant(LONG{hour})}, &ignored);
    if (FAILED(hr)) return hr;
    return CallByName(target, u"setMinutes", {CComVariant(LONG{minute})}, &ignored);
}

}  // namespace

// Arms each schedule added to Schedules and disarms each one that leaves it.
class CScheduler::SchedNotifier : public CollectionNotifier {
  public:
    explicit SchedNotifier(CScheduler* scheduler) : scheduler_(scheduler) {}
    void OnAdd(const CollectionElement& element) override {
        if (ref<ScheduleBase> schedule = CoreOf(element)) scheduler_->Arm(schedule.get());
    }
    void OnRemove(size_t, const CollectionElement& element) override {
        if (ref<ScheduleBase> schedule = CoreOf(element)) scheduler_->Disarm(schedule.get());
    }
    void OnClear() override {
        for (ref<ScheduleBase>& schedule : scheduler_->LiveSchedules())
            scheduler_->Disarm(schedule.get());
    }

  private:
    static ref<ScheduleBase> CoreOf(const CollectionElement& element) {
        ComPtr<IUnknown> object;
        if (!element || FAILED(element->CopyTo(object.put()))) return nullptr;
        return ScheduleOf(object.get());
    }
    CScheduler* scheduler_;  // owns this notifier
};

CScheduler::CScheduler() {
    schedules_.SetNotifier(new SchedNotifier(this));
    // Holidays are read when a day is tested: their collection needs no hook.
    LoadTimeZone(&place_);
}

void CScheduler::Start() {
    thread_.Start();
}

void CScheduler::Shutdown() {
    thread_.StopAndJoin();
}

HRESULT CScheduler::Destroy() {
    schedules_.ClearAll();
    holidays_.ClearAll();
    timers_.ClearAll();
    return S_OK;
}

// ---- IScheduler ----

HRESULT CScheduler::get_Schedules(IGenericCollection** pVal) {
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    return schedules_.QueryInterface(pVal);
}

HRESULT CScheduler::get_PublicHolidays(IGenericCollection** pVal) {
    if (!pVal) return E_POINTER;
    if (*pVal) (*pVal)->Release();
    return holidays_.QueryInterface(pVal);
}

HRESULT CScheduler::GetText(const std::u16string Place::*field, BSTR* out) const {
    if (!out) return E_POINTER;
    const std::u16string text = CurrentPlace().*field;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CScheduler::get_Locale(BSTR* pVal) {
    return StatusOf([&] { return GetText(&Place::locale, pVal); });
}
HRESULT CScheduler::get_City(BSTR* pVal) {
    return StatusOf([&] { return GetText(&Place::city, pVal); });
}
HRESULT CScheduler::get_Timezone(BSTR* pVal) {
    return StatusOf([&] { return GetText(&Place::timezone, pVal); });
}
HRESULT CScheduler::get_Country(BSTR* pVal) {
    return StatusOf([&] { return GetText(&Place::country, pVal); });
}

HRESULT CScheduler::get_Lat(FLOAT* pVal) {
    if (!pVal) return E_POINTER;
    CScopedLock lock(place_lock_);
    *pVal = place_.lat;
    return S_OK;
}

HRESULT CScheduler::get_Long(FLOAT* pVal) {
    if (!pVal) return E_POINTER;
    CScopedLock lock(place_lock_);
    *pVal = place_.lng;
    return S_OK;
}

HRESULT CScheduler::put_Locale(BSTR newVal) {
    return StatusOf([&] {
        const std::u16string name(newVal ? newVal : u"", SysStringLen(newVal));
        {
            CScopedLock lock(place_lock_);
            place_.locale = name;  // kept even when the file cannot be read
        }
        CXMLLogSink log;
        CLocaleReader reader(&log);
        CXMLReader(DataDirectory()).Read(name, &reader);
        if (FAILED(reader.Result) || reader.Result == S_FALSE) return E_INVALIDARG;
        SetPlace(reader.record());
        return S_OK;
    });
}

void CScheduler::SetPlace(const LocaleRecord& record) {
    Place place = CurrentPlace();
    place.city = record.city;
    place.lat = record.lat;
    place.lng = record.lng;
    place.timezone = record.timezone;
    place.country = record.country;
    place.use_daylight_saving = record.use_daylight_saving;
    LoadTimeZone(&place);
    {
        CScopedLock lock(place_lock_);
        place_ = std::move(place);
    }
    // Only the timers' fields change: the queued entries take the new wait at their next run.
    for (ref<ScheduleBase>& schedule : LiveSchedules())
        schedule->ScheduleNext(LocalNowDate(), this);
}

void CScheduler::LoadTimeZone(Place* place) {
    const auto now = SystemNow();
    GetMachineTimeZoneInformation(now, &place->zone);
    GetNamedTimeZoneInformation(place->timezone, now, &place->zone);
}

HRESULT CScheduler::Save() {
    StatusOf([&] {
        if (CurrentGlobal::Get()) {
            const std::u16string directory = DataDirectory();
            CScheduleWriter holidays(static_cast<IGenericCollection*>(&holidays_));
            CXMLWriter(directory).Write(kPublicHolidaysFile, holidays);
            CScheduleWriter schedules(static_cast<IGenericCollection*>(&schedules_));
            CXMLWriter(directory).Write(kSchedulesFile, schedules);
        }
    });
    ClockChanged();
    return S_OK;
}

HRESULT CScheduler::SunriseSunsetTimes(IDispatch* day, IDispatch** Sunrise, IDispatch** Sunset) {
    if (!Sunrise || !*Sunrise || !Sunset || !*Sunset) return E_POINTER;
    return StatusOf([&] {
        const DateValue date = DateFromScript(day);
        int hour, minute;
        solar::HourMinuteOf(SunriseOn(date), &hour, &minute);
        HRESULT hr = SetHourMinute(*Sunrise, hour, minute);
        if (FAILED(hr)) return hr;
        solar::HourMinuteOf(SunsetOn(date), &hour, &minute);
        return SetHourMinute(*Sunset, hour, minute);
    });
}

// ---- ScheduleCalendar ----

bool CScheduler::IsHolidayOn(DateValue date) {
    auto items = holidays_.Items();
    for (const CollectionElement& element : *items) {
        ComPtr<IUnknown> object;
        if (!element || FAILED(element->CopyTo(object.put())) || !object) continue;
        if (PHBase* holiday = HolidayOf(object.get()); holiday && holiday->Matches(date))
            return true;
    }
    return false;
}

int CScheduler::ZoneOffsetMinutes(DateValue date) const {
    CScopedLock lock(place_lock_);
    return solar::ZoneOffsetMinutes(place_.zone, place_.use_daylight_saving, date);
}

DateValue CScheduler::SunriseOn(DateValue date) {
    const Place place = CurrentPlace();
    return solar::Sunrise(place.lat, place.lng, date,
                          solar::ZoneOffsetMinutes(place.zone, place.use_daylight_saving, date));
}

DateValue CScheduler::SunsetOn(DateValue date) {
    const Place place = CurrentPlace();
    return solar::Sunset(place.lat, place.lng, date,
                         solar::ZoneOffsetMinutes(place.zone, place.use_daylight_saving, date));
}

// ---- Internal operations ----

bool CScheduler::Load(std::u16string_view data_directory, CConfigOb& config,
                      IDispatch* script_context) {
    SetDataDirectory(data_directory);
    CComVariant locale = config.GetValue(kLocaleSetting, VT_BSTR);
    if (locale.vt != VT_BSTR || SysStringLen(locale.bstrVal) == 0) return false;
    if (FAILED(put_Locale(locale.bstrVal))) return false;

    CXMLLogSink log;
    CPublicHolidayReader holidays(script_context, &log);
    CDOMReader(std::u16string(data_directory)).Read(kPublicHolidaysFile, &holidays);
    for (ComPtr<IDispatch>& holiday : holidays.Objects())
        holidays_.Add(CComVariant(holiday.get()));

    CScheduleReader schedules(script_context, &log);
    CDOMReader(std::u16string(data_directory)).Read(kSchedulesFile, &schedules);
    for (ComPtr<IDispatch>& schedule : schedules.Objects())
        schedules_.Add(CComVariant(schedule.get()));
    return true;
}

void CScheduler::SetDataDirectory(std::u16string_view directory) {
    CScopedLock lock(place_lock_);
    data_directory_.assign(directory);
}

std::u16string CScheduler::DataDirectory() const {
    CScopedLock lock(place_lock_);
    return data_directory_;
}

std::vector<ComPtr<ISchedule>> CScheduler::FindByEventNumber(LONG event_number) {
    std::vector<ComPtr<ISchedule>> found;
    auto items = schedules_.Items();
    for (const CollectionElement& element : *items) {
        ComPtr<IUnknown> object;
        if (!element || FAILED(element->CopyTo(object.put())) || !object) continue;
        ref<ScheduleBase> schedule = ScheduleOf(object.get());
        if (!schedule || schedule->event_number() != event_number) continue;
        ComPtr<IUnknown> resolved = object;
        if (FAILED(ResolvePlaceHolder(&resolved)) || !resolved) continue;
        if (ComPtr<ISchedule> script = resolved.As<ISchedule>()) found.push_back(script);
    }
    return found;
}

std::size_t CScheduler::EnableSchedules(LONG event_number, bool enable) {
    auto found = FindByEventNumber(event_number);
    for (ComPtr<ISchedule>& schedule : found)
        schedule->put_Enable(enable ? VARIANT_TRUE : VARIANT_FALSE);
    return found.size();
}

std::size_t CScheduler::TriggerSchedules(LONG event_number) {
    auto found = FindByEventNumber(event_number);
    for (ComPtr<ISchedule>& schedule : found)
        schedule->Trigger();
    return found.size();
}

void CScheduler::ClockChanged() {
    for (ref<ScheduleBase>& schedule : LiveSchedules()) {
        Disarm(schedule.get());
        Arm(schedule.get());
    }
}

TIME_ZONE_INFORMATION CScheduler::ZoneInfo() const {
    CScopedLock lock(place_lock_);
    return place_.zone;
}

CScheduler::Place CScheduler::CurrentPlace() const {
    CScopedLock lock(place_lock_);
    return place_;
}

void CScheduler::Arm(ScheduleBase* schedule) {
    schedule->ScheduleNext(LocalNowDate(), this);
    ref<TimerBase> timer = schedule->timer();
    if (!timer) return;
    schedule->OnTimerQueued();
    thread_.AddTimer(timer.get());
}

void CScheduler::Disarm(ScheduleBase* schedule) {
    ref<TimerBase> timer = schedule->timer();
    if (!timer) return;
    // An entry that the thread takes in after this removal comes due disabled and is dropped.
    timer->set_enabled(0);
    thread_.RemoveTimer(timer.get());
}

std::vector<ref<ScheduleBase>> CScheduler::LiveSchedules() {
    std::vector<ref<ScheduleBase>> cores;
    auto items = schedules_.Items();
    for (const CollectionElement& element : *items) {
        ComPtr<IUnknown> object;
        if (!element || FAILED(element->CopyTo(object.put())) || !object) continue;
        if (ref<ScheduleBase> schedule = ScheduleOf(object.get())) cores.push_back(schedule);
    }
    return cores;
}
