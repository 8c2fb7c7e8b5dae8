// Status codes. Every script-visible operation returns one of these 32-bit values.
#pragma once

#include "platform/types.h"

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? 0 : static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u);
}

#define BREVANTO_HR(value) static_cast<HRESULT>(static_cast<DWORD>(value))

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = BREVANTO_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = BREVANTO_HR(0x80004002);
inline constexpr HRESULT E_POINTER = BREVANTO_HR(0x80004003);
inline constexpr HRESULT E_ABORT = BREVANTO_HR(0x80004004);
inline constexpr HRESULT E_FAIL = BREVANTO_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = BREVANTO_HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = BREVANTO_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = BREVANTO_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = BREVANTO_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = BREVANTO_HR(0x80070057);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = BREVANTO_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = BREVANTO_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = BREVANTO_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = BREVANTO_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = BREVANTO_HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = BREVANTO_HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = BREVANTO_HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = BREVANTO_HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = BREVANTO_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = BREVANTO_HR(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = BREVANTO_HR(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = BREVANTO_HR(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = BREVANTO_HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = BREVANTO_HR(0x8002000F);
inline constexpr HRESULT DISP_E_BADCALLEE = BREVANTO_HR(0x80020010);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = BREVANTO_HR(0x80020011);
inline constexpr HRESULT DISP_E_DIVBYZERO = BREVANTO_HR(0x80020012);

inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = BREVANTO_HR(0x8002802B);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = BREVANTO_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = BREVANTO_HR(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = BREVANTO_HR(0x80040154);
inline constexpr HRESULT REGDB_E_READREGDB = BREVANTO_HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = BREVANTO_HR(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = BREVANTO_HR(0x80040152);
inline constexpr HRESULT CO_E_NOTINITIALIZED = BREVANTO_HR(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = BREVANTO_HR(0x800401F3);
inline constexpr HRESULT RPC_E_CHANGED_MODE = BREVANTO_HR(0x80010106);
inline constexpr HRESULT RPC_E_DISCONNECTED = BREVANTO_HR(0x80010108);
inline constexpr HRESULT RPC_E_WRONG_THREAD = BREVANTO_HR(0x8001010E);

#undef BREVANTO_HR

// Carries a status code out of an internal helper that cannot return one. Caught at the
// interface boundary and turned back into the status (see BREVANTO_CATCH_ALL).
class HResultError {
  public:
    explicit HResultError(HRESULT hr) noexcept : hr_(hr) {}
    HRESULT code() const noexcept { return hr_; }

  private:
    HRESULT hr_;
};

// Raises a failed status as an HResultError; a success passes through.
inline HRESULT ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw HResultError(hr);
    return hr;
}
