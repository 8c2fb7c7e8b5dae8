#include "network/default_packets.h"

#include <optional>
#include <utility>

#include "network/com_packet.h"
#include "platform/boundary.h"

namespace {

constexpr BYTE kPresetOpcode = 0x00;  // presets 1 to 4 of a bank; 5 to 8 follow at 0x0A
constexpr BYTE kUpperPresetsOffset = 6;
constexpr BYTE kPresetReport = 0x62;
constexpr BYTE kPresetRequest = 0x63;
constexpr BYTE kLevelRequest = 0x61;
constexpr BYTE kLevelOpcode = 0x80;  // plus the channel's place in its bank of 4
constexpr BYTE kPhysicalLevelRequest = 0x91;
constexpr BYTE kPhysicalLevel = 0x92;
constexpr LONG kMsPerFadeUnit = 20;
constexpr BYTE kNoBank = 0xFF;  // channels 1 to 4

BYTE Low(LONG value) {
    return static_cast<BYTE>(value & 0xFF);
}

DefaultFrame WithChecksum(DefaultFrame frame) {
    frame[7] = PacketChecksum(frame.data());
    return frame;
}

// How script arguments become the fields' types.
template <class T>
struct ArgumentType;
template <>
struct ArgumentType<BYTE> {
    static constexpr VARTYPE kType = VT_UI1;
    static BYTE Read(const VARIANT& v) { return v.bVal; }
};
template <>
struct ArgumentType<USHORT> {
    static constexpr VARTYPE kType = VT_UI2;
    static USHORT Read(const VARIANT& v) { return v.uiVal; }
};
template <>
struct ArgumentType<LONG> {
    static constexpr VARTYPE kType = VT_I4;
    static LONG Read(const VARIANT& v) { return v.lVal; }
};

bool LeftOut(const VARIANT& argument) {
    return argument.vt == VT_EMPTY || argument.vt == VT_NULL || argument.vt == VT_ERROR;
}

// The argument as a T: the default when it was left out and has one, else its conversion; a
// value that does not convert counts as 0. The caller's variant is not touched.
template <class T>
T Argument(const VARIANT& argument, std::optional<T> fallback = std::nullopt) {
    if (fallback && LeftOut(argument)) return *fallback;
    CComVariant converted;
    if (FAILED(VariantChangeType(&converted, &argument, 0, ArgumentType<T>::kType))) return 0;
    return ArgumentType<T>::Read(converted);
}

// Every call answers S_OK: a packet that cannot be made (out of memory) is simply not sent.
template <class Body>
HRESULT WhateverHappens(Body&& body) {
    StatusOf(std::forward<Body>(body));
    return S_OK;
}

BYTE JoinArgument(const VARIANT& argument) {
    return Argument<BYTE>(argument, default_frames::kAllJoins);
}

}  // namespace

// ---- The frames ----

namespace default_frames {

DefaultFrame Preset(BYTE area, BYTE join, LONG preset, LONG fade_ms) {
    const LONG units = fade_ms / kMsPerFadeUnit;
    const LONG from_zero = WrappingDifference(preset, 1);
    const LONG place = from_zero % 8;  // negative for presets below 1, as the bank is
    const LONG opcode = place < 4 ? kPresetOpcode + place : place + kUpperPresetsOffset;
    const LONG bank = from_zero >> 3;
    return WithChecksum(
        {kLogicalPacket, area, Low(units), Low(opcode), Low(units >> 8), Low(bank), join, 0});
}

DefaultFrame PresetRequest(BYTE area, BYTE join) {
    return WithChecksum({kLogicalPacket, area, 0, kPresetRequest, 0, 0, join, 0});
}

DefaultFrame LogicalLevel(BYTE area, BYTE join, LONG fade_ms, LONG channel, LONG value) {
    const LONG from_zero = WrappingDifference(channel, 1);
    const LONG bank = (from_zero >> 2) - 1;
    return WithChecksum({kLogicalPacket, area, Low(WrappingDifference(255, value)),
                         Low(kLevelOpcode + from_zero % 4), bank < 0 ? kNoBank : Low(bank),
                         Low(fade_ms / kMsPerFadeUnit), join, 0});
}

DefaultFrame LogicalLevelRequest(BYTE area, BYTE join, LONG channel) {
    return WithChecksum(
        {kLogicalPacket, area, Low(WrappingDifference(channel, 1)), kLevelRequest, 0, 0, join, 0});
}

DefaultFrame PhysicalLevel(BYTE device_code, BYTE box_number, USHORT fade_ms, BYTE channel,
                           BYTE value) {
    return WithChecksum({kPhysicalPacket, device_code, box_number, kPhysicalLevel, channel, value,
                         Low(fade_ms / kMsPerFadeUnit), 0});
}

DefaultFrame PhysicalLevelRequest(BYTE device_code, BYTE box_number, BYTE channel) {
    return WithChecksum(
        {kPhysicalPacket, device_code, box_number, kPhysicalLevelRequest, channel, 0, 0, 0});
}

FilterBase::Pattern PresetReportPattern(BYTE area, BYTE join) {
    constexpr WORD kAny = FilterBase::kAnyByte;
    return {kLogicalPacket, area, kAny, kPresetReport, kAny, kAny, join, kAny};
}

}  // namespace default_frames

// ---- RetryPresetPacket ----

RetryPresetPacket::RetryPresetPacket(BYTE area, BYTE join, LONG retry_delay_ms)
    : COMFilterWithResponse(kDefaultRetries, retry_delay_ms), Area(area), Join(join) {}

ref<RetryPresetPacket> RetryPresetPacket::Create(BYTE area, BYTE join, LONG retry_delay_ms) {
    ref<RetryPresetPacket> packet(new RetryPresetPacket(area, join, retry_delay_ms));
    packet->Reset();
    return packet;
}

void RetryPresetPacket::Reset() {
    COMFilterWithResponse::Reset();
    const DefaultFrame frame = default_frames::PresetRequest(Area, Join);
    AssignBytes(frame.data(), frame.size());
    SetPattern(default_frames::PresetReportPattern(Area, Join));
}

// ---- DefaultPacketsImpl ----

DefaultPacketsImpl::DefaultPacketsImpl(Sender send) : send_(std::move(send)) {}

PacketDefaults DefaultPacketsImpl::Settings() const {
    CScopedLock lock(lock_);
    return settings_;
}

void DefaultPacketsImpl::SetSettings(const PacketDefaults& settings) {
    CScopedLock lock(lock_);
    settings_ = settings;
}

void DefaultPacketsImpl::Send(const DefaultFrame& frame, DWORD delay) {
    ref<PacketBase> packet(new COMPacket);
    packet->AssignBytes(frame.data(), frame.size());
    packet->Delay = delay;
    if (send_) send_(std::move(packet));
}

HRESULT DefaultPacketsImpl::SendPreset(VARIANT Area, VARIANT Join, VARIANT Preset, VARIANT Fade) {
    return WhateverHappens([&] {
        const PacketDefaults settings = Settings();
        Send(
            default_frames::Preset(Argument<BYTE>(Area), JoinArgument(Join), Argument<LONG>(Preset),
                                   Argument<LONG>(Fade, static_cast<LONG>(settings.logical_fade))),
            settings.packet_delay);
    });
}

HRESULT DefaultPacketsImpl::RequestCurrentPreset(VARIANT Area, VARIANT Join, VARIANT RetryDelay) {
    return WhateverHappens([&] {
        const BYTE area = Argument<BYTE>(Area);
        const BYTE join = JoinArgument(Join);
        const LONG retry_delay = Argument<LONG>(RetryDelay, 0);
        if (retry_delay != 0) {
            if (send_) send_(RetryPresetPacket::Create(area, join, retry_delay));
            return;
        }
        Send(default_frames::PresetRequest(area, join), Settings().packet_delay);
    });
}

HRESULT DefaultPacketsImpl::SetLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Fade,
                                            VARIANT Channel, VARIANT Value) {
    return WhateverHappens([&] {
        const PacketDefaults settings = Settings();
        Send(default_frames::LogicalLevel(
                 Argument<BYTE>(Area), JoinArgument(Join),
                 Argument<LONG>(Fade, static_cast<LONG>(settings.logical_fade)),
                 Argument<LONG>(Channel), Argument<LONG>(Value)),
             settings.packet_delay);
    });
}

HRESULT DefaultPacketsImpl::RequestLogicalLevel(VARIANT Area, VARIANT Join, VARIANT Channel) {
    return WhateverHappens([&] {
        Send(default_frames::LogicalLevelRequest(Argument<BYTE>(Area), JoinArgument(Join),
                                                 Argument<LONG>(Channel)),
             default_frames::kLevelRequestDelay);
    });
}

HRESULT DefaultPacketsImpl::SetPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Fade, VARIANT Channel,
                                             VARIANT Value) {
    return WhateverHappens([&] {
        const PacketDefaults settings = Settings();
        Send(default_frames::PhysicalLevel(
                 Argument<BYTE>(DC), Argument<BYTE>(BN),
                 Argument<USHORT>(Fade, static_cast<USHORT>(settings.physical_fade)),
                 Argument<BYTE>(Channel), Argument<BYTE>(Value)),
             settings.packet_delay);
    });
}

HRESULT DefaultPacketsImpl::RequestPhysicalLevel(VARIANT DC, VARIANT BN, VARIANT Channel) {
    return WhateverHappens([&] {
        Send(default_frames::PhysicalLevelRequest(Argument<BYTE>(DC), Argument<BYTE>(BN),
                                                  Argument<BYTE>(Channel)),
             Settings().packet_delay);
    });
}
