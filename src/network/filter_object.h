// PacketFilter: the script object of a filter. It owns its COMFilter, and the filter holds the
// object as its Owner; Destroy breaks that cycle.
#pragma once

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/com_filter.h"
#include "platform/com_object.h"
#include "platform/object_safety.h"

class CPacketFilter : public ComObjectRoot<CPacketFilter, IDispatchExImpl<IPacketFilter>, IDestroy,
                                           IReadOnlyTest, MyIObjectSafetyImpl, _IInternalFilter> {
  public:
    CPacketFilter();
    // Creates the filter and makes this object its Owner.
    HRESULT FinalConstruct();
    void FinalRelease();

    // Shows the members of `filter`, which belongs to another script object (that forwards
    // its filter members here and stays the filter's Owner).
    void Wrap(ref<COMFilter> filter);

    // The internal filter; null after Destroy.
    ref<COMFilter> Filter();

    // ---- IPacketFilter ----
    HRESULT get_DestroyNow(LONG* pVal) override;
    HRESULT put_DestroyNow(LONG newVal) override;
    HRESULT get_Priority(LONG* pVal) override;
    HRESULT put_Priority(LONG newVal) override;
    HRESULT get_FilterPacket(IDispatch** pVal) override;
    HRESULT put_FilterPacket(IDispatch* newVal) override;
    HRESULT get_MatchesPacket(IDispatch** pVal) override;
    HRESULT put_MatchesPacket(IDispatch* newVal) override;
    HRESULT get_OnFilterMatches(IDispatch** pVal) override;
    HRESULT put_OnFilterMatches(IDispatch* newVal) override;
    HRESULT get_OnFilterMatchFailed(IDispatch** pVal) override;
    HRESULT put_OnFilterMatchFailed(IDispatch* newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Callbacks(IGenericCollection** pVal) override;
    HRESULT get_PacketToMatch(VARIANT* pVal) override;
    HRESULT put_PacketToMatch(VARIANT newVal) override;
    HRESULT get_Enable(LONG* pVal) override;
    HRESULT put_Enable(LONG newVal) override;

    // ---- IDestroy ----
    HRESULT Destroy() override;

    // ---- IReadOnlyTest: calls through a page's context pass unchanged, results are wrapped ----
    HRESULT RewriteCall(DISPID*, DISPPARAMS*, WORD*) override { return S_OK; }
    HRESULT WrapResult(DISPID) override { return S_OK; }

    // ---- _IInternalFilter ----
    HRESULT GetFilter(FilterBase** filter) override;

  private:
    HRESULT GetFunction(COMFilter::Function which, IDispatch** pVal);
    HRESULT PutFunction(COMFilter::Function which, IDispatch* newVal);
    // Lets go of the filter, and the filter of this object as its Owner.
    void DropFilter();
    IDispatch* Self() { return static_cast<IDispatch*>(static_cast<IPacketFilter*>(this)); }

    ref<COMFilter> filter_;
};

// The pattern rules of PacketToMatch, for every object that exposes filter members.
namespace filter_pattern {

// The pattern as an array of variants: a byte for each fixed entry, empty for a wildcard.
HRESULT ToArray(const FilterBase::Pattern& pattern, VARIANT* array);
// A script array's elements as a pattern; E_FAIL (pattern untouched) for a value that is no
// array or has no length, and for an empty array (which still empties the pattern).
HRESULT FromScriptArray(const VARIANT& value, FilterBase& filter);

}  // namespace filter_pattern
