#include "network/packet_base.h"

DWORD CurrentPacketDelay() {
    CurrentGlobal::Hold global = CurrentGlobal::Get();
    if (auto* network = global.As<NetworkServices>())
        return static_cast<DWORD>(network->PacketDelay());
    return kPacketDelayWithoutGlobal;
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

void PacketBase::MarkDiscarded(DWORD port_mask) {
    if (Listener) Listener->OnPacketDiscarded(*this, port_mask);
}
