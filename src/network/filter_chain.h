// A filter chain: the filters a packet passes, in the order they were added. The list is used
// from port, script and timer threads; its lock guards only the list, never a running filter.
#pragma once

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "dispatch/placeholders.h"
#include "interfaces/dispatch.h"
#include "interfaces/network.h"
#include "network/filter_base.h"
#include "platform/com_object.h"
#include "platform/dispatcher.h"
#include "platform/lock.h"

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
    // Appends the filter unless it already stands in the chain; true when it was appended.
    bool AppendFilterOnce(ref<FilterBase> filter);
    // One pass over the list as it is now: true when a filter consumed the packet.
    bool RunFilters(ref<PacketBase> packet);
    // RunFilters, then PurgeDestroyed; *consumed is 1 when a filter consumed the packet.
    void FilterAndPurge(ref<PacketBase> packet, LONG* consumed);
    // Removes (with Cleanup) every filter whose DestroyNow is set.
    void PurgeDestroyed();
    // Removes (with Cleanup) the first entry that is this filter.
    void RemoveFilter(const ref<FilterBase>& filter);
    // The filters as they are now, in order.
    List Filters() const;

    // ---- IReadOnlyTest: Add through a page's context stores a placeholder ----
    HRESULT RewriteCall(DISPID* dispid, DISPPARAMS* params, WORD* flags) override;
    HRESULT WrapResult(DISPID) override { return S_OK; }

    // ---- IDestroy: empties the chain ----
    HRESULT Destroy() override;

  private:
    // The filters in order. A pass walks one Chain without the lock; while any pass does, a
    // change copies the chain first and publishes the copy (copy-on-write), otherwise it
    // changes the chain in place, so adding is amortised constant time. A removed filter
    // leaves a null entry, compacted away once the holes outnumber the filters.
    struct Chain {
        List entries;
        std::atomic<int> passes{0};  // passes walking this chain now
    };

    // The chain to change, under lock_: the published one, or a copy of it while passes walk it.
    Chain& WritableLocked();
    // Leaves a hole at `entry` and returns the filter that was there.
    ref<FilterBase> TakeEntryLocked(std::size_t entry);
    // Drops the holes once they outnumber the filters.
    void CompactIfSparseLocked();

    mutable CCriticalSectionEx lock_;
    std::shared_ptr<Chain> chain_;  // guarded by lock_
    // Where each filter stands in chain_ (a filter may stand more than once); guarded by lock_.
    std::unordered_multimap<const FilterBase*, std::size_t> entries_of_;
    std::size_t live_ = 0;  // entries that are not holes; guarded by lock_
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
