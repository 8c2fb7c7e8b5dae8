// Match functions: the area, link-area, join and opcode tests, the length and logical checks,
// and the way a filter calls them.
#include <gtest/gtest.h>

#include "network/match_functions.h"

namespace {

// A packet as a match function sees it: only Count, Logical, Area, Join and Opcode answer.
class FakePacket : public ComObjectRoot<FakePacket, IPacket> {
  public:
    LONG count = 8;
    LONG logical = 1;
    LONG area = 5;
    BYTE join = 0x01;
    BYTE opcode = 0x65;

    HRESULT get_Count(LONG* v) override { return Give(v, count); }
    HRESULT get_Logical(LONG* v) override { return Give(v, logical); }
    HRESULT get_Area(LONG* v) override { return Give(v, area); }
    HRESULT get_Join(BYTE* v) override { return Give(v, join); }
    HRESULT get_Opcode(BYTE* v) override { return Give(v, opcode); }
    HRESULT GetByteEnum(IEnumBYTE** e) override {
        *e = nullptr;
        return E_NOTIMPL;  // as the library's packets do
    }

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT GetDispID(BSTR, DWORD, DISPID*) override { return E_NOTIMPL; }
    HRESULT InvokeEx(DISPID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                     IServiceProvider*) override {
        return E_NOTIMPL;
    }
    HRESULT DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    HRESULT GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
    HRESULT GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
    HRESULT GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }
    HRESULT get_Item(VARIANT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT put_Item(VARIANT, VARIANT) override { return E_NOTIMPL; }
    HRESULT _NewEnum(IUnknown**) override { return E_NOTIMPL; }
    HRESULT Add(VARIANT) override { return E_NOTIMPL; }
    HRESULT Remove(VARIANT) override { return E_NOTIMPL; }
    HRESULT Assign(VARIANT) override { return E_NOTIMPL; }
    HRESULT get_PacketTime(ULONG*) override { return E_NOTIMPL; }
    HRESULT put_PacketTime(ULONG) override { return E_NOTIMPL; }
    HRESULT get_PortNumber(ULONG*) override { return E_NOTIMPL; }
    HRESULT put_PortNumber(ULONG) override { return E_NOTIMPL; }
    HRESULT GetSafeArray(LONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT get_PacketSent(IDispatch**) override { return E_NOTIMPL; }
    HRESULT put_PacketSent(IDispatch*) override { return E_NOTIMPL; }
    HRESULT put_DestinationPorts(ULONG) override { return E_NOTIMPL; }
    HRESULT get_DestinationPorts(ULONG*) override { return E_NOTIMPL; }
    HRESULT QuickDecode() override { return E_NOTIMPL; }
    HRESULT put_Delay(ULONG) override { return E_NOTIMPL; }
    HRESULT get_Delay(ULONG*) override { return E_NOTIMPL; }
    HRESULT put_Logical(LONG) override { return E_NOTIMPL; }
    HRESULT put_Opcode(BYTE) override { return E_NOTIMPL; }
    HRESULT put_Area(LONG) override { return E_NOTIMPL; }
    HRESULT put_Join(BYTE) override { return E_NOTIMPL; }
    HRESULT put_DeviceCode(BYTE) override { return E_NOTIMPL; }
    HRESULT get_DeviceCode(BYTE*) override { return E_NOTIMPL; }
    HRESULT put_BoxNumber(LONG) override { return E_NOTIMPL; }
    HRESULT get_BoxNumber(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Fade(LONG) override { return E_NOTIMPL; }
    HRESULT get_Fade(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Channel(LONG) override { return E_NOTIMPL; }
    HRESULT get_Channel(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Sync(BYTE) override { return E_NOTIMPL; }
    HRESULT get_Sync(BYTE*) override { return E_NOTIMPL; }
    HRESULT put_Block(LONG) override { return E_NOTIMPL; }
    HRESULT get_Block(LONG*) override { return E_NOTIMPL; }

  private:
    template <class T>
    static HRESULT Give(T* out, T value) {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }
};

ComPtr<FakePacket> Packet(LONG area, BYTE join, BYTE opcode) {
    ComPtr<FakePacket> p;
    EXPECT_EQ(MakeComObject(&p), S_OK);
    p->area = area;
    p->join = join;
    p->opcode = opcode;
    return p;
}

// Calls the match object the way a filter calls its MatchesPacket function: the packet as the
// one positional argument and the filter as the named `this`.
LONG FilterCall(IDispatch* match, FakePacket* packet) {
    CComVariant args[2];
    args[0] = CComVariant(static_cast<IDispatch*>(match));  // any object stands for the filter
    args[1] = CComVariant(static_cast<IDispatch*>(packet));
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

ComPtr<IDispatch> AreaLinkJoin(LONG bla, LONG area, LONG join, BYTE oc) {
    ComPtr<IDispatch> m;
    EXPECT_EQ(CMatchFunctionLogicalAreaLinkJoin::Create(bla, area, join, oc, m.put()), S_OK);
    return m;
}

TEST(MatchFunctionsTest, AreaJoinMatchesItsAreaOrAreaZeroWithAnOverlappingJoin) {
    auto m = AreaJoin(5, 0xFF, 0x65);
    EXPECT_EQ(FilterCall(m.get(), Packet(5, 0x01, 0x65).get()), 1);
    EXPECT_EQ(FilterCall(m.get(), Packet(5, 0x80, 0x65).get()), 1);
    EXPECT_EQ(FilterCall(m.get(), Packet(0, 0x10, 0x65).get()), 1);
    EXPECT_EQ(FilterCall(m.get(), Packet(6, 0x01, 0x65).get()), 0);
    EXPECT_EQ(FilterCall(m.get(), Packet(5, 0x01, 0x66).get()), 0);
    EXPECT_EQ(FilterCall(m.get(), Packet(5, 0x00, 0x65).get()), 0);
    // Only the low byte of the join is the mask.
    auto low = AreaJoin(5, 0x101, 0x65);
    EXPECT_EQ(FilterCall(low.get(), Packet(5, 0x01, 0x65).get()), 1);
    EXPECT_EQ(FilterCall(low.get(), Packet(5, 0xFE, 0x65).get()), 0);
    // A mask of 0 matches nothing.
    EXPECT_EQ(FilterCall(AreaJoin(5, 0x100, 0x65).get(), Packet(5, 0xFF, 0x65).get()), 0);
}

TEST(MatchFunctionsTest, AreaLinkJoinAlsoMatchesTheBaseLinkArea) {
    auto m = AreaLinkJoin(1, 5, 0x01, 0x60);
    for (LONG area : {1, 5, 0})
        EXPECT_EQ(FilterCall(m.get(), Packet(area, 0x03, 0x60).get()), 1) << area;
    EXPECT_EQ(FilterCall(m.get(), Packet(2, 0x01, 0x60).get()), 0);
    EXPECT_EQ(FilterCall(m.get(), Packet(5, 0x02, 0x60).get()), 0);
    EXPECT_EQ(FilterCall(m.get(), Packet(1, 0x01, 0x61).get()), 0);
}

TEST(MatchFunctionsTest, ShortAndPhysicalPacketsNeverMatch) {
    auto m = AreaJoin(5, 0xFF, 0x65);
    auto physical = Packet(5, 0x01, 0x65);
    physical->logical = 0;
    EXPECT_EQ(FilterCall(m.get(), physical.get()), 0);
    auto short_packet = Packet(5, 0x01, 0x65);
    short_packet->count = 6;
    EXPECT_EQ(FilterCall(m.get(), short_packet.get()), 0);
    short_packet->count = 7;
    EXPECT_EQ(FilterCall(m.get(), short_packet.get()), 1);

    ComPtr<_IMatchPacket> typed;
    ASSERT_EQ(m->QueryInterface(typed.put()), S_OK);
    LONG result = 7;
    EXPECT_EQ(typed->Match(nullptr, nullptr, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(typed->Match(physical.get(), nullptr, nullptr), E_POINTER);
}

TEST(MatchFunctionsTest, OnlyTheDefaultMemberCanBeCalled) {
    auto m = AreaJoin(5, 0xFF, 0x65);
    auto packet = Packet(5, 0x01, 0x65);
    CComVariant arg(static_cast<IDispatch*>(packet.get()));
    CComVariant self(static_cast<IDispatch*>(m.get()));
    VARIANT args[2] = {self, arg};
    DISPPARAMS params{args, nullptr, 2, 0};
    CComVariant result;
    EXPECT_EQ(m->Invoke(1, IID_NULL, 0x400, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Matches")};
    DISPID id = 0;
    EXPECT_EQ(m->GetIDsOfNames(IID_NULL, names, 1, 0x400, &id), DISP_E_UNKNOWNNAME);
    // Plain positional arguments work as well.
    ASSERT_EQ(m->Invoke(DISPID_VALUE, IID_NULL, 0x400, DISPATCH_METHOD, &params, &result, nullptr,
                        nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 1);
    EXPECT_EQ(CMatchFunctionLogicalAreaJoin::Create(1, 1, 1, nullptr), E_POINTER);
    EXPECT_EQ(CMatchFunctionLogicalAreaLinkJoin::Create(1, 1, 1, 1, nullptr), E_POINTER);
}

}  // namespace
