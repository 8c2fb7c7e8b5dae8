#include "network/packet_base.h"

#include "global/global.h"
#include "module/module.h"

DWORD CurrentPacketDelay() {
    // The current Global is cleared under the module lock before it goes away, so reading it
    // under that lock is safe from any thread.
    CMyComModule& module = TheModule();
    CScopedLock lock(module.critical_section());
    if (module.current_global) return static_cast<DWORD>(module.current_global->PacketDelay());
    return kDefaultPacketDelay;
}

PacketBase::PacketBase() {
    Reset();
}

PacketBase::~PacketBase() = default;

void PacketBase::Reset() {
    PortNumber = 0xFFFFFFFF;
    DestinationPorts = 3;
    PacketTime = 0;
    Delay = CurrentPacketDelay();
    ScriptObject = nullptr;
    Listener = nullptr;
    Decoded.ClearFields();
}

void PacketBase::OnSent() {
    if (Listener) Listener->OnPacketSent(*this);
}

void PacketBase::DecodeHeader() {
    Decoded.ClearFields();
    BYTE bytes[32];
    if (CopyBytes(bytes, sizeof bytes) < 7) return;
    switch (bytes[0]) {
        case kLogicalPacket:
            Decoded.Set(DecodedPacket::kLogical, 1);
            Decoded.Set(DecodedPacket::kArea, bytes[1]);
            Decoded.Set(DecodedPacket::kJoin, bytes[6]);
            Decoded.Set(DecodedPacket::kOpcode, bytes[3]);
            break;
        case kPhysicalPacket:
            Decoded.Set(DecodedPacket::kLogical, 0);
            Decoded.Set(DecodedPacket::kDeviceCode, bytes[1]);
            Decoded.Set(DecodedPacket::kBoxNumber, bytes[2]);
            Decoded.Set(DecodedPacket::kOpcode, bytes[3]);
            break;
        case kBlockPacket:
            Decoded.Set(DecodedPacket::kLogical, 0);
            Decoded.Set(DecodedPacket::kBlock, 1);
            break;
        default:
            break;
    }
}

void PacketBase::MarkSent(DWORD port_mask, DWORD tick) {
    PortNumber = port_mask;
    PacketTime = tick;
    OnSent();
}
