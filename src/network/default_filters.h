// The built-in filters that give the panel its own reactions to network traffic, whatever the
// pages do:
// - DefaultPacketFilters heads the network-wide InFilters: it widens joins by the area's join
//   mask, decodes recognised packets, stores their named values and announces them as events,
//   switches and triggers schedules on request, and honours the remote restart and shut-down
//   commands addressed to this panel;
// - DefaultOutgoingFilters heads OutFilters: it widens the joins of every logical packet sent;
// - BlockLongFramesExceptMe stands in port 0's own InFilters: long frames for other panels go
//   no further.
// Apart from the consumed device frames named below, they never consume a packet, so script
// filters after them see every packet, decoded and carrying its named values.
#pragma once

#include <array>
#include <atomic>

#include "network/filter_base.h"
#include "network/opcode_catalogue.h"
#include "platform/lock.h"
#include "runtime/timer.h"

// The join mask of every logical area, shared by the incoming and the outgoing default filter
// for the life of the process. Filled only by received 0x14 packets.
class JoinMasks {
  public:
    static BYTE Get(BYTE area);
    static void Set(BYTE area, BYTE mask);
    static void ClearAll();
    // The join as the area's mask widens it: the whole mask when they share a bit, else as it is.
    static BYTE Widen(BYTE area, BYTE join);
    // Widens byte 6 of a logical packet of at least 7 bytes, under the packet's lock; with
    // `checksum`, also stores the checksum in byte 7 when there is one. False when the packet is
    // no such packet.
    static bool Rewrite(PacketBase& packet, bool checksum);
};

// What a pass of the incoming default filter decided for one packet.
enum class DefaultAction : BYTE {
    kNoMatch,
    kNothing,   // matched, nothing to do (block packets)
    kAnnounce,  // the opcode catalogue's row: named values, then its event if it has one
    kSetJoinMask,
    kArm,
    kDisarm,
    kShutDown,
    kEnableSchedules,
    kDisableSchedules,
    kTriggerSchedules,
    kConsume,  // device frames for the panel's own port that nothing else is to see
};

class DefaultPacketFilters : public FilterBase, public TimeoutHandler {
  public:
    // The restart follows the arm command after this long, unless disarmed.
    static constexpr LONG kRestartDelayMs = 30000;
    // A filter looks at no more than this many bytes of a packet.
    static constexpr LONG kPassBytes = 32;

    // The first one made clears the join masks.
    DefaultPacketFilters();

    // One pass: the choice and its action, with the pass's own working state (the feedback copy
    // of a sent packet and a received frame can pass at the same time).
    void ProcessPacket(ref<PacketBase> packet, LONG* consumed) override;
    // The choice alone (it widens and decodes a logical packet on the way).
    void Matches(ref<PacketBase> packet, LONG* match) override;
    // Chooses again and acts.
    void OnMatch(ref<PacketBase> packet, LONG* consumed) override;
    // Lets go of the restart timer (which holds this filter as its handler).
    void Cleanup() override;

    // The restart timer ran out: the host is asked to restart.
    void TimedOut(TimerBase* timer) override;

    bool Armed() const { return armed_.load(std::memory_order_relaxed) != 0; }

  private:
    struct Pass {
        DefaultAction action = DefaultAction::kNoMatch;
        const OpcodeRow* row = nullptr;
        std::array<BYTE, kPassBytes> bytes{};
        LONG count = 0;
    };
    Pass Choose(PacketBase& packet) const;
    LONG Act(const Pass& pass, const ref<PacketBase>& packet);
    void Arm();
    void Disarm();
    void CancelRestart();

    std::atomic<BYTE> armed_{0};
    CCriticalSectionEx restart_lock_;  // guards restart_timer_
    ref<TimerBase> restart_timer_;     // made on the first arm command, reused afterwards
};

class DefaultOutgoingFilters : public FilterBase {
  public:
    // Widens the join of a logical packet and recomputes its checksum, then decodes the header;
    // never a match, so it never consumes.
    void Matches(ref<PacketBase> packet, LONG* match) override;
};

class BlockLongFramesExceptMe : public FilterBase {
  public:
    // Long frames (first byte 0xAC).
    void Matches(ref<PacketBase> packet, LONG* match) override;
    // Consumes the frame unless it is addressed to this panel's box (bytes 3 to 5 or 6 to 8 are
    // 0xCF and the box number); without a Global every long frame is consumed.
    void OnMatch(ref<PacketBase> packet, LONG* consumed) override;
};
