// The packet behind a Packet script object, and every received or looped-back packet.
#pragma once

#include "network/packet_base.h"
#include "platform/git_ptr.h"

class COMPacket : public PacketBase {
  public:
    // After the listener, calls the PacketSent script function (if set) with the packet's
    // script object as the one argument; its result is ignored.
    void OnSent() override;

    // Kept in the global interface table: OnSent runs on the port's thread, and the call goes
    // to the script's own thread.
    CComGITPtr2<IDispatch> PacketSent;
};
