#include "network/com_packet.h"

void COMPacket::OnSent() {
    PacketBase::OnSent();
    // GAP: the call of PacketSent through CallPacketFunction (with ScriptObject as the one
    // argument) is made here once the filter machinery exists; until then a stored function is
    // kept but not called.
}
