// The packet behind a Packet script object, and every received or looped-back packet.
#pragma once

#include "network/packet_base.h"
#include "platform/comptr.h"

class COMPacket : public PacketBase {
  public:
    // After the listener, calls the PacketSent script function (if set) with the packet's
    // script object; its result is ignored.
    void OnSent() override;

    // GAP: held as a plain reference until the cross-thread holder lands; it must become a
    // CComGITPtr2<IDispatch>, because OnSent runs on the port's thread.
    ComPtr<IDispatch> PacketSent;
};
