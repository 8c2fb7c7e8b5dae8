#include "interfaces/network.h"

namespace {

constexpr WORD kHidden =
    TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN;

// The packet members, shared by IPacket and IPacketWithResponse (which carries them again in
// its own vtable, without QuickDecode).
template <class I>
std::vector<MemberDesc> PacketMembers() {
    std::vector<MemberDesc> m{
        Get<&I::get_Item>(u"Item", 0x0, {Arg(u"Index")}),
        Put<&I::put_Item>(u"Item", 0x0, {Arg(u"Index"), Arg(u"newVal")}),
        Method<&I::_NewEnum>(u"_NewEnum", DISPID_NEWENUM),
        Get<&I::get_Count>(u"Count", 0x259),
        Method<&I::Add>(u"Add", 0x25a, {Arg(u"Ob")}),
        Method<&I::Remove>(u"Remove", 0x25b, {Arg(u"Index")}),
        Method<&I::Assign>(u"Assign", 0x25c, {Arg(u"Ob")}),
        Get<&I::get_PacketTime>(u"PacketTime", 0x25d),
        Put<&I::put_PacketTime>(u"PacketTime", 0x25d, {Arg(u"newVal")}),
        Get<&I::get_PortNumber>(u"PortNumber", 0x25e),
        Put<&I::put_PortNumber>(u"PortNumber", 0x25e, {Arg(u"newVal")}),
        Method<&I::GetSafeArray>(u"GetSafeArray", 0x25f, {Arg(u"VarType")}),
        Get<&I::get_PacketSent>(u"PacketSent", 0x260),
        Put<&I::put_PacketSent>(u"PacketSent", 0x260, {Arg(u"newVal")}),
        Put<&I::put_DestinationPorts>(u"DestinationPorts", 0x261, {Arg(u"newVal")}),
        Get<&I::get_DestinationPorts>(u"DestinationPorts", 0x261),
        Method<&I::GetByteEnum>(u"GetByteEnum", 0x265),
    };
    if constexpr (std::is_same_v<I, IPacket>)
        m.push_back(Method<&IPacket::QuickDecode>(u"QuickDecode", 0x267));
    std::vector<MemberDesc> fields{
        Put<&I::put_Delay>(u"Delay", 0x268, {Arg(u"newVal")}),
        Get<&I::get_Delay>(u"Delay", 0x268),
        Put<&I::put_Logical>(u"Logical", 0x3e8, {Arg(u"newVal")}),
        Get<&I::get_Logical>(u"Logical", 0x3e8),
        Put<&I::put_Opcode>(u"Opcode", 0x3e9, {Arg(u"newVal")}),
        Get<&I::get_Opcode>(u"Opcode", 0x3e9),
        Put<&I::put_Area>(u"Area", 0x3ea, {Arg(u"newVal")}),
        Get<&I::get_Area>(u"Area", 0x3ea),
        Put<&I::put_Join>(u"Join", 0x3eb, {Arg(u"newVal")}),
        Get<&I::get_Join>(u"Join", 0x3eb),
        Put<&I::put_DeviceCode>(u"DeviceCode", 0x3ec, {Arg(u"newVal")}),
        Get<&I::get_DeviceCode>(u"DeviceCode", 0x3ec),
        Put<&I::put_BoxNumber>(u"BoxNumber", 0x3ed, {Arg(u"newVal")}),
        Get<&I::get_BoxNumber>(u"BoxNumber", 0x3ed),
        Put<&I::put_Fade>(u"Fade", 0x3ee, {Arg(u"newVal")}),
        Get<&I::get_Fade>(u"Fade", 0x3ee),
        Put<&I::put_Channel>(u"Channel", 0x3ef, {Arg(u"newVal")}),
        Get<&I::get_Channel>(u"Channel", 0x3ef),
        Put<&I::put_Sync>(u"Sync", 0x3f0, {Arg(u"newVal")}),
        Get<&I::get_Sync>(u"Sync", 0x3f0),
        Put<&I::put_Block>(u"Block", 0x3f1, {Arg(u"newVal")}),
        Get<&I::get_Block>(u"Block", 0x3f1),
    };
    m.insert(m.end(), std::make_move_iterator(fields.begin()),
             std::make_move_iterator(fields.end()));
    return m;
}

}  // namespace

const InterfaceDesc& IEnumBYTE::Describe() {
    using I = IEnumBYTE;
    static const InterfaceDesc desc(
        u"IEnumBYTE", kIid, nullptr,
        {
            Method<&I::Next>(u"Next", 0x60010000,
                             {Arg(u"celt"), Arg(u"rgelt"), Arg(u"pceltFetched")}),
            Method<&I::Skip>(u"Skip", 0x60010001, {Arg(u"celt")}),
            Method<&I::Reset>(u"Reset", 0x60010002),
            Method<&I::Clone>(u"Clone", 0x60010003),
        },
        TYPEFLAG_FHIDDEN);
    return desc;
}

const InterfaceDesc& IPacket::Describe() {
    static const InterfaceDesc desc(u"IPacket", kIid, nullptr, PacketMembers<IPacket>());
    return desc;
}

const InterfaceDesc& IPacketFilter::Describe() {
    using I = IPacketFilter;
    static const InterfaceDesc desc(
        u"IPacketFilter", kIid, nullptr,
        {
            Get<&I::get_DestroyNow>(u"DestroyNow", 0x2bd),
            Put<&I::put_DestroyNow>(u"DestroyNow", 0x2bd, {Arg(u"newVal")}),
            Get<&I::get_Priority>(u"Priority", 0x2be),
            Put<&I::put_Priority>(u"Priority", 0x2be, {Arg(u"newVal")}),
            Get<&I::get_FilterPacket>(u"FilterPacket", 0x2bf),
            Put<&I::put_FilterPacket>(u"FilterPacket", 0x2bf, {Arg(u"newVal")}),
            Get<&I::get_MatchesPacket>(u"MatchesPacket", 0x2c0),
            Put<&I::put_MatchesPacket>(u"MatchesPacket", 0x2c0, {Arg(u"newVal")}),
            Get<&I::get_OnFilterMatches>(u"OnFilterMatches", 0x2c1),
            Put<&I::put_OnFilterMatches>(u"OnFilterMatches", 0x2c1, {Arg(u"newVal")}),
            Get<&I::get_OnFilterMatchFailed>(u"OnFilterMatchFailed", 0x2c2),
            Put<&I::put_OnFilterMatchFailed>(u"OnFilterMatchFailed", 0x2c2, {Arg(u"newVal")}),
            Get<&I::get_Name>(u"Name", 0x2c3),
            Put<&I::put_Name>(u"Name", 0x2c3, {Arg(u"newVal")}),
            Get<&I::get_Callbacks>(u"Callbacks", 0x2c4),
            Get<&I::get_PacketToMatch>(u"PacketToMatch", 0x2c5),
            Put<&I::put_PacketToMatch>(u"PacketToMatch", 0x2c5, {Arg(u"newVal")}),
            Get<&I::get_Enable>(u"Enable", 0x2c6),
            Put<&I::put_Enable>(u"Enable", 0x2c6, {Arg(u"newVal")}),
        });
    return desc;
}

const InterfaceDesc& IPacketFilters::Describe() {
    using I = IPacketFilters;
    static const InterfaceDesc desc(u"IPacketFilters", kIid, nullptr,
                                    {
                                        Get<&I::get_Count>(u"Count", 0xc9),
                                        Method<&I::Add>(u"Add", I::kDispidAdd, {Arg(u"Ob")}),
                                        Method<&I::Remove>(u"Remove", 0xcb, {Arg(u"Index")}),
                                    });
    return desc;
}

const InterfaceDesc& _IMatchPacket::Describe() {
    static const InterfaceDesc desc(
        u"_IMatchPacket", kIid, nullptr,
        {
            Method<&_IMatchPacket::Match>(u"Match", 0x0, {Arg(u"pPacket"), Arg(u"pThis")}),
        },
        kHidden);
    return desc;
}

const InterfaceDesc& IPacketWithResponse::Describe() {
    using I = IPacketWithResponse;
    static const InterfaceDesc desc = [] {
        std::vector<MemberDesc> m = PacketMembers<I>();
        m.push_back(Get<&I::get_Retries>(u"Retries", 0x2db));
        m.push_back(Put<&I::put_Retries>(u"Retries", 0x2db, {Arg(u"newVal")}));
        m.push_back(Get<&I::get_Timeout>(u"Timeout", 0x2dc));
        m.push_back(Put<&I::put_Timeout>(u"Timeout", 0x2dc, {Arg(u"newVal")}));
        m.push_back(Get<&I::get_OnTimeout>(u"OnTimeout", 0x2df));
        m.push_back(Put<&I::put_OnTimeout>(u"OnTimeout", 0x2df, {Arg(u"newVal")}));
        return InterfaceDesc(u"IPacketWithResponse", kIid, &IPacketFilter::Describe(),
                             std::move(m));
    }();
    return desc;
}

const InterfaceDesc& IDefaultPackets::Describe() {
    using I = IDefaultPackets;
    static const InterfaceDesc desc(
        u"IDefaultPackets", kIid, nullptr,
        {
            Method<&I::SendPreset>(u"SendPreset", I::kFirstDispid,
                                   {Arg(u"Area"), Arg(u"Join"), Arg(u"Preset"), Optional(u"Fade")}),
            Method<&I::RequestCurrentPreset>(u"RequestCurrentPreset", 0x7d1,
                                             {Arg(u"Area"), Arg(u"Join"), Optional(u"RetryDelay")}),
            Method<&I::SetLogicalLevel>(
                u"SetLogicalLevel", 0x7d2,
                {Arg(u"Area"), Arg(u"Join"), Arg(u"Fade"), Arg(u"Channel"), Arg(u"Value")}),
            Method<&I::RequestLogicalLevel>(u"RequestLogicalLevel", 0x7d3,
                                            {Arg(u"Area"), Arg(u"Join"), Arg(u"Channel")}),
            Method<&I::SetPhysicalLevel>(
                u"SetPhysicalLevel", 0x7d4,
                {Arg(u"DC"), Arg(u"BN"), Arg(u"Fade"), Arg(u"Channel"), Arg(u"Value")}),
            Method<&I::RequestPhysicalLevel>(u"RequestPhysicalLevel", 0x7d5,
                                             {Arg(u"DC"), Arg(u"BN"), Arg(u"Channel")}),
        });
    return desc;
}

const InterfaceDesc& IPort::Describe() {
    using I = IPort;
    static const InterfaceDesc desc(
        u"IPort", kIid, nullptr,
        {
            Get<&I::get_PortNumber>(u"PortNumber", 0x65),
            Put<&I::put_PortNumber>(u"PortNumber", 0x65, {Arg(u"newVal")}),
            Method<&I::Open>(u"Open", 0x66),
            Method<&I::Close>(u"Close", 0x67),
            Get<&I::get_InFilters>(u"InFilters", INetworkHandler::kDispidInFilters),
            Get<&I::get_OutFilters>(u"OutFilters", INetworkHandler::kDispidOutFilters),
            Method<&I::SendPacket>(u"SendPacket", 0x322, {Arg(u"pDispatch")}),
        });
    return desc;
}

const InterfaceDesc& _ICPort::Describe() {
    static const InterfaceDesc desc(u"_ICPort", kIid, &IPort::Describe(), {}, kHidden);
    return desc;
}

const InterfaceDesc& INetworkHandler::Describe() {
    using I = INetworkHandler;
    static const InterfaceDesc desc(
        u"INetworkHandler", kIid, nullptr,
        {
            Get<&I::get_Port>(u"Port", 0x386, {Arg(u"PortNum")}),
            Get<&I::get_InFilters>(u"InFilters", INetworkHandler::kDispidInFilters),
            Get<&I::get_OutFilters>(u"OutFilters", INetworkHandler::kDispidOutFilters),
            Method<&I::SendPacket>(u"SendPacket", 0x322, {Arg(u"pDispatch")}),
        });
    return desc;
}

const InterfaceDesc& _ICNetworkHandler::Describe() {
    static const InterfaceDesc desc(u"_ICNetworkHandler", kIid, &INetworkHandler::Describe(), {},
                                    kHidden);
    return desc;
}
