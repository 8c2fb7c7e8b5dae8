// Length-prefixed UTF-16 strings.
//
// A BSTR points at UTF-16 code units preceded by a 32-bit byte length and followed by a
// terminating zero code unit. A null BSTR is a valid empty string.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/hresult.h"
#include "platform/types.h"

BSTR SysAllocString(LPCOLESTR text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// `bytes` may be odd; the buffer gets two terminating zero bytes after it.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replaces *target with a copy of text; FALSE (and *target untouched) when allocation fails.
INT SysReAllocString(BSTR* target, LPCOLESTR text);
INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
void SysFreeString(BSTR text);

// UTF-8 <-> UTF-16 helpers for the places where native code meets script text. Invalid input
// sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Owning wrapper of one BSTR (the platform's CComBSTR).
class CComBSTR {
  public:
    CComBSTR() noexcept = default;
    CComBSTR(LPCOLESTR text) : str_(SysAllocString(text)) {}
    CComBSTR(std::u16string_view text)
        : str_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    explicit CComBSTR(std::string_view utf8) : CComBSTR(std::u16string_view(Utf8ToUtf16(utf8))) {}
    CComBSTR(const CComBSTR& other) : str_(other.Copy()) {}
    CComBSTR(CComBSTR&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
    ~CComBSTR() { SysFreeString(str_); }

    CComBSTR& operator=(const CComBSTR& other) {
        if (this != std::addressof(other)) {
            SysFreeString(str_);
            str_ = other.Copy();
        }
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& other) noexcept {
        if (this != std::addressof(other)) {
            SysFreeString(str_);
            str_ = std::exchange(other.str_, nullptr);
        }
        return *this;
    }

    operator BSTR() const noexcept { return str_; }
    BSTR* operator&() noexcept { return &str_; }
    UINT Length() const noexcept { return SysStringLen(str_); }
    bool empty() const noexcept { return Length() == 0; }
    BSTR Copy() const { return str_ ? SysAllocStringLen(str_, SysStringLen(str_)) : nullptr; }
    void Attach(BSTR s) noexcept {
        SysFreeString(str_);
        str_ = s;
    }
    BSTR Detach() noexcept { return std::exchange(str_, nullptr); }
    void Empty() noexcept {
        SysFreeString(str_);
        str_ = nullptr;
    }
    std::u16string_view view() const noexcept { return {str_ ? str_ : u"", Length()}; }
    std::string utf8() const { return Utf16ToUtf8(view()); }

  private:
    BSTR str_ = nullptr;
};
