#include "module/object_map.h"

#include "global/global.h"
#include "network/filter_object.h"
#include "network/packet_object.h"
#include "network/packet_with_response_object.h"
#include "runtime/script_timer.h"
#include "scheduler/public_holiday.h"
#include "scheduler/schedule.h"
#include "security/security_object.h"

namespace {

// The creatable classes, in this order: Packet, PacketFilter, PacketWithResponse, Schedule,
// PublicHoliday, Timer, Global. A class joins the table with one line when it exists, e.g.
//   ObjectEntry<CPacketOb>(CLSID_Packet, u"Brevanto.Packet.1", u"Brevanto.Packet",
//                          u"Packet Class", kSafeForScriptingAndInitializing),
const ObjectMapEntry kObjectMap[] = {
    ObjectEntry<CPacketOb>(CLSID_Packet, u"Brevanto.Packet.1", u"Brevanto.Packet", u"Packet Class",
                           kSafeForScriptingAndInitializing),
    ObjectEntry<CPacketFilter>(CLSID_PacketFilter, u"Brevanto.PacketFilter.1",
                               u"Brevanto.PacketFilter", u"PacketFilter Class",
                               kSafeForScriptingAndInitializing),
    ObjectEntry<CPacketWithResponse>(CLSID_PacketWithResponse, u"Brevanto.PacketWithResponse.1",
                                     u"Brevanto.PacketWithResponse", u"PacketWithResponse Class",
                                     kSafeForScriptingAndInitializing),
    ObjectEntry<CSchedule>(CLSID_Schedule, u"Brevanto.Schedule.1", u"Brevanto.Schedule",
                           u"Schedule Class", kSafeForScriptingAndInitializing),
    ObjectEntry<CPublicHoliday>(CLSID_PublicHoliday, u"Brevanto.PublicHoliday.1",
                                u"Brevanto.PublicHoliday", u"PublicHoliday Class",
                                kSafeForScriptingAndInitializing),
    ObjectEntry<CTimer>(CLSID_Timer, u"Brevanto.Timer.1", u"Brevanto.Timer", u"Timer Class",
                        kSafeForScriptingAndInitializing),
    ObjectEntry<CGlobal>(CLSID_Global, u"Brevanto.Global.1", u"Brevanto.Global", u"Global Class"),
    ApartmentObjectEntry<CSecurityOb>(CLSID_HxSecurity, u"Halcyd.HxSecurity.1",
                                      u"Halcyd.HxSecurity", u"HxSecurity Class"),
    kObjectMapEnd,
};

}  // namespace

const ObjectMapEntry* BrevantoObjectMap() {
    return kObjectMap;
}
