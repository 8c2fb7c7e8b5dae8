// Interfaces of persistence: the configuration object and serialisable script objects.
#pragma once

#include "interfaces/ids.h"
#include "platform/type_info.h"
#include "platform/unknown.h"

struct IConfig : IDispatchEx {
    using Base = IDispatchEx;
    static constexpr IID kIid = brevanto_ids::Make(0x50);
    static const InterfaceDesc& Describe();
    virtual HRESULT Load() = 0;
    virtual HRESULT Save() = 0;

  protected:
    ~IConfig() = default;
};

// Internal: native script objects that object-tree files can write and create again.
struct IQuorvaneSerialisable : IUnknown {
    static constexpr IID kIid = brevanto_ids::Make(0x51);
    // The class name the object is created by again ("brevanto.schedule", ...).
    virtual HRESULT GetTypeName(BSTR* name) = 0;
    // Whether unknown names create new members (VARIANT_TRUE turns it on).
    virtual HRESULT get_DynamicMembers(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT put_DynamicMembers(VARIANT_BOOL enabled) = 0;
    // The names scripts added, in the order they were added, as an array of strings.
    virtual HRESULT GetMemberNames(VARIANT* names) = 0;

  protected:
    ~IQuorvaneSerialisable() = default;
};
