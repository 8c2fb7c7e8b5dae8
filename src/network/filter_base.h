// The member of a filter chain: decides whether a packet concerns it and what then happens.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "network/packet_base.h"
#include "platform/bstr.h"
#include "platform/lock.h"
#include "runtime/ref_counted.h"

class FilterBase : public virtual RefCounted {
  public:
    // A pattern entry that accepts any byte (every entry of 256 or more does).
    static constexpr WORD kAnyByte = 0xFFFF;
    // A filter looks at no more than this many bytes of a packet.
    static constexpr LONG kMaxPacketBytes = static_cast<LONG>(kMaxFrameBytes);
    using Pattern = std::vector<WORD>;

    FilterBase();
    ~FilterBase() override;

    // DestroyNow 0, Enable 1.
    virtual void Reset();
    // Called when the filter leaves a collection: empties the pattern.
    virtual void Cleanup();
    // The per-filter step of a chain pass; *consumed = 1 ends the pass.
    virtual void ProcessPacket(ref<PacketBase> packet, LONG* consumed);
    // The pattern test.
    virtual void Matches(ref<PacketBase> packet, LONG* match);
    virtual void OnMatch(ref<PacketBase> packet, LONG* consumed);
    virtual void OnNoMatch(ref<PacketBase> packet, LONG* consumed);
    // Called by SetEnable when Enable changes to 1.
    virtual void OnEnabled();
    virtual void SetEnable(LONG value);

    // The pattern and the name are set by script and read by the filtering thread, so they are
    // kept behind the filter's lock; the pattern is handed out as an unchanging snapshot.
    std::shared_ptr<const Pattern> GetPattern() const;
    void SetPattern(Pattern pattern);
    CComBSTR GetName() const;
    void SetName(BSTR name);

    // Plain flag words written by script and read by the filtering thread.
    std::atomic<LONG> DestroyNow{0};
    std::atomic<LONG> Enable{1};
    std::atomic<LONG> Priority{0};

  protected:
    mutable CCriticalSectionEx lock_;

  private:
    std::shared_ptr<const Pattern> pattern_;
    CComBSTR name_;
};
