#include "network/com_packet.h"

#include "network/call_packet_function.h"
#include "network/packet_object.h"

void COMPacket::OnSent() {
    PacketBase::OnSent();
    if (!PacketSent) return;
    // The packet's script object, made now if no callback has made one yet.
    ComPtr<IDispatch> object;
    if (FAILED(GetPacketScriptObject(this, object.put()))) return;
    // When this call made the object, its release afterwards also drops PacketSent.
    CallPacketFunction(object.get(), nullptr, PacketSent);
}
