// The match functions that filters call as their MatchesPacket.
#include "network/match_functions.h"

#include <gtest/gtest.h>

#include "network/packet_object.h"
#include "support/late_bound.h"
#include "support/script_doubles.h"

namespace {

// A packet of `count` bytes whose header fields say what a match function reads.
ComPtr<CPacketOb> Packet(LONG area, BYTE join, BYTE opcode, LONG logical = 1, int count = 8) {
    auto p = New<CPacketOb>();
    p->Packet()->Resize(count, 0);
    p->put_Logical(logical);
    if (logical) {
        p->put_Area(area);
        p->put_Join(join);
    }
    p->put_Opcode(opcode);
    return p;
}

// Calls the match object the way a filter calls its MatchesPacket function: the packet as the
// one positional argument and the filter as the named `this`.
LONG FilterCall(IDispatch* match, CPacketOb* packet) {
    CComVariant args[2];
    args[0] = CComVariant(match);  // any object stands for the filter
    args[1] = AsVariant(packet->GetUnknown());
    DISPID named = DISPID_THIS;
    DISPPARAMS params{args, &named, 2, 1};
    CComVariant result;
    EXPECT_EQ(match->Invoke(DISPID_VALUE, IID_NULL, 0x400, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                            &params, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    return result.lVal;
}

ComPtr<IDispatch> AreaJoin(LONG area, LONG join, BYTE oc) {
    ComPtr<IDispatch> m;
    EXPECT_EQ(CMatchFunctionLogicalAreaJoin::Create(area, join, oc, m.put()), S_OK);
    return m;
}

TEST(MatchFunctionsTest, AreaOrAreaZeroOrTheLinkAreaWithAnOverlappingJoinAndTheOpcodeMatch) {
    const auto area5 = AreaJoin(5, 0xFF, 0x65);
    const auto low_byte = AreaJoin(5, 0x101, 0x65);  // only the low byte of the join is the mask
    const auto no_mask = AreaJoin(5, 0x100, 0x65);   // a mask of 0 matches nothing
    ComPtr<IDispatch> link1;                         // link area 1 for area 5
    ASSERT_EQ(CMatchFunctionLogicalAreaLinkJoin::Create(1, 5, 0x01, 0x60, link1.put()), S_OK);
    const struct {
        const char* what;
        IDispatch* match;
        ComPtr<CPacketOb> packet;
        LONG matches;
    } cases[] = {
        {"its area", area5.get(), Packet(5, 0x01, 0x65), 1},
        {"another join bit", area5.get(), Packet(5, 0x80, 0x65), 1},
        {"area 0", area5.get(), Packet(0, 0x10, 0x65), 1},
        {"another area", area5.get(), Packet(6, 0x01, 0x65), 0},
        {"another opcode", area5.get(), Packet(5, 0x01, 0x66), 0},
        {"join 0", area5.get(), Packet(5, 0x00, 0x65), 0},
        {"physical", area5.get(), Packet(5, 0x01, 0x65, 0), 0},
        {"six bytes", area5.get(), Packet(5, 0x01, 0x65, 1, 6), 0},
        {"seven bytes", area5.get(), Packet(5, 0x01, 0x65, 1, 7), 1},
        {"low byte overlaps", low_byte.get(), Packet(5, 0x01, 0x65), 1},
        {"low byte apart", low_byte.get(), Packet(5, 0xFE, 0x65), 0},
        {"mask 0", no_mask.get(), Packet(5, 0xFF, 0x65), 0},
        {"link area", link1.get(), Packet(1, 0x03, 0x60), 1},
        {"link: its area", link1.get(), Packet(5, 0x03, 0x60), 1},
        {"link: area 0", link1.get(), Packet(0, 0x03, 0x60), 1},
        {"link: another area", link1.get(), Packet(2, 0x01, 0x60), 0},
        {"link: join apart", link1.get(), Packet(5, 0x02, 0x60), 0},
        {"link: another opcode", link1.get(), Packet(1, 0x01, 0x61), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FilterCall(c.match, c.packet.get()), c.matches) << c.what;

    // The typed match checks its arguments, and only the default member is called.
    ComPtr<_IMatchPacket> typed;
    ASSERT_EQ(area5->QueryInterface(typed.put()), S_OK);
    LONG result = 7;
    EXPECT_EQ(typed->Match(nullptr, nullptr, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(typed->Match(Packet(5, 1, 0x65).get(), nullptr, nullptr), E_POINTER);
    EXPECT_EQ(CMatchFunctionLogicalAreaJoin::Create(1, 1, 1, nullptr), E_POINTER);
    EXPECT_EQ(CMatchFunctionLogicalAreaLinkJoin::Create(1, 1, 1, 1, nullptr), E_POINTER);

    // Plain positional arguments work as well: the packet, then the filter.
    const std::vector<CComVariant> args{AsVariant(cases[0].packet->GetUnknown()),
                                        CComVariant(area5.get())};
    CComVariant matched;
    EXPECT_EQ(Call(area5.get(), 1, DISPATCH_METHOD, args, &matched), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(LookUp(area5.get(), u"Matches"), DISP_E_UNKNOWNNAME);
    ASSERT_EQ(Call(area5.get(), DISPID_VALUE, DISPATCH_METHOD, args, &matched), S_OK);
    EXPECT_EQ(matched.lVal, 1);
}

}  // namespace
