// Script values to and from VARIANTs.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "host/bridge/value_conversion.h"
#include "host/engine_internal.h"
#include "host/script_object.h"

namespace brevanto_host {

namespace {

// Value-stack slots a push may need (a date: the constructor and its seven fields).
constexpr duk_idx_t kPushStack = 16;

// The engine keeps a string as UTF-16 code units, each in up to three bytes of UTF-8 form, a
// surrogate too: a character beyond the first plane, written in script either way, is the two
// three-byte forms of its surrogate pair. Text crosses in that form both ways, so that such a
// character reaches the library as itself and comes back equal to the script's own. A lone
// surrogate becomes U+FFFD, as in every engine's bridge.
bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The code unit of the three-byte form of a surrogate at text[i], or 0.
char16_t EncodedSurrogate(std::string_view text, size_t i) {
    if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xED) return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    const auto third = static_cast<unsigned char>(text[i + 2]);
    if (second < 0xA0 || second > 0xBF || (third & 0xC0) != 0x80) return 0;
    return static_cast<char16_t>(0xD000 | ((second & 0x3F) << 6) | (third & 0x3F));
}

// A script string's bytes as UTF-8: the surrogate pairs the engine keeps as two three-byte
// forms become the four bytes of the one character they make.
std::string EngineTextToUtf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char16_t high = EncodedSurrogate(text, i);
        const char16_t low = high ? EncodedSurrogate(text, i + 3) : 0;
        if (IsHighSurrogate(high) && IsLowSurrogate(low)) {
            const char32_t c = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
            utf8 += static_cast<char>(0xF0 | (c >> 18));
            utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
            i += 6;
        } else {
            utf8 += text[i++];  // a lone surrogate's form stays invalid UTF-8: U+FFFD
        }
    }
    return utf8;
}

std::u16string EngineTextToUtf16(std::string_view text) {
    if (text.find('\xED') == std::string_view::npos) return Utf8ToUtf16(text);
    return Utf8ToUtf16(EngineTextToUtf8(text));
}

// Pushes UTF-16 text as a script string, encoded straight into engine memory.
void PushUtf16(duk_context* ctx, const char16_t* text, size_t length) {
    size_t bytes = 0;
    for (size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    }
    auto* out = static_cast<unsigned char*>(duk_push_fixed_buffer(ctx, bytes));
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            // Both halves of the pair, each in its three-byte form.
            for (const char16_t half : {c, text[++i]}) {
                *out++ = static_cast<unsigned char>(0xE0 | (half >> 12));
                *out++ = static_cast<unsigned char>(0x80 | ((half >> 6) & 0x3F));
                *out++ = static_cast<unsigned char>(0x80 | (half & 0x3F));
            }
            continue;
        }
        if (IsHighSurrogate(c) || IsLowSurrogate(c)) c = 0xFFFD;  // a lone surrogate
        if (c < 0x80) {
            *out++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    duk_buffer_to_string(ctx, -1);
}

// The character beyond the first plane whose four bytes text[i] starts, or 0.
char32_t FourByteCharacter(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0xF0 || lead > 0xF4 || i + 3 >= text.size()) return 0;
    char32_t c = lead & 0x07;
    for (size_t k = 1; k <= 3; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        c = c << 6 | (next & 0x3F);
    }
    return c >= 0x10000 && c <= 0x10FFFF ? c : 0;
}

struct PushRequest {
    const VARIANT* value;
    IUnknown* owner;
};

duk_ret_t SafePushVariant(duk_context* ctx, void* udata) {
    const auto* request = static_cast<const PushRequest*>(udata);
    PushVariantRaw(ctx, *request->value, request->owner);
    return 1;
}

}  // namespace

std::string ScriptName(duk_context* ctx, duk_idx_t idx) {
    duk_size_t length = 0;
    const char* text = duk_get_lstring(ctx, idx, &length);
    if (!text) return {};
    const std::string_view view(text, length);
    return view.find('\xED') == std::string_view::npos ? std::string(view) : EngineTextToUtf8(view);
}

void PushName(duk_context* ctx, std::string_view name) {
    size_t bytes = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if (FourByteCharacter(name, i) != 0) {
            bytes += 6;
            i += 3;
        } else {
            ++bytes;
        }
    }
    auto* out = static_cast<unsigned char*>(duk_push_fixed_buffer(ctx, bytes));
    for (size_t i = 0; i < name.size(); ++i) {
        char32_t c = FourByteCharacter(name, i);
        if (!c) {
            *out++ = static_cast<unsigned char>(name[i]);
            continue;
        }
        i += 3;
        c -= 0x10000;
        for (const char32_t half : {0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)}) {
            *out++ = static_cast<unsigned char>(0xE0 | (half >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((half >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (half & 0x3F));
        }
    }
    duk_buffer_to_string(ctx, -1);
}

HRESULT ScriptEngine::PushVariant(const VARIANT& value, IUnknown* owner) {
    duk_context* ctx = state_->ctx;
    if (!duk_check_stack(ctx, kPushStack)) return E_OUTOFMEMORY;
    PushRequest request{&value, owner};
    if (duk_safe_call(ctx, SafePushVariant, &request, 0, 1) != 0) {
        duk_pop(ctx);
        return E_OUTOFMEMORY;
    }
    bridge_->MaybeCollect(ctx);
    return S_OK;
}

namespace {

// Script values on the Duktape value stack, one push per value. Runs inside a protected call:
// a push may raise.
class StackValueBuilder final : public brevanto_bridge::ScriptValueBuilder {
  public:
    StackValueBuilder(duk_context* ctx, IUnknown* owner) : ctx_(ctx), owner_(owner) {}

    void Undefined() override { duk_push_undefined(ctx_); }
    void Null() override { duk_push_null(ctx_); }
    void Boolean(bool value) override { duk_push_boolean(ctx_, value); }
    void Number(double value) override { duk_push_number(ctx_, value); }
    void Text(const char16_t* text, std::size_t length) override { PushUtf16(ctx_, text, length); }
    void Date(const SYSTEMTIME& t) override {
        duk_get_global_string(ctx_, "Date");
        const double fields[] = {double(t.wYear),        double(t.wMonth - 1), double(t.wDay),
                                 double(t.wHour),        double(t.wMinute),    double(t.wSecond),
                                 double(t.wMilliseconds)};
        for (double f : fields)
            duk_push_number(ctx_, f);
        if (duk_pnew(ctx_, 7) != 0) {
            duk_pop(ctx_);
            duk_push_undefined(ctx_);
        }
    }
    void Object(const VARIANT& value) override {
        if (CScriptObject* own =
                CScriptObject::Unwrap(value.punkVal, EngineOf(ctx_)->state().get())) {
            own->Push();
            return;
        }
        PushLibraryObject(ctx_, value, owner_);
    }
    void Array(const VARIANT& value) override { PushSafeArray(ctx_, value); }

  private:
    duk_context* ctx_;
    IUnknown* owner_;
};

}  // namespace

// Runs inside a protected call and holds nothing that needs freeing while it calls the engine.
void PushVariantRaw(duk_context* ctx, const VARIANT& value, IUnknown* owner) {
    StackValueBuilder builder(ctx, owner);
    brevanto_bridge::BuildScriptValue(value, builder);
}

HRESULT ScriptEngine::ToVariant(duk_idx_t idx, VARIANT* out, bool argument) {
    duk_context* ctx = state_->ctx;
    VariantClear(out);
    switch (duk_get_type(ctx, idx)) {
        case DUK_TYPE_UNDEFINED:
        case DUK_TYPE_NONE:
            if (argument) {
                out->vt = VT_ERROR;
                out->scode = DISP_E_PARAMNOTFOUND;
            }
            return S_OK;
        case DUK_TYPE_NULL:
            out->vt = VT_NULL;
            return S_OK;
        case DUK_TYPE_BOOLEAN:
            out->vt = VT_BOOL;
            out->boolVal = duk_get_boolean(ctx, idx) ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case DUK_TYPE_NUMBER:
            brevanto_bridge::NumberToVariant(duk_get_number(ctx, idx), out);
            return S_OK;
        case DUK_TYPE_STRING: {
            duk_size_t length = 0;
            const char* text = duk_get_lstring(ctx, idx, &length);
            std::u16string wide = EngineTextToUtf16({text, length});
            out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (!out->bstrVal) return E_OUTOFMEMORY;
            out->vt = VT_BSTR;
            return S_OK;
        }
        case DUK_TYPE_OBJECT:
        case DUK_TYPE_LIGHTFUNC: {
            if (auto* handle = HandleAt<DispatchHandle, kTagDispatch>(ctx, idx)) {
                out->vt = VT_DISPATCH;
                out->pdispVal = handle->dispatch();
                out->pdispVal->AddRef();
                return S_OK;
            }
            if (auto* array = HandleAt<ArrayHandle, kTagArray>(ctx, idx))
                return VariantCopy(out, &array->value);
            IDispatch* object = nullptr;
            HRESULT hr = CScriptObject::FromStack(state_, idx, &object);
            if (FAILED(hr)) return hr;
            out->vt = VT_DISPATCH;
            out->pdispVal = object;
            return S_OK;
        }
        default:
            return S_OK;  // buffers and raw pointers have no counterpart
    }
}

}  // namespace brevanto_host
