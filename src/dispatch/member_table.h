// The member table of an expandable object: the members a script adds to an object at run time
// (expando members), with the IDispatchEx operations over them.
//
// Entries are never removed: a deleted member stays in place, marked, and keeps its DISPID so
// that re-creating it revives the same entry. DISPIDs are handed out consecutively from the
// first expando DISPID, so the entry of a DISPID is found by subtraction.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/unknown.h"
#include "platform/variant.h"

struct ITypeInfo;

// The first expando DISPID of an interface whose functions have these DISPIDs: one above the
// lower end of the widest gap between 1 and 0x7FFFFFFF, so expandos never meet typed members.
DISPID FirstExpandoDispid(std::vector<DISPID> function_dispids);
// The same, read from type information (all its functions); 1 when it has none.
DISPID FirstExpandoDispid(ITypeInfo* info);

class IDispatchExImplRaw {
  public:
    // Object-level flag bits.
    static constexpr DWORD kExpandable = 0x1;
    static constexpr DWORD kTypeInfoPrepared = 0x2;

    static constexpr DISPID kPlainFirstDispid = 10000;

    explicit IDispatchExImplRaw(DISPID first_dispid = kPlainFirstDispid, DWORD flags = 0)
        : next_dispid_(first_dispid), first_dispid_(first_dispid), flags_(flags) {}
    IDispatchExImplRaw(const IDispatchExImplRaw&) = delete;
    IDispatchExImplRaw& operator=(const IDispatchExImplRaw&) = delete;

    bool expandable() const { return (flags_ & kExpandable) != 0; }
    void set_expandable(bool on) { flags_ = on ? (flags_ | kExpandable) : (flags_ & ~kExpandable); }
    DWORD flags() const { return flags_; }
    void set_flags(DWORD flags) { flags_ = flags; }
    DWORD default_lookup_flags() const { return default_lookup_flags_; }
    void set_default_lookup_flags(DWORD flags) { default_lookup_flags_ = flags; }

    // Chooses where expando DISPIDs start; only while the table has no entries.
    void SetFirstDispid(DISPID first);
    DISPID first_dispid() const { return first_dispid_; }

    // ---- IDispatchEx over the table (no type information involved) ----
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* dispids);
    HRESULT GetDispID(BSTR name, DWORD flags, DISPID* dispid);
    HRESULT Invoke(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepinfo, UINT* argerr);
    HRESULT InvokeEx(DISPID dispid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* excepinfo, IServiceProvider* caller);
    HRESULT DeleteMemberByName(BSTR name, DWORD flags);
    HRESULT DeleteMemberByDispID(DISPID dispid);
    HRESULT GetMemberProperties(DISPID dispid, DWORD fetch, DWORD* properties);
    HRESULT GetMemberName(DISPID dispid, BSTR* name);
    HRESULT GetNextDispID(DWORD flags, DISPID dispid, DISPID* next);

    // ---- Native access (serialisation, owners) ----
    // Number of live (non-deleted) members.
    size_t Count() const { return live_; }
    // Names of the live members in creation order.
    std::vector<std::u16string> Names() const;
    // The live names as a one-dimensional array of strings (VT_ARRAY | VT_BSTR).
    HRESULT GetMemberNames(VARIANT* names) const;
    // The DISPID of a live member, or DISPID_UNKNOWN.
    DISPID Find(std::u16string_view name, DWORD flags) const;
    // Creates (or revives, or finds) the member and gives it a copy of `value` (references
    // resolved). A failing copy leaves the member holding an error value and is returned.
    HRESULT SetValue(std::u16string_view name, const VARIANT& value, DISPID* dispid = nullptr);
    // A copy of a live member's value; DISP_E_MEMBERNOTFOUND otherwise.
    HRESULT GetValue(DISPID dispid, VARIANT* value) const;
    // A live member's value in place, or null; valid until the table next changes.
    const VARIANT* PeekValue(DISPID dispid) const {
        const Entry* e = Live(dispid);
        return e ? &e->value : nullptr;
    }
    // Deletes every member (the entries and their DISPIDs stay).
    void DeleteAll();

  private:
    struct Entry {
        DISPID dispid;
        std::u16string name;
        DWORD flags;
        CComVariant value;
        bool deleted = false;
    };

    // The live entry of a DISPID, or null.
    Entry* Live(DISPID dispid);
    const Entry* Live(DISPID dispid) const;
    // The live entry of that name; when `revivable`, a deleted one is taken if no live one is.
    Entry* Lookup(std::u16string_view name, DWORD flags, bool revivable);
    // Finds, revives or appends the member of that name; its value is cleared when it is new or
    // revived.
    Entry& Ensure(std::u16string_view name, DWORD flags);
    // Name lookup as GetIDsOfNames/GetDispID do it: "value", then the table, then creation.
    HRESULT Resolve(std::u16string_view name, DWORD flags, DISPID* dispid);
    HRESULT Store(Entry& entry, const VARIANT& value);
    HRESULT NewEnum(VARIANT* result);

    std::vector<Entry> entries_;
    size_t live_ = 0;
    DISPID next_dispid_;
    DISPID first_dispid_;
    DWORD flags_;
    DWORD default_lookup_flags_ = 0x8;  // case-insensitive
};
