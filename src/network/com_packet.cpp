#include "network/com_packet.h"

#include "dispatch/script_call.h"

void COMPacket::OnSent() {
    PacketBase::OnSent();
    // A packet whose PacketSent was set by script has its script object; without one there is
    // nothing to pass.
    if (!PacketSent || !ScriptObject) return;
    ComPtr<IDispatch> function = PacketSent.Get();
    if (!function) return;  // the script's apartment has ended
    CComVariant argument(ScriptObject);
    CComVariant result;
    CallScriptFunction(function.get(), argument, &result);
}
