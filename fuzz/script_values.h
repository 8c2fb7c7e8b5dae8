// Values as scripts pass them, built from a fuzz input, for the targets that call script
// members through IDispatch: numbers, strings (of odd byte lengths too), dates, decimals, script
// arrays (expando objects with a `length` that may lie, indexed members that may be missing, and
// sometimes `count` and `_NewEnum`), enumerators, safe arrays of several element types,
// dimensions and bounds, by-reference values, nested objects, other packets and the object
// being called itself. A target may add kinds of its own (ValueMaker::Extra).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/disp_ex_object.h"
#include "fuzz_input.h"
#include "interfaces/dispatch.h"
#include "network/packet_object.h"
#include "platform/enum_variant.h"
#include "platform/safearray.h"

constexpr int kMaxDepth = 3;
constexpr std::size_t kMaxObjects = 48;
constexpr int kMaxElements = 12;
constexpr std::size_t kMaxArrayElements = 256;

inline std::u16string Number(long long n) {
    const std::string text = std::to_string(n);
    return {text.begin(), text.end()};
}

// A script array as the host hands one over: `length`, the elements by index, an enumerator of
// the elements under DISPID_NEWENUM, and no other name (a missing one is unknown, as in
// script). Optionally also an enumerable's `count` and `_NewEnum`.
class HostArray : public ComObjectRoot<HostArray, IDispatch, IMarshal> {
  public:
    static constexpr DISPID kLength = 1000000;
    static constexpr DISPID kCount = kLength + 1;
    static constexpr DISPID kNamedEnum = kLength + 2;

    std::vector<std::optional<CComVariant>> elements;  // empty: a hole
    std::optional<CComVariant> length;
    bool enumerable = false;

    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* id) override {
        if (count != 1 || !names || !names[0] || !id) return E_INVALIDARG;
        const std::u16string_view name = names[0];
        *id = DISPID_UNKNOWN;
        if (name == u"length" && length) {
            *id = kLength;
        } else if (enumerable && name == u"count") {
            *id = kCount;
        } else if (enumerable && name == u"_NewEnum") {
            *id = kNamedEnum;
        } else if (!name.empty() && name.size() < 9 &&
                   name.find_first_not_of(u"0123456789") == std::u16string_view::npos) {
            std::size_t i = 0;
            for (char16_t c : name)
                i = i * 10 + static_cast<std::size_t>(c - u'0');
            if (i < elements.size() && elements[i]) *id = static_cast<DISPID>(i);
        }
        return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (!(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
        if (id == kLength && length) return VariantCopy(result, &*length);
        if (id == kCount && enumerable) {
            CComVariant n(static_cast<LONG>(elements.size()));
            return VariantCopy(result, &n);
        }
        if (id == DISPID_NEWENUM || (id == kNamedEnum && enumerable)) {
            auto values = std::make_shared<std::vector<CComVariant>>();
            for (const auto& e : elements)
                values->push_back(e ? *e : CComVariant());
            IEnumVARIANT* enumerator = nullptr;
            HRESULT hr = CEnumVariantValues::Create(std::move(values), &enumerator);
            if (FAILED(hr)) return hr;
            VariantClear(result);
            result->vt = VT_UNKNOWN;
            result->punkVal = enumerator;
            return S_OK;
        }
        if (id >= 0 && static_cast<std::size_t>(id) < elements.size() && elements[id])
            return VariantCopy(result, &*elements[id]);
        return DISP_E_MEMBERNOTFOUND;
    }
};

// Builds the values of one input. Every object it makes refers only to objects made before it,
// so no value holds itself and nothing leaks.
class ValueMaker {
  public:
    // `self` is the object being called; `extra_kinds` the kinds a derived maker adds.
    ValueMaker(FuzzInput& input, IDispatch* self, int extra_kinds = 0)
        : in_(input), self_(self), extra_kinds_(extra_kinds) {}
    ValueMaker(const ValueMaker&) = delete;
    ValueMaker& operator=(const ValueMaker&) = delete;
    virtual ~ValueMaker() = default;

    CComVariant Make(int depth = 0) {
        if (in_.remaining() == 0) return CComVariant();
        const int kind = in_.InRange(0, depth >= kMaxDepth ? 9 : 16 + extra_kinds_);
        switch (kind) {
            case 0:
                return CComVariant();
            case 1: {
                CComVariant v;
                v.vt = VT_NULL;
                return v;
            }
            case 2:
                return CComVariant(in_.Integral<LONG>());
            case 3:
                return CComVariant(static_cast<LONG>(in_.InRange(-2, 300)));
            case 4:
                return CComVariant(in_.Floating<double>());
            case 5:
                return Text();
            case 6:
                return CComVariant(in_.Integral<BYTE>());
            case 7:
                return CComVariant(in_.Bool());
            case 8:
                return OtherScalar();
            case 9:
                return Reused();
            case 10:
            case 11:
                return ScriptArray(depth);
            case 12:
                return Enumerator(depth);
            case 13:
                return SafeArray(depth);
            case 14:
                // A host passes references as arguments only: never inside an array or an
                // object, which the library may keep after the call.
                return depth == 0 ? ByReference() : Text();
            case 15:
                return OtherPacket();
            case 16:
                return CComVariant(self_);
            default:
                return Extra(kind - 17, depth);
        }
    }

    // The element count of a script array made here whose `length` is that count and which
    // misses no element.
    std::optional<int> HonestLength(IDispatch* object) const {
        for (const auto& [array, length] : honest_)
            if (array == object) return length;
        return std::nullopt;
    }

  protected:
    // The derived maker's kind `kind` (0 to extra_kinds - 1).
    virtual CComVariant Extra(int /*kind*/, int /*depth*/) { return CComVariant(); }

    CComVariant Text() {
        const std::string bytes = in_.String(24);
        CComVariant v;
        v.vt = VT_BSTR;
        if (in_.Bool()) {
            v.bstrVal = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
        } else {
            // One character per byte, digits and signs most likely.
            std::u16string text(bytes.begin(), bytes.end());
            v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        }
        return v;
    }

    CComVariant OtherScalar() {
        CComVariant v;
        switch (in_.InRange(0, 5)) {
            case 0:
                v.vt = VT_ERROR;
                v.scode = in_.Integral<LONG>();
                break;
            case 1:
                v.vt = VT_DATE;
                v.date = in_.Floating<double>();
                break;
            case 2:
                v.vt = VT_CY;
                v.cyVal.int64 = in_.Integral<LONGLONG>();
                break;
            case 3:
                v.vt = VT_I8;
                v.llVal = in_.Integral<LONGLONG>();
                break;
            case 4:
                v.vt = VT_R4;
                v.fltVal = in_.Floating<float>();
                break;
            default:
                v.decVal.Lo64 = in_.Integral<ULONGLONG>();
                v.decVal.Hi32 = in_.Integral<ULONG>();
                v.decVal.scale = in_.InRange<BYTE>(0, 28);
                v.decVal.sign = in_.Bool() ? DECIMAL_NEG : 0;
                v.vt = VT_DECIMAL;  // overlays wReserved: set after the value
                break;
        }
        return v;
    }

    CComVariant Reused() {
        if (objects_.empty()) return CComVariant();
        return CComVariant(objects_[in_.InRange<std::size_t>(0, objects_.size() - 1)].get());
    }

    CComVariant Keep(ComPtr<IDispatch> object) {
        CComVariant v(object.get());
        objects_.push_back(std::move(object));
        return v;
    }

    // An array as scripts make them: "length" and members "0", "1", ... The length may be
    // missing, any number or any value; elements may be missing. Made as an expando object of
    // the library (where reading a missing name makes it) or as the host's arrays are.
    CComVariant ScriptArray(int depth) {
        if (objects_.size() >= kMaxObjects) return Reused();
        const bool expando = in_.Bool();
        const int count = in_.InRange(0, kMaxElements);
        bool holes = false;
        std::vector<std::optional<CComVariant>> elements;
        for (int i = 0; i < count; ++i) {
            if (in_.InRange(0, 7) == 0) {
                holes = true;
                elements.emplace_back();
            } else {
                elements.emplace_back(Make(depth + 1));
            }
        }
        std::optional<CComVariant> length;
        switch (in_.InRange(0, 4)) {
            case 0:
            case 1:
                length = CComVariant(static_cast<LONG>(count));
                break;
            case 2:
                // A claimed length: a script may say anything.
                length = CComVariant(in_.Integral<LONG>());
                break;
            case 3:
                length = Make(depth + 1);
                break;
            default:
                break;  // no length at all
        }
        const bool honest = length && length->vt == VT_I4 && length->lVal == count && !holes;
        const bool enumerable = in_.Bool();
        CComVariant made;
        if (expando) {
            ComPtr<CDispExObject> array;
            FUZZ_CHECK(SUCCEEDED(CDispExObject::Create(&array)));
            std::vector<CComVariant> values;
            for (int i = 0; i < count; ++i) {
                if (!elements[i]) continue;
                array->members().SetValue(Number(i), *elements[i]);
                values.push_back(*elements[i]);
            }
            if (length) array->members().SetValue(u"length", *length);
            if (enumerable) {
                array->members().SetValue(u"count", CComVariant(static_cast<LONG>(values.size())));
                array->members().SetValue(u"_NewEnum", EnumeratorOf(std::move(values)));
            }
            made = Keep(array.As<IDispatch>());
        } else {
            ComPtr<HostArray> array;
            FUZZ_CHECK(SUCCEEDED(MakeComObject(&array)));
            array->elements = std::move(elements);
            array->length = std::move(length);
            array->enumerable = enumerable;
            made = Keep(array.As<IDispatch>());
        }
        if (honest) honest_.emplace_back(made.pdispVal, count);
        return made;
    }

    static CComVariant EnumeratorOf(std::vector<CComVariant> values) {
        auto snapshot = std::make_shared<std::vector<CComVariant>>(std::move(values));
        IEnumVARIANT* enumerator = nullptr;
        FUZZ_CHECK(SUCCEEDED(CEnumVariantValues::Create(std::move(snapshot), &enumerator)));
        CComVariant v;
        v.vt = VT_UNKNOWN;
        v.punkVal = enumerator;  // the variant takes the reference
        return v;
    }

    CComVariant Enumerator(int depth) {
        std::vector<CComVariant> values(in_.InRange(0, kMaxElements));
        for (CComVariant& value : values)
            value = Make(depth + 1);
        return EnumeratorOf(std::move(values));
    }

    // A safe array of 1 to 3 dimensions with any lower bounds; a dimension may claim up to
    // 2^32 - 1 elements when another one holds none.
    CComVariant SafeArray(int depth) {
        static constexpr VARTYPE kTypes[] = {VT_UI1, VT_VARIANT, VT_I4, VT_BSTR, VT_R8};
        const VARTYPE vt = kTypes[in_.InRange<std::size_t>(0, 4)];
        const UINT dims = in_.InRange(1, 3);
        SAFEARRAYBOUND bounds[3];
        unsigned __int128 total = 1;
        for (UINT d = 0; d < dims; ++d) {
            static constexpr ULONG kHuge[] = {0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
            bounds[d].cElements = in_.InRange(0, 7) == 0 ? kHuge[in_.InRange<std::size_t>(0, 2)]
                                                         : in_.InRange<ULONG>(0, 9);
            bounds[d].lLbound = in_.Bool() ? in_.Integral<LONG>() : 0;
            total *= bounds[d].cElements;
        }
        if (total > kMaxArrayElements) {
            for (UINT d = 0; d < dims; ++d)
                bounds[d].cElements %= 4;
            total = 0;
        }
        SAFEARRAY* array = SafeArrayCreate(vt, dims, bounds);
        FUZZ_CHECK(array != nullptr);
        void* data = nullptr;
        FUZZ_CHECK(SUCCEEDED(SafeArrayAccessData(array, &data)));
        std::size_t count = 1;
        for (UINT d = 0; d < dims; ++d)
            count *= bounds[d].cElements;
        for (std::size_t i = 0; i < count; ++i) {
            switch (vt) {
                case VT_UI1:
                    static_cast<BYTE*>(data)[i] = in_.Integral<BYTE>();
                    break;
                case VT_I4:
                    static_cast<LONG*>(data)[i] = in_.Integral<LONG>();
                    break;
                case VT_R8:
                    static_cast<double*>(data)[i] = in_.Floating<double>();
                    break;
                case VT_BSTR: {
                    CComVariant text = Text();
                    static_cast<BSTR*>(data)[i] = text.bstrVal;
                    text.vt = VT_EMPTY;  // the array owns the string now
                    break;
                }
                default:
                    Make(depth + 1).Detach(&static_cast<VARIANT*>(data)[i]);
                    break;
            }
        }
        SafeArrayUnaccessData(array);
        CComVariant v;
        v.vt = VT_ARRAY | vt;
        v.parray = array;
        return v;
    }

    // A value by reference, to storage that lives as long as this maker.
    CComVariant ByReference() {
        CComVariant& target = targets_.emplace_back(Make(1));
        CComVariant v;
        if (in_.Bool() || target.vt == VT_EMPTY || target.vt == VT_NULL ||
            target.vt == VT_DECIMAL) {
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = &target;
        } else {
            // Every other value starts where the variant's value union does.
            v.vt = VT_BYREF | target.vt;
            v.byref = &target.lVal;
        }
        return v;
    }

    CComVariant OtherPacket() {
        if (objects_.size() >= kMaxObjects) return Reused();
        ComPtr<CPacketOb> other;
        FUZZ_CHECK(SUCCEEDED(MakeComObject(&other)));
        const std::string bytes = in_.String(16);
        other->Packet()->AssignBytes(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
        return Keep(other.As<IDispatch>());
    }

    FuzzInput& in_;
    IDispatch* self_;
    int extra_kinds_;
    // By-reference arguments point here (stable addresses), for as long as the input runs.
    std::deque<CComVariant> targets_;
    std::vector<ComPtr<IDispatch>> objects_;
    std::vector<std::pair<IDispatch*, int>> honest_;
};
