// A filter chain: the filters a packet passes, in the order they were added. The list is used
// from port, script and timer threads; its lock guards only the list, never a running filter.
#pragma once

#include <memory>
#include <vector>

#include "dispatch/placeholders.h"
#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/filter_base.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"
#include "runtime/lock.h"

class CPacketFilters : public ComObjectRoot<CPacketFilters, DispatchImpl<IPacketFilters>,
                                            IReadOnlyTest, IDestroy, IMarshal> {
  public:
    using List = std::vector<ref<FilterBase>>;

    CPacketFilters();

    // A new chain with one reference.
    static HRESULT Create(ComPtr<CPacketFilters>* out) { return MakeComObject(out); }

    // ---- IPacketFilters ----
    HRESULT get_Count(LONG* pVal) override;
    // Appends a filter object (one that answers _IInternalFilter), or the filter a placeholder
    // stands for, which then joins its page's context.
    HRESULT Add(VARIANT Ob) override;
    HRESULT Remove(LONG Index) override;

    // ---- Chain operations ----
    void AppendFilter(ref<FilterBase> filter);
    // One pass over the list as it is now: true when a filter consumed the packet.
    bool RunFilters(ref<PacketBase> packet);
    // RunFilters, then PurgeDestroyed; *consumed is 1 when a filter consumed the packet.
    void FilterAndPurge(ref<PacketBase> packet, LONG* consumed);
    // Removes (with Cleanup) every filter whose DestroyNow is set.
    void PurgeDestroyed();
    // Removes (with Cleanup) the first entry that is this filter.
    void RemoveFilter(const ref<FilterBase>& filter);
    // The list as it is now.
    std::shared_ptr<const List> Snapshot() const;

    // ---- IReadOnlyTest: Add through a page's context stores a placeholder ----
    HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD* flags) override;
    HRESULT WrapResult(DISPID) override { return S_OK; }

    // ---- IDestroy: empties the chain ----
    HRESULT Destroy() override;

  private:
    // Replaces the list; the old one lives on in the snapshots of passes in progress.
    void Publish(List list);

    mutable CCriticalSectionEx lock_;
    std::shared_ptr<const List> list_;
    DISPID add_dispid_ = static_cast<DISPID>(0xdeadbea7);
};

// Stands for a filter added to a chain through a page's data context: when the context's
// dependants are destroyed, Remove takes the filter out of the chain.
class FilterCollectionPlaceHolder
    : public ComObjectRoot<FilterCollectionPlaceHolder, PlaceHolderImpl, IMarshal> {
  public:
    // A new placeholder for `filter` (an object answering IPacketFilter) in `collection`, with
    // one reference.
    static HRESULT Create(IUnknown* filter, CPacketFilters* collection, IPlaceHolder** out);

    HRESULT Register(IDispatch* call) override;
    HRESULT Remove() override;

  private:
    ComPtr<CPacketFilters> collection_;
};
