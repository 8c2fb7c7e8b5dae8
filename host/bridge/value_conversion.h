// How values cross between a page script engine and the library, whatever the engine: which
// script value a VARIANT becomes, and which VARIANT a script number becomes.
#pragma once

#include <cstddef>

#include "platform/automation.h"

namespace brevanto_bridge {

// Makes one script value; an engine's bridge implements it over its own value API. Called once
// per conversion. A builder may leave by the engine's own error mechanism (a longjmp): the
// conversion holds nothing that needs destroying while it calls a builder.
class ScriptValueBuilder {
  public:
    virtual void Undefined() = 0;
    virtual void Null() = 0;
    virtual void Boolean(bool value) = 0;
    virtual void Number(double value) = 0;
    virtual void Text(const char16_t* text, std::size_t length) = 0;
    // A date, in local time as the script Date constructor's fields are (months from 0).
    virtual void Date(const SYSTEMTIME& local) = 0;
    // A non-null VT_DISPATCH or VT_UNKNOWN: the engine's own script object, or a library object.
    virtual void Object(const VARIANT& value) = 0;
    // A safe array (VT_ARRAY | type).
    virtual void Array(const VARIANT& value) = 0;

  protected:
    ~ScriptValueBuilder() = default;
};

// A VARIANT as script sees it: by-reference values as what they point at; integers, floating
// point, currency and decimals as numbers; a missing argument (VT_ERROR DISP_E_PARAMNOTFOUND)
// and an invalid date as undefined, other errors as their status number; kinds script has no
// counterpart for as undefined.
void BuildScriptValue(const VARIANT& value, ScriptValueBuilder& builder);

// A script number: whole numbers in the 32-bit range travel as VT_I4, as the page environment
// passes them; everything else (fractions, -0, NaN, infinities, larger numbers) as VT_R8.
void NumberToVariant(double number, VARIANT* out);

// A status code kept as a script number (an error's "number"), signed or not: 0x80070057 and
// -2147024809 alike. 0 for any other number: fractions, NaN, infinities, beyond 32 bits.
HRESULT NumberAsStatus(double number);

// The most elements an enumerator over a script list copies (its snapshot). A longer `length`,
// which a script's getter may claim at no cost, fails with E_OUTOFMEMORY instead of walking
// billions of absent elements.
inline constexpr double kMaxListItems = 1 << 20;

}  // namespace brevanto_bridge
