// Type information: the description of a dual interface as data, and the platform's ITypeInfo
// over it.
//
// An interface is described once, next to its abstract class, by a table whose entries are made
// from the member-function pointers:
//
//   Get<&IPacket::get_Count>(u"Count", 0x259)
//   Method<&IPacket::Remove>(u"Remove", 0x25b, {Arg(u"Index")})
//   Put<&IBacklightController::put_State>(u"State", 0x2, {Arg(u"pVal", VT_BOOL)})
//
// Parameter and result types are deduced from the signature. The named arguments are the
// visible parameters; a trailing pointer without a name is the [out, retval] result. Where one
// C++ type stands for several automation types (SHORT and VARIANT_BOOL, DOUBLE and DATE) the
// table names the automation type, and building the table checks that it fits the C++ type.
#pragma once

#include <array>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/unknown.h"
#include "platform/variant.h"

// ---- The platform's type-information structures (the members the library uses) ----

using HREFTYPE = DWORD;

enum TYPEKIND : int {
    TKIND_ENUM = 0,
    TKIND_RECORD,
    TKIND_MODULE,
    TKIND_INTERFACE,
    TKIND_DISPATCH,
    TKIND_COCLASS,
    TKIND_ALIAS,
    TKIND_UNION,
};
enum FUNCKIND : int {
    FUNC_VIRTUAL = 0,
    FUNC_PUREVIRTUAL,
    FUNC_NONVIRTUAL,
    FUNC_STATIC,
    FUNC_DISPATCH,
};
enum INVOKEKIND : int {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};
enum CALLCONV : int { CC_STDCALL = 4 };

inline constexpr VARTYPE VT_PTR = 26;
inline constexpr VARTYPE VT_USERDEFINED = 29;

inline constexpr USHORT PARAMFLAG_NONE = 0x00;
inline constexpr USHORT PARAMFLAG_FIN = 0x01;
inline constexpr USHORT PARAMFLAG_FOUT = 0x02;
inline constexpr USHORT PARAMFLAG_FRETVAL = 0x08;
inline constexpr USHORT PARAMFLAG_FOPT = 0x10;
inline constexpr USHORT PARAMFLAG_FHASDEFAULT = 0x20;

inline constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
inline constexpr WORD TYPEFLAG_FDUAL = 0x40;
inline constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
inline constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

struct TYPEDESC {
    union {
        TYPEDESC* lptdesc;  // VT_PTR: the pointee
        HREFTYPE hreftype;
    };
    VARTYPE vt;
};
struct PARAMDESCEX {
    ULONG cBytes;
    VARIANTARG varDefaultValue;
};
struct PARAMDESC {
    PARAMDESCEX* pparamdescex;
    USHORT wParamFlags;
};
struct ELEMDESC {
    TYPEDESC tdesc;
    PARAMDESC paramdesc;
};
struct FUNCDESC {
    MEMBERID memid;
    SCODE* lprgscode;
    ELEMDESC* lprgelemdescParam;
    FUNCKIND funckind;
    INVOKEKIND invkind;
    CALLCONV callconv;
    SHORT cParams;
    SHORT cParamsOpt;
    SHORT oVft;
    SHORT cScodes;
    ELEMDESC elemdescFunc;
    WORD wFuncFlags;
};
struct TYPEATTR {
    GUID guid;
    LCID lcid;
    DWORD dwReserved;
    MEMBERID memidConstructor;
    MEMBERID memidDestructor;
    LPOLESTR lpstrSchema;
    ULONG cbSizeInstance;
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD cbSizeVft;
    WORD cbAlignment;
    WORD wTypeFlags;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    TYPEDESC tdescAlias;
};

struct ITypeComp;
struct ITypeLib;
struct VARDESC;

// The platform's ITypeInfo, slot for slot. Ours answers GetTypeAttr, GetFuncDesc, GetNames,
// GetIDsOfNames, Invoke, GetDocumentation (the name) and the Release* calls; the rest give
// E_NOTIMPL.
struct ITypeInfo : IUnknown {
    static constexpr IID kIid{0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    virtual HRESULT GetTypeAttr(TYPEATTR** attr) = 0;
    virtual HRESULT GetTypeComp(ITypeComp** comp) = 0;
    virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** desc) = 0;
    virtual HRESULT GetVarDesc(UINT index, VARDESC** desc) = 0;
    virtual HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max_names, UINT* count) = 0;
    virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* ref) = 0;
    virtual HRESULT GetImplTypeFlags(UINT index, INT* flags) = 0;
    virtual HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) = 0;
    virtual HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepinfo, UINT* argerr) = 0;
    virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                     BSTR* help_file) = 0;
    virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND kind, BSTR* dll, BSTR* name,
                                WORD* ordinal) = 0;
    virtual HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) = 0;
    virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND kind, void** address) = 0;
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT GetMops(MEMBERID memid, BSTR* mops) = 0;
    virtual HRESULT GetContainingTypeLib(ITypeLib** lib, UINT* index) = 0;
    virtual void ReleaseTypeAttr(TYPEATTR* attr) = 0;
    virtual void ReleaseFuncDesc(FUNCDESC* desc) = 0;
    virtual void ReleaseVarDesc(VARDESC* desc) = 0;

  protected:
    ~ITypeInfo() = default;
};
inline constexpr IID IID_ITypeInfo = ITypeInfo::kIid;

// ---- Interface descriptions ----

// How a member is called; the values are the platform's INVOKEKIND.
enum class MemberKind : WORD { Method = 1, Get = 2, Put = 4, PutRef = 8 };

struct ParamDesc {
    std::u16string name;
    VARTYPE vt = VT_EMPTY;  // the automation type the argument is coerced to
    USHORT flags = PARAMFLAG_FIN;
    bool by_ref = false;       // a pointer parameter: [in, out]
    const IID* iid = nullptr;  // an interface other than IUnknown/IDispatch: queried for it
    CComVariant default_value;
};

// Calls the member on an interface pointer with the arguments already coerced (in declared
// order); `result` receives the [out, retval] value as `result_vt`.
using MemberThunk = HRESULT (*)(void* object, VARIANT* const* args, VARIANT* result,
                                VARTYPE result_vt);

struct MemberDesc {
    std::u16string name;
    DISPID dispid = 0;
    MemberKind kind = MemberKind::Method;
    std::vector<ParamDesc> params;  // visible parameters, without the retval
    VARTYPE result_vt = VT_EMPTY;   // VT_EMPTY: no [out, retval]
    const IID* result_iid = nullptr;
    MemberThunk thunk = nullptr;
    // Filled when the interface is built: the platform's FUNCDESC of this member.
    FUNCDESC funcdesc{};
    std::vector<ELEMDESC> elemdescs;
    std::vector<TYPEDESC> pointees;
    std::vector<PARAMDESCEX> defaults;

    size_t RequiredParams() const;
};

class TypeInfoImpl;

class InterfaceDesc {
  public:
    InterfaceDesc(std::u16string name, const IID& iid, const InterfaceDesc* base,
                  std::vector<MemberDesc> members,
                  WORD type_flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION |
                                    TYPEFLAG_FDISPATCHABLE);
    ~InterfaceDesc();
    InterfaceDesc(const InterfaceDesc&) = delete;
    InterfaceDesc& operator=(const InterfaceDesc&) = delete;

    const std::u16string& name() const { return name_; }
    const IID& iid() const { return iid_; }
    const InterfaceDesc* base() const { return base_; }
    WORD type_flags() const { return type_flags_; }
    // Own members, in table order.
    const std::vector<MemberDesc>& own_members() const { return members_; }
    // Base members first, then own: the function order of the type information.
    const std::vector<const MemberDesc*>& functions() const { return all_; }

    // The member of that DISPID and kind, or null.
    const MemberDesc* Find(DISPID dispid, MemberKind kind) const;
    // True when any member has this DISPID.
    bool HasDispid(DISPID dispid) const { return by_dispid_.count(dispid) != 0; }
    // Case-insensitive name lookup; DISPID_UNKNOWN when unknown.
    DISPID FindName(std::u16string_view name) const;

    // The type information object (static lifetime; its counting does nothing).
    ITypeInfo* type_info() const;

  private:
    std::u16string name_;
    IID iid_;
    const InterfaceDesc* base_;
    WORD type_flags_;
    std::vector<MemberDesc> members_;
    std::vector<const MemberDesc*> all_;
    std::unordered_map<DISPID, std::array<const MemberDesc*, 4>> by_dispid_;
    std::unordered_map<std::u16string, DISPID> by_name_;  // lower-case names
    std::unique_ptr<TypeInfoImpl> type_info_;
};

// Member and parameter names folded for a case-insensitive lookup (FoldCase).
std::u16string FoldName(std::u16string_view name);

// ---- Building member tables from member-function pointers ----

// A visible parameter: its name, optionally the automation type when the C++ type is ambiguous.
struct Arg {
    Arg(const char16_t* name, VARTYPE vt = VT_EMPTY) : name(name), vt(vt) {}
    std::u16string name;
    VARTYPE vt;
    USHORT flags = PARAMFLAG_FIN;
    CComVariant default_value;
};
// An [optional] VARIANT parameter: missing arguments arrive as VT_ERROR DISP_E_PARAMNOTFOUND.
inline Arg Optional(const char16_t* name) {
    Arg a(name);
    a.flags |= PARAMFLAG_FOPT;
    return a;
}
// A parameter with a [defaultvalue].
inline Arg Default(const char16_t* name, const VARIANT& value, VARTYPE vt = VT_EMPTY) {
    Arg a(name, vt);
    a.flags |= PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
    a.default_value = value;
    return a;
}

namespace type_detail {

template <class T>
struct VtOf;  // the automation type of a C++ parameter type and its place in a VARIANT
#define BREVANTO_VT(T, VT, FIELD)                      \
    template <>                                        \
    struct VtOf<T> {                                   \
        static constexpr VARTYPE kVt = VT;             \
        static T& Ref(VARIANT* v) { return v->FIELD; } \
    }
BREVANTO_VT(LONG, VT_I4, lVal);
BREVANTO_VT(ULONG, VT_UI4, ulVal);
BREVANTO_VT(SHORT, VT_I2, iVal);
BREVANTO_VT(USHORT, VT_UI2, uiVal);
BREVANTO_VT(BYTE, VT_UI1, bVal);
BREVANTO_VT(CHAR, VT_I1, cVal);
BREVANTO_VT(LONGLONG, VT_I8, llVal);
BREVANTO_VT(ULONGLONG, VT_UI8, ullVal);
BREVANTO_VT(FLOAT, VT_R4, fltVal);
BREVANTO_VT(DOUBLE, VT_R8, dblVal);
BREVANTO_VT(CY, VT_CY, cyVal);
BREVANTO_VT(BSTR, VT_BSTR, bstrVal);
BREVANTO_VT(IUnknown*, VT_UNKNOWN, punkVal);
BREVANTO_VT(IDispatch*, VT_DISPATCH, pdispVal);
#undef BREVANTO_VT
template <>
struct VtOf<DECIMAL> {
    static constexpr VARTYPE kVt = VT_DECIMAL;
    static DECIMAL& Ref(VARIANT* v) { return v->decVal; }
};
template <>
struct VtOf<VARIANT> {
    static constexpr VARTYPE kVt = VT_VARIANT;
    static VARIANT& Ref(VARIANT* v) { return *v; }
};

// An interface of the library passed as a parameter: held as IUnknown/IDispatch in the VARIANT.
template <class T>
concept OtherInterface =
    std::is_pointer_v<T> && std::is_base_of_v<IUnknown, std::remove_pointer_t<T>> &&
    !std::is_same_v<T, IUnknown*> &&
    !std::is_same_v<T, IDispatch*>;

template <class T>
constexpr VARTYPE DefaultVt() {
    if constexpr (OtherInterface<T>)
        return std::is_base_of_v<IDispatch, std::remove_pointer_t<T>> ? VT_DISPATCH : VT_UNKNOWN;
    else
        return VtOf<T>::kVt;
}
template <class T>
const IID* IidOf() {
    if constexpr (OtherInterface<T>)
        return &uuidof<std::remove_pointer_t<T>>();
    else
        return nullptr;
}

// A by-value parameter read from its coerced VARIANT.
template <class T>
T ValueFrom(VARIANT* v) {
    if constexpr (OtherInterface<T>)
        return static_cast<T>(static_cast<void*>(v->punkVal));
    else if constexpr (std::is_same_v<T, VARIANT>)
        return *v;
    else
        return VtOf<T>::Ref(v);
}
// A pointer parameter: the caller's reference, or the coerced temporary.
template <class T>
T* PointerFrom(VARIANT* v) {
    if constexpr (std::is_same_v<T, VARIANT>) {
        if (v->vt == (VT_BYREF | VT_VARIANT)) return v->pvarVal;
        return v;
    } else if constexpr (OtherInterface<T> || std::is_same_v<T, IUnknown*> ||
                         std::is_same_v<T, IDispatch*>) {
        if (v->vt & VT_BYREF) return static_cast<T*>(v->byref);
        return reinterpret_cast<T*>(&v->punkVal);
    } else {
        if (v->vt & VT_BYREF) return static_cast<T*>(v->byref);
        return &VtOf<T>::Ref(v);
    }
}

template <class P>
constexpr bool kIsByRef = std::is_pointer_v<P> && !std::is_same_v<P, BSTR> &&
                          !std::is_base_of_v<IUnknown, std::remove_pointer_t<P>>;

template <class P>
decltype(auto) ArgFrom(VARIANT* v) {
    if constexpr (kIsByRef<P>)
        return PointerFrom<std::remove_pointer_t<P>>(v);
    else
        return ValueFrom<P>(v);
}

// Receives an [out, retval] value and moves it into the result VARIANT.
template <class R>
struct RetSlot {
    R value{};
    R* get(VARIANT*) { return &value; }
    void Store(VARIANT* result, VARTYPE vt) {
        if constexpr (std::is_same_v<R, DECIMAL>) {
            result->decVal = value;
            result->vt = VT_DECIMAL;
        } else if constexpr (OtherInterface<R>) {
            result->vt = vt;
            if constexpr (std::is_base_of_v<IDispatch, std::remove_pointer_t<R>>)
                result->pdispVal = static_cast<IDispatch*>(value);
            else
                result->punkVal = static_cast<IUnknown*>(value);
        } else {
            result->vt = vt;
            VtOf<R>::Ref(result) = value;
        }
    }
    void Discard() {
        if constexpr (std::is_same_v<R, BSTR>) {
            SysFreeString(value);
        } else if constexpr (std::is_pointer_v<R>) {
            if (value) value->Release();
        }
    }
};
template <>
struct RetSlot<VARIANT> {
    VARIANT* get(VARIANT* result) { return result; }
    void Store(VARIANT*, VARTYPE) {}
    void Discard() {}
};

template <class Sig>
struct MemberTraits;
template <class C, class... P>
struct MemberTraits<HRESULT (C::*)(P...)> {
    using Class = C;
    using Params = std::tuple<P...>;
    static constexpr size_t kCount = sizeof...(P);
};

template <auto Fn, bool kHasRet, size_t... Is>
HRESULT CallMember(void* object, VARIANT* const* args, VARIANT* result, VARTYPE result_vt,
                   std::index_sequence<Is...>) {
    using Traits = MemberTraits<decltype(Fn)>;
    using C = typename Traits::Class;
    using Params = typename Traits::Params;
    C* self = static_cast<C*>(object);
    if constexpr (kHasRet) {
        using R = std::remove_pointer_t<std::tuple_element_t<Traits::kCount - 1, Params>>;
        RetSlot<R> slot;
        HRESULT hr =
            (self->*Fn)(ArgFrom<std::tuple_element_t<Is, Params>>(args[Is])..., slot.get(result));
        if (SUCCEEDED(hr))
            slot.Store(result, result_vt);
        else
            slot.Discard();
        return hr;
    } else {
        (void)result;
        (void)result_vt;
        return (self->*Fn)(ArgFrom<std::tuple_element_t<Is, Params>>(args[Is])...);
    }
}

template <auto Fn, bool kHasRet>
HRESULT Thunk(void* object, VARIANT* const* args, VARIANT* result, VARTYPE result_vt) {
    constexpr size_t n = MemberTraits<decltype(Fn)>::kCount - (kHasRet ? 1 : 0);
    return CallMember<Fn, kHasRet>(object, args, result, result_vt, std::make_index_sequence<n>{});
}

template <class P>
ParamDesc DescribeParam() {
    using T = std::conditional_t<kIsByRef<P>, std::remove_pointer_t<P>, P>;
    ParamDesc p;
    p.vt = DefaultVt<T>();
    p.by_ref = kIsByRef<P>;
    p.iid = IidOf<T>();
    return p;
}

// Checks the table's entries against the signature; throws std::logic_error when they differ.
void CompleteMember(MemberDesc& member, std::vector<ParamDesc> signature, bool has_ret,
                    VARTYPE native_result_vt, const IID* result_iid,
                    std::initializer_list<Arg> args, VARTYPE result_vt);

template <auto Fn>
MemberDesc Build(MemberKind kind, const char16_t* name, DISPID dispid,
                 std::initializer_list<Arg> args, VARTYPE result_vt) {
    using Traits = MemberTraits<decltype(Fn)>;
    using Params = typename Traits::Params;
    constexpr size_t count = Traits::kCount;
    MemberDesc member;
    member.name = name;
    member.dispid = dispid;
    member.kind = kind;
    std::vector<ParamDesc> signature;
    [&]<size_t... Is>(std::index_sequence<Is...>) {
        (signature.push_back(DescribeParam<std::tuple_element_t<Is, Params>>()), ...);
    }
    (std::make_index_sequence<count>{});

    // The retval is the one trailing pointer the table does not name.
    bool has_ret = args.size() + 1 == count;
    VARTYPE native_result_vt = VT_EMPTY;
    const IID* result_iid = nullptr;
    if constexpr (count > 0) {
        using Last = std::tuple_element_t<count - 1, Params>;
        if constexpr (kIsByRef<Last>) {
            using R = std::remove_pointer_t<Last>;
            native_result_vt = DefaultVt<R>();
            result_iid = IidOf<R>();
            member.thunk = has_ret ? &Thunk<Fn, true> : &Thunk<Fn, false>;
        } else {
            has_ret = false;
            member.thunk = &Thunk<Fn, false>;
        }
    } else {
        has_ret = false;  // no parameter at all, so no result slot either
        member.thunk = &Thunk<Fn, false>;
    }
    if (has_ret) signature.pop_back();
    CompleteMember(member, std::move(signature), has_ret, native_result_vt, result_iid, args,
                   result_vt);
    return member;
}

}  // namespace type_detail

template <auto Fn>
MemberDesc Method(const char16_t* name, DISPID dispid, std::initializer_list<Arg> args = {},
                  VARTYPE result_vt = VT_EMPTY) {
    return type_detail::Build<Fn>(MemberKind::Method, name, dispid, args, result_vt);
}
template <auto Fn>
MemberDesc Get(const char16_t* name, DISPID dispid, std::initializer_list<Arg> args = {},
               VARTYPE result_vt = VT_EMPTY) {
    return type_detail::Build<Fn>(MemberKind::Get, name, dispid, args, result_vt);
}
// Puts name every parameter; the last one is the assigned value.
template <auto Fn>
MemberDesc Put(const char16_t* name, DISPID dispid, std::initializer_list<Arg> args) {
    return type_detail::Build<Fn>(MemberKind::Put, name, dispid, args, VT_EMPTY);
}
template <auto Fn>
MemberDesc PutRef(const char16_t* name, DISPID dispid, std::initializer_list<Arg> args) {
    return type_detail::Build<Fn>(MemberKind::PutRef, name, dispid, args, VT_EMPTY);
}

// A type library: its identifier, name, version and help string, and its interfaces.
struct TypeLibraryDesc {
    GUID libid;
    std::u16string name;
    WORD major;
    WORD minor;
    std::u16string help_string;
    std::vector<const InterfaceDesc*> interfaces;
};
