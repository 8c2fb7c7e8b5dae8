// Class identifiers of the library's creatable classes. Fixed for good: registrations and
// hosts refer to them.
#pragma once

#include "interfaces/ids.h"

inline constexpr CLSID CLSID_Packet = brevanto_ids::Make(0xC1);
inline constexpr CLSID CLSID_PacketFilter = brevanto_ids::Make(0xC2);
inline constexpr CLSID CLSID_PacketWithResponse = brevanto_ids::Make(0xC3);
inline constexpr CLSID CLSID_Schedule = brevanto_ids::Make(0xC4);
inline constexpr CLSID CLSID_PublicHoliday = brevanto_ids::Make(0xC5);
inline constexpr CLSID CLSID_Timer = brevanto_ids::Make(0xC6);
inline constexpr CLSID CLSID_Global = brevanto_ids::Make(0xC7);
// The security object is reached through Global.Security; its class is registered on its own
// as well.
inline constexpr CLSID CLSID_HxSecurity = brevanto_ids::Make(0xC8);

// The platform's published component categories.
inline constexpr GUID CATID_SafeForScripting{
    0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
inline constexpr GUID CATID_SafeForInitializing{
    0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
