// The default packets: one-call lighting commands (select a preset, ask for the current preset,
// set and ask for a channel level), addressed logically (area and join) or physically (device
// code and box number). Each call turns its arguments into one 8-byte frame and hands it to a
// sender (the network handler's internal send, so it passes both chains like any other packet).
#pragma once

#include <array>
#include <functional>

#include "network/com_filter_with_response.h"
#include "platform/lock.h"
#include "platform/variant.h"

// What the default packets are sent with unless a call says otherwise; read from the
// configuration when the host application is attached.
struct PacketDefaults {
    static constexpr ULONG kFade = 2000;       // ms
    static constexpr ULONG kPacketDelay = 50;  // ms
    ULONG logical_fade = kFade;
    ULONG physical_fade = kFade;
    ULONG packet_delay = kPacketDelay;
};

// The seven bytes of a frame and its checksum.
using DefaultFrame = std::array<BYTE, 8>;

// The frames, from arguments already converted to their types. Fades are in ms; the frames carry
// them in units of 20 ms.
namespace default_frames {
// Every join of an area.
inline constexpr BYTE kAllJoins = 0xFF;
// A level request waits this long on the wire whatever the configured delay.
inline constexpr DWORD kLevelRequestDelay = 50;

DefaultFrame Preset(BYTE area, BYTE join, LONG preset, LONG fade_ms);
DefaultFrame PresetRequest(BYTE area, BYTE join);
DefaultFrame LogicalLevel(BYTE area, BYTE join, LONG fade_ms, LONG channel, LONG value);
DefaultFrame LogicalLevelRequest(BYTE area, BYTE join, LONG channel);
DefaultFrame PhysicalLevel(BYTE device_code, BYTE box_number, USHORT fade_ms, BYTE channel,
                           BYTE value);
DefaultFrame PhysicalLevelRequest(BYTE device_code, BYTE box_number, BYTE channel);
// The pattern of the "Preset" report (0x62) that answers PresetRequest(area, join).
FilterBase::Pattern PresetReportPattern(BYTE area, BYTE join);
}  // namespace default_frames

// A preset request that repeats itself until its area and join report their preset: a packet
// with response with the request as its packet and the report as its reply pattern, and no
// script functions, so the report goes on to the later incoming filters.
class RetryPresetPacket : public COMFilterWithResponse {
  public:
    // Made and reset: ready to send.
    static ref<RetryPresetPacket> Create(BYTE area, BYTE join, LONG retry_delay_ms);

    // After the packet with response's reset: the request's bytes and the report's pattern.
    void Reset() override;

    const BYTE Area;
    const BYTE Join;

  private:
    RetryPresetPacket(BYTE area, BYTE join, LONG retry_delay_ms);
};

// The six calls over script arguments. An argument that is VT_EMPTY, VT_NULL or VT_ERROR (left
// out) takes its default where it has one; each is then converted to its type, and one that does
// not convert counts as 0. Every call answers S_OK whatever happens to the packet.
class DefaultPacketsImpl {
  public:
    using Sender = std::function<void(ref<PacketBase>)>;

    explicit DefaultPacketsImpl(Sender send);

    PacketDefaults Settings() const;
    void SetSettings(const PacketDefaults& settings);

    HRESULT SendPreset(VARIANT Area, VARIANT Join, VARIANT Preset, VARIANT Fade);
    // Without a RetryDelay (or with 0), one request; with one, a RetryPresetPacket.
    HRESULT RequestCurrentPreset(VARIANT Area, VARIANT Join, VARIANT RetryDelay);
    HRESULT SetLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Fade, VARIANT Channel,
                            VARIANT Value);
    HRESULT RequestLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Channel);
    HRESULT SetPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Fade, VARIANT Channel, VARIANT Value);
    HRESULT RequestPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Channel);

  private:
    void Send(const DefaultFrame& frame, DWORD delay);

    Sender send_;
    mutable CCriticalSectionEx lock_;  // guards settings_
    PacketDefaults settings_;
};
