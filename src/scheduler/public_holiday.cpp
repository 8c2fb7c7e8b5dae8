#include "scheduler/public_holiday.h"

#include "dispatch/collection.h"
#include "platform/boundary.h"

bool PHBase::Matches(DateValue date) const {
    SYSTEMTIME parts;
    const bool valid = solar::PartsOf(date, &parts);
    const LONG y = valid ? parts.wYear : -1;
    const LONG m = valid ? parts.wMonth : -1;
    const LONG d = valid ? parts.wDay : -1;
    const LONG record_year = year();
    return month() == m && day() == d && (record_year <= 0 || record_year == y);
}

std::u16string PHBase::name(bool* has_name) const {
    CScopedLock lock(lock_);
    *has_name = has_name_;
    return name_;
}

void PHBase::set_name(const OLECHAR* name, std::size_t length) {
    std::u16string copy(name, length);
    CScopedLock lock(lock_);
    name_.swap(copy);
    has_name_ = true;
}

void PHBase::clear_name() {
    CScopedLock lock(lock_);
    name_.clear();
    has_name_ = false;
}

HRESULT CPublicHoliday::FinalConstruct() {
    DispatchExMembers().set_expandable(true);
    return S_OK;
}

HRESULT CPublicHoliday::put_Name(BSTR newVal) {
    return StatusOf([&] {
        if (newVal) {
            set_name(newVal, SysStringLen(newVal));
        } else {
            clear_name();
        }
    });
}

HRESULT CPublicHoliday::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    return StatusOf([&] {
        bool has_name = false;
        const std::u16string text = name(&has_name);
        *pVal = nullptr;
        if (!has_name) return S_OK;
        *pVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *pVal ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT CPublicHoliday::put_Year(LONG newVal) {
    set_year(newVal);
    return S_OK;
}
HRESULT CPublicHoliday::get_Year(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = year();
    return S_OK;
}
HRESULT CPublicHoliday::put_Month(LONG newVal) {
    set_month(newVal);
    return S_OK;
}
HRESULT CPublicHoliday::get_Month(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = month();
    return S_OK;
}
HRESULT CPublicHoliday::put_Day(LONG newVal) {
    set_day(newVal);
    return S_OK;
}
HRESULT CPublicHoliday::get_Day(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = day();
    return S_OK;
}

HRESULT CPublicHoliday::GetHoliday(PHBase** holiday) {
    if (!holiday) return E_POINTER;
    *holiday = this;
    return S_OK;
}

HRESULT CPublicHoliday::GetTypeName(BSTR* name) {
    if (!name) return E_POINTER;
    *name = SysAllocStringLen(kTypeName.data(), static_cast<UINT>(kTypeName.size()));
    return *name ? S_OK : E_OUTOFMEMORY;
}
HRESULT CPublicHoliday::get_DynamicMembers(VARIANT_BOOL* enabled) {
    if (!enabled) return E_POINTER;
    *enabled = DispatchExMembers().expandable() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT CPublicHoliday::put_DynamicMembers(VARIANT_BOOL enabled) {
    DispatchExMembers().set_expandable(enabled == VARIANT_TRUE);
    return S_OK;
}
HRESULT CPublicHoliday::GetMemberNames(VARIANT* names) {
    return DispatchExMembers().GetMemberNames(names);
}

PHBase* HolidayOf(IUnknown* object) {
    if (!object) return nullptr;
    ComPtr<IUnknown> resolved(object);
    if (FAILED(ResolvePlaceHolder(&resolved)) || !resolved) return nullptr;
    _IInternalPublicHoliday* internal = nullptr;  // not counted
    if (FAILED(resolved->QueryInterface(&internal)) || !internal) return nullptr;
    PHBase* holiday = nullptr;
    return SUCCEEDED(internal->GetHoliday(&holiday)) ? holiday : nullptr;
}
