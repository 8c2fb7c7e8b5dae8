// The filter behind a script-created PacketFilter: script functions replace or follow each step
// of the pattern filter.
#pragma once

#include <atomic>

#include "dispatch/collection.h"
#include "network/filter_base.h"
#include "platform/git_ptr.h"

// The script collection Callbacks, embedded in its filter and counted with it: a script that
// keeps the collection keeps the filter, and so the collection, alive. Counting starts once the
// filter is built and ends when it is destroyed.
class FilterCallbacks final : public STLObjectCollectionObject<IDispatch, IGenericCollection> {
  public:
    explicit FilterCallbacks(RefCounted& owner) : owner_(owner) {}
    ~FilterCallbacks() { FinalRelease(); }

    void SetCounted(bool counted) { counted_.store(counted, std::memory_order_release); }

    using STLObjectCollectionObject::QueryInterface;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return InternalQueryInterface(riid, object);
    }
    ULONG AddRef() override {
        if (counted_.load(std::memory_order_acquire)) owner_.AddRef();
        return 1;
    }
    ULONG Release() override {
        // The last release destroys the filter and this with it: nothing is touched after.
        if (counted_.load(std::memory_order_acquire)) owner_.Release();
        return 1;
    }

  private:
    RefCounted& owner_;
    std::atomic<bool> counted_{false};
};

class COMFilter : public FilterBase {
  public:
    // The four script functions a filter may hold.
    enum class Function {
        kFilterPacket,         // replaces the whole per-filter step
        kMatchesPacket,        // replaces the pattern test
        kOnFilterMatches,      // called on a match; its result decides consumption
        kOnFilterMatchFailed,  // called on no match
    };

    COMFilter();
    ~COMFilter() override;

    // Also lets go of the Owner.
    void Reset() override;
    // Empties the pattern, the four functions and Callbacks; the Owner stays.
    void Cleanup() override;
    void ProcessPacket(ref<PacketBase> packet, LONG* consumed) override;
    void Matches(ref<PacketBase> packet, LONG* match) override;
    void OnMatch(ref<PacketBase> packet, LONG* consumed) override;
    void OnNoMatch(ref<PacketBase> packet, LONG* consumed) override;
    // Calls every member of Callbacks, in order, with the packet's script object.
    virtual void InvokeCallbacks(ref<PacketBase> packet);

    // Stores a function (null empties the holder); a failed cross-thread registration is
    // returned.
    HRESULT SetFunction(Function which, IDispatch* function);
    // The stored function for the calling thread, with a reference; null when none.
    HRESULT GetFunction(Function which, IDispatch** function) const;
    bool HasFunction(Function which) const;

    // The script object passed as `this` to the four functions (a strong reference).
    ComPtr<IDispatch> Owner() const;
    // Set on the owner's own thread.
    void SetOwner(IDispatch* owner);
    // The Owner as the calling thread may use it: on another thread, a proxy that takes calls
    // (and the owner passed as an argument) back to the owner's thread, where the script sees
    // the owner itself again.
    ComPtr<IDispatch> OwnerForCall() const;

    // Further script functions called on a match.
    FilterCallbacks Callbacks{*this};

  private:
    // Calls a stored function with the packet's script object; false when it was not called.
    bool CallFunction(Function which, PacketBase* packet, LONG* result);

    CComGITPtr2<IDispatch> functions_[4];
    ComPtr<IDispatch> owner_;
    CComGITPtr2<IDispatch> owner_holder_;
};
