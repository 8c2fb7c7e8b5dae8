// Native stand-ins for what page scripts hand the library: script arrays and script functions.
// Both are agile, so the cross-thread holders give them back directly.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/enum_variant.h"
#include "platform/variant.h"
#include "support/nameless_dispatch.h"

namespace test_fakes {

// A script array: a "length" property (or "count"), one property per element named by its
// index, and an enumerator of the elements under DISPID -4 (or under the name "_NewEnum").
// An element left empty in `elements` is a hole: its name does not exist.
class ScriptArray : public ComObjectRoot<ScriptArray, IDispatch, IMarshal> {
  public:
    static constexpr DISPID kLength = 1000;
    static constexpr DISPID kNamedEnum = 1001;

    static ComPtr<ScriptArray> Of(std::vector<std::optional<CComVariant>> elements) {
        ComPtr<ScriptArray> a;
        MakeComObject(&a);
        a->elements = std::move(elements);
        return a;
    }
    static ComPtr<ScriptArray> Bytes(std::vector<int> bytes) {
        std::vector<std::optional<CComVariant>> elements;
        for (int b : bytes)
            elements.emplace_back(CComVariant(LONG{b}));
        return Of(std::move(elements));
    }

    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* id) override {
        std::u16string name = names[0];
        *id = DISPID_UNKNOWN;
        if (name == length_name) {
            *id = kLength;
        } else if (name == u"_NewEnum" && named_enum) {
            *id = kNamedEnum;
        } else if (!name.empty() && name.find_first_not_of(u"0123456789") == std::u16string::npos) {
            size_t i = std::stoul(std::string(name.begin(), name.end()));
            if (i < elements.size() && elements[i]) *id = static_cast<DISPID>(i);
        }
        return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id == kLength) {
            if (claimed_length) return VariantCopy(result, &*claimed_length);
            VariantClear(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(elements.size());
            return S_OK;
        }
        if ((id == DISPID_NEWENUM && !named_enum) || id == kNamedEnum) {
            auto values = std::make_shared<std::vector<CComVariant>>();
            for (auto& e : elements)
                if (e) values->push_back(*e);
            IEnumVARIANT* e = nullptr;
            HRESULT hr = CEnumVariantValues::Create(values, &e);
            if (FAILED(hr)) return hr;
            VariantClear(result);
            result->vt = VT_UNKNOWN;
            result->punkVal = e;
            return S_OK;
        }
        if (id >= 0 && static_cast<size_t>(id) < elements.size() && elements[id])
            return VariantCopy(result, &*elements[id]);
        return DISP_E_MEMBERNOTFOUND;
    }

    std::vector<std::optional<CComVariant>> elements;
    std::u16string length_name = u"length";
    std::optional<CComVariant> claimed_length;  // answered for the length instead of the size
    bool named_enum = false;
};

// A script function: records each call's argument and `this`, and answers `result` (or fails
// with `failure`). `log` collects a non-empty `tag` per call, to see the order of calls.
class ScriptFunction : public ComObjectRoot<ScriptFunction, NamelessDispatch, IMarshal> {
  public:
    static ComPtr<ScriptFunction> Returning(CComVariant result,
                                            std::vector<std::string>* log = nullptr,
                                            std::string tag = "") {
        ComPtr<ScriptFunction> f;
        MakeComObject(&f);
        f->result = std::move(result);
        f->log = log;
        f->tag = std::move(tag);
        return f;
    }

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result_out,
                   EXCEPINFO*, UINT*) override {
        if (id != DISPID_VALUE || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        ++calls;
        if (log && !tag.empty()) log->push_back(tag);
        ComPtr<IDispatch> self, argument;
        for (UINT i = 0; i < params->cArgs; ++i) {
            const VARIANT& v = params->rgvarg[i];
            ComPtr<IDispatch> object = v.vt == VT_DISPATCH ? v.pdispVal : nullptr;
            if (i < params->cNamedArgs && params->rgdispidNamedArgs[i] == DISPID_THIS)
                self = object;
            else
                argument = object;
        }
        positional = params->cArgs - params->cNamedArgs;
        last_self = self;
        last_argument = argument;
        if (on_call) on_call(argument.get());
        if (FAILED(failure)) return failure;
        return result_out ? VariantCopy(result_out, &result) : S_OK;
    }

    CComVariant result;
    HRESULT failure = S_OK;
    int calls = 0;
    UINT positional = 0;
    ComPtr<IDispatch> last_self, last_argument;
    std::vector<std::string>* log = nullptr;
    std::string tag;
    std::function<void(IDispatch* packet_object)> on_call;
};

}  // namespace test_fakes
