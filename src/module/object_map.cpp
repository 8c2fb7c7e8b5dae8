#include "module/object_map.h"

#include "global/global.h"

namespace {

// The creatable classes, in this order: Packet, PacketFilter, PacketWithResponse, Schedule,
// PublicHoliday, Timer, Global. A class joins the table with one line when it exists, e.g.
//   ObjectEntry<CPacketOb>(CLSID_Packet, u"Brevanto.Packet.1", u"Brevanto.Packet",
//                          u"Packet Class", kSafeForScriptingAndInitializing),
const ObjectMapEntry kObjectMap[] = {
    ObjectEntry<CGlobal>(CLSID_Global, u"Brevanto.Global.1", u"Brevanto.Global", u"Global Class"),
    kObjectMapEnd,
};

}  // namespace

const ObjectMapEntry* BrevantoObjectMap() {
    return kObjectMap;
}
