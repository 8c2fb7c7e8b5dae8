// Variants: the tagged value type of late-bound calls, with the platform's conversion and
// comparison rules.
#pragma once

#include "platform/bstr.h"
#include "platform/types.h"
#include "platform/unknown.h"

struct SAFEARRAY;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_RECORD = 36,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// The platform's layout: a 16-bit type tag, three reserved words and an 8- or 16-byte value;
// a DECIMAL overlays the whole variant (its wReserved field is the type tag).
struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                void* byref;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
                struct {
                    void* pvRecord;
                    void* pRecInfo;
                } brecVal;
            };
        };
        DECIMAL decVal;
    };
};
using VARIANTARG = VARIANT;

// Accessors in the platform's spelling.
#define V_VT(v) ((v)->vt)
#define V_ISBYREF(v) (V_VT(v) & VT_BYREF)
#define V_ISARRAY(v) (V_VT(v) & VT_ARRAY)
#define V_UI1(v) ((v)->bVal)
#define V_I1(v) ((v)->cVal)
#define V_I2(v) ((v)->iVal)
#define V_UI2(v) ((v)->uiVal)
#define V_I4(v) ((v)->lVal)
#define V_UI4(v) ((v)->ulVal)
#define V_I8(v) ((v)->llVal)
#define V_UI8(v) ((v)->ullVal)
#define V_INT(v) ((v)->intVal)
#define V_UINT(v) ((v)->uintVal)
#define V_R4(v) ((v)->fltVal)
#define V_R8(v) ((v)->dblVal)
#define V_CY(v) ((v)->cyVal)
#define V_DATE(v) ((v)->date)
#define V_BSTR(v) ((v)->bstrVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ERROR(v) ((v)->scode)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_ARRAY(v) ((v)->parray)
#define V_DECIMAL(v) ((v)->decVal)
#define V_BYREF(v) ((v)->byref)
#define V_VARIANTREF(v) ((v)->pvarVal)

// Flags of VariantChangeType(Ex).
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;  // do not read an object's default member
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;    // booleans as "True"/"False"
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_CALENDAR_HIJRI = 0x08;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;
// Flags of VarBstrFromDate.
inline constexpr ULONG VAR_TIMEVALUEONLY = 0x01;  // only the time of day
inline constexpr ULONG VAR_DATEVALUEONLY = 0x02;  // only the date

// Results of VarCmp and VarBstrCmp.
inline constexpr HRESULT VARCMP_LT = 0;
inline constexpr HRESULT VARCMP_EQ = 1;
inline constexpr HRESULT VARCMP_GT = 2;
inline constexpr HRESULT VARCMP_NULL = 3;

// Comparison flags (dwFlags of VarCmp and VarBstrCmp).
inline constexpr ULONG NORM_IGNORECASE = 0x00000001;
inline constexpr ULONG NORM_IGNORENONSPACE = 0x00000002;
inline constexpr ULONG NORM_IGNORESYMBOLS = 0x00000004;
inline constexpr ULONG NORM_IGNOREWIDTH = 0x00020000;
inline constexpr ULONG NORM_IGNOREKANATYPE = 0x00010000;

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* source);
// Copies, following one level of VT_BYREF (the result holds the value, not the reference).
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* source);
// Converts with the platform's rules; dest may be source (converted in place), a by-reference
// source is followed, and dest is left untouched when the conversion fails. The locale is
// accepted for every call and changes nothing: numbers use '.' as decimal point and ',' as
// thousands separator, dates are month/day/year with a 12-hour clock, booleans "True"/"False".
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, USHORT flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* source, LCID lcid, USHORT flags,
                            VARTYPE vt);

// Numbers compare by value across types, a string is greater than any number, VT_EMPTY is zero
// or "", VT_NULL on either side gives VARCMP_NULL, objects compare by their default value, two
// VT_ERROR values are equal and a VT_ERROR beside anything else is DISP_E_TYPEMISMATCH. Strings
// compare as VarBstrCmp does.
HRESULT VarCmp(VARIANT* left, VARIANT* right, LCID lcid, ULONG flags);
// Ordinal comparison of UTF-16 code units (not a locale's collation); NORM_IGNORECASE folds
// ASCII, Latin-1, Greek and Cyrillic letters. A null string equals "", and the length counts, not
// the first zero unit ("a" is less than "a\0").
HRESULT VarBstrCmp(BSTR left, BSTR right, LCID lcid, ULONG flags);

// Calendar dates (VT_DATE: days since 30 December 1899, time as the fraction).
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
INT SystemTimeToVariantTime(SYSTEMTIME* system_time, DOUBLE* variant_time);
INT VariantTimeToSystemTime(DOUBLE variant_time, SYSTEMTIME* system_time);

// Direct conversions used by the library's hot paths (same rules as VariantChangeTypeEx).
HRESULT VarI4FromR8(DOUBLE in, LONG* out);
HRESULT VarI4FromStr(LPCOLESTR in, LCID lcid, ULONG flags, LONG* out);
HRESULT VarR8FromStr(LPCOLESTR in, LCID lcid, ULONG flags, DOUBLE* out);
HRESULT VarBstrFromI4(LONG in, LCID lcid, ULONG flags, BSTR* out);
HRESULT VarBstrFromR8(DOUBLE in, LCID lcid, ULONG flags, BSTR* out);
HRESULT VarBstrFromDate(DATE in, LCID lcid, ULONG flags, BSTR* out);
HRESULT VarDateFromStr(LPCOLESTR in, LCID lcid, ULONG flags, DATE* out);
HRESULT VarDecFromR8(DOUBLE in, DECIMAL* out);
HRESULT VarR8FromDec(const DECIMAL* in, DOUBLE* out);
HRESULT VarDecFromStr(LPCOLESTR in, LCID lcid, ULONG flags, DECIMAL* out);
HRESULT VarBstrFromDec(const DECIMAL* in, LCID lcid, ULONG flags, BSTR* out);

// Owning wrapper of one VARIANT (the platform's CComVariant).
class CComVariant : public VARIANT {
  public:
    CComVariant() noexcept { VariantInit(this); }
    CComVariant(const VARIANT& v) {
        VariantInit(this);
        ThrowIfFailed(VariantCopy(this, &v));
    }
    CComVariant(const CComVariant& v) : CComVariant(static_cast<const VARIANT&>(v)) {}
    CComVariant(CComVariant&& v) noexcept {
        *static_cast<VARIANT*>(this) = v;
        v.vt = VT_EMPTY;
    }
    CComVariant(LONG value) noexcept : CComVariant() {
        vt = VT_I4;
        lVal = value;
    }
    CComVariant(DOUBLE value) noexcept : CComVariant() {
        vt = VT_R8;
        dblVal = value;
    }
    CComVariant(bool value) noexcept : CComVariant() {
        vt = VT_BOOL;
        boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    CComVariant(BYTE value) noexcept : CComVariant() {
        vt = VT_UI1;
        bVal = value;
    }
    CComVariant(LPCOLESTR text) : CComVariant() {
        vt = VT_BSTR;
        bstrVal = SysAllocString(text);
        if (text && !bstrVal) throw HResultError(E_OUTOFMEMORY);
    }
    CComVariant(IDispatch* object) noexcept : CComVariant() {
        vt = VT_DISPATCH;
        pdispVal = object;
        if (object) object->AddRef();
    }
    CComVariant(IUnknown* object) noexcept : CComVariant() {
        vt = VT_UNKNOWN;
        punkVal = object;
        if (object) object->AddRef();
    }
    ~CComVariant() { VariantClear(this); }

    CComVariant& operator=(const CComVariant& v) { return *this = static_cast<const VARIANT&>(v); }
    CComVariant& operator=(const VARIANT& v) {
        if (this != &v) ThrowIfFailed(VariantCopy(this, &v));
        return *this;
    }
    CComVariant& operator=(CComVariant&& v) noexcept {
        if (this != &v) {
            VariantClear(this);
            *static_cast<VARIANT*>(this) = v;
            v.vt = VT_EMPTY;
        }
        return *this;
    }

    HRESULT Clear() { return VariantClear(this); }
    HRESULT Copy(const VARIANT* source) { return VariantCopy(this, source); }
    // Converts in place.
    HRESULT ChangeType(VARTYPE type, const VARIANT* source = nullptr) {
        return VariantChangeType(this, source ? source : this, 0, type);
    }
    HRESULT Detach(VARIANT* dest) {
        HRESULT hr = VariantClear(dest);
        if (FAILED(hr)) return hr;
        *dest = *static_cast<VARIANT*>(this);
        vt = VT_EMPTY;
        return S_OK;
    }
};
