#include "network/filter_base.h"

FilterBase::FilterBase() : pattern_(std::make_shared<const Pattern>()) {}

FilterBase::~FilterBase() = default;

void FilterBase::Reset() {
    DestroyNow = 0;
    Enable = 1;
}

void FilterBase::Cleanup() {
    SetPattern({});
}

void FilterBase::ProcessPacket(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    if (Enable == 0) return;
    LONG match = 1;
    Matches(packet, &match);
    if (match)
        OnMatch(std::move(packet), consumed);
    else
        OnNoMatch(std::move(packet), consumed);
}

void FilterBase::Matches(ref<PacketBase> packet, LONG* match) {
    *match = 0;
    std::shared_ptr<const Pattern> pattern = GetPattern();
    if (pattern->empty() || !packet) return;
    BYTE bytes[kMaxPacketBytes];
    const LONG count = packet->CopyBytes(bytes, kMaxPacketBytes);
    *match = 1;
    for (size_t i = 0; i < pattern->size(); ++i) {
        const WORD entry = (*pattern)[i];
        if (entry >= 256) continue;  // any byte, also past the end of the packet
        if (static_cast<LONG>(i) >= count || bytes[i] != entry) {
            *match = 0;
            return;
        }
    }
}

void FilterBase::OnMatch(ref<PacketBase>, LONG* consumed) {
    *consumed = 0;
}

void FilterBase::OnNoMatch(ref<PacketBase>, LONG* consumed) {
    *consumed = 0;
}

void FilterBase::OnEnabled() {}

void FilterBase::SetEnable(LONG value) {
    if (Enable.exchange(value) != value && value == 1) OnEnabled();
}

std::shared_ptr<const FilterBase::Pattern> FilterBase::GetPattern() const {
    CScopedLock lock(lock_);
    return pattern_;
}

void FilterBase::SetPattern(Pattern pattern) {
    auto snapshot = std::make_shared<const Pattern>(std::move(pattern));
    CScopedLock lock(lock_);
    pattern_ = std::move(snapshot);
}

CComBSTR FilterBase::GetName() const {
    CScopedLock lock(lock_);
    return name_;
}

void FilterBase::SetName(BSTR name) {
    CComBSTR copy;  // null stays null
    if (name) copy = CComBSTR(std::u16string_view(name, SysStringLen(name)));
    CScopedLock lock(lock_);
    name_ = std::move(copy);
}
