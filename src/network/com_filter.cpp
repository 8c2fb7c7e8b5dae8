#include "network/com_filter.h"

#include "network/call_packet_function.h"
#include "network/packet_object.h"

COMFilter::COMFilter() {
    Callbacks.SetCounted(true);
}

COMFilter::~COMFilter() {
    Callbacks.SetCounted(false);
}

void COMFilter::Reset() {
    FilterBase::Reset();
    SetOwner(nullptr);
}

void COMFilter::Cleanup() {
    FilterBase::Cleanup();
    {
        CScopedLock lock(lock_);
        for (CComGITPtr2<IDispatch>& function : functions_)
            function.Revoke();
    }
    Callbacks.ClearAll();
}

HRESULT COMFilter::SetFunction(Function which, IDispatch* function) {
    CScopedLock lock(lock_);
    return functions_[static_cast<int>(which)].Attach(function);
}

HRESULT COMFilter::GetFunction(Function which, IDispatch** function) const {
    if (!function) return E_POINTER;
    *function = nullptr;
    CScopedLock lock(lock_);
    const CComGITPtr2<IDispatch>& holder = functions_[static_cast<int>(which)];
    return holder ? holder.CopyTo(function) : S_OK;
}

bool COMFilter::HasFunction(Function which) const {
    CScopedLock lock(lock_);
    return !functions_[static_cast<int>(which)].empty();
}

ComPtr<IDispatch> COMFilter::Owner() const {
    CScopedLock lock(lock_);
    return owner_;
}

void COMFilter::SetOwner(IDispatch* owner) {
    CComGITPtr2<IDispatch> holder;
    // A holder that cannot be made leaves calls on other threads without `this`.
    if (owner) holder.Attach(owner);
    ComPtr<IDispatch> old;
    {
        CScopedLock lock(lock_);
        old = std::move(owner_);
        owner_ = owner;
        std::swap(owner_holder_, holder);
    }
    // `old` and the old holder go here, outside the lock: they may be the last holds on the
    // script object.
}

ComPtr<IDispatch> COMFilter::OwnerForCall() const {
    CScopedLock lock(lock_);
    return owner_holder_ ? owner_holder_.Get() : ComPtr<IDispatch>();
}

bool COMFilter::CallFunction(Function which, PacketBase* packet, LONG* result) {
    ComPtr<IDispatch> function;
    if (FAILED(GetFunction(which, function.put())) || !function) return false;
    ComPtr<IDispatch> object;
    if (FAILED(GetPacketScriptObject(packet, object.put()))) return false;
    ComPtr<IDispatch> owner = OwnerForCall();
    CallPacketFunction(object.get(), result, function.get(), owner.get());
    return true;
}

void COMFilter::ProcessPacket(ref<PacketBase> packet, LONG* consumed) {
    if (HasFunction(Function::kFilterPacket)) {
        // Replaces everything else; the packet always goes on.
        *consumed = 0;
        CallFunction(Function::kFilterPacket, packet.get(), nullptr);
        return;
    }
    FilterBase::ProcessPacket(std::move(packet), consumed);
}

void COMFilter::Matches(ref<PacketBase> packet, LONG* match) {
    if (!HasFunction(Function::kMatchesPacket)) {
        FilterBase::Matches(std::move(packet), match);
        return;
    }
    *match = 0;
    CallFunction(Function::kMatchesPacket, packet.get(), match);
}

void COMFilter::OnMatch(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    CallFunction(Function::kOnFilterMatches, packet.get(), consumed);
    InvokeCallbacks(std::move(packet));
}

void COMFilter::OnNoMatch(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    CallFunction(Function::kOnFilterMatchFailed, packet.get(), nullptr);
}

void COMFilter::InvokeCallbacks(ref<PacketBase> packet) {
    auto items = Callbacks.Items();
    if (items->empty()) return;
    ComPtr<IDispatch> object;
    if (FAILED(GetPacketScriptObject(packet.get(), object.put()))) return;
    CComVariant argument(object.get());
    for (const CollectionElement& element : *items) {
        CComVariant member;
        if (FAILED(DispatchConverter<IDispatch>::ToVariant(element, &member))) continue;
        if ((member.vt != VT_DISPATCH && member.vt != VT_UNKNOWN) || !member.punkVal) continue;
        ComPtr<IDispatch> callback;
        if (FAILED(member.punkVal->QueryInterface(callback.put())) || !callback) continue;
        CallScriptFunction(callback.get(), argument, nullptr);  // result and errors ignored
    }
}
