// The Packet script object: byte members, Assign, header fields, byte names and named values,
// and the one script object a packet records for its callbacks.
#include <gtest/gtest.h>

#include <vector>

#include "filter_test_fakes.h"
#include "network/packet_object.h"
#include "platform/safearray.h"
#include "support/late_bound.h"

namespace {

using test_fakes::ScriptArray;
using test_fakes::ScriptFunction;

ComPtr<CPacketOb> NewPacket() {
    ComPtr<CPacketOb> p;
    EXPECT_EQ(MakeComObject(&p), S_OK);
    return p;
}

std::vector<BYTE> BytesOf(CPacketOb* p) {
    ref<PacketBase> packet = p->Packet();
    std::vector<BYTE> bytes(static_cast<size_t>(packet->ByteCount()));
    packet->CopyBytes(bytes.data(), static_cast<LONG>(bytes.size()));
    return bytes;
}

void SetBytes(CPacketOb* p, std::vector<BYTE> bytes) {
    p->Packet()->AssignBytes(bytes.data(), bytes.size());
}

CComVariant Object(IUnknown* object) {
    ComPtr<IDispatch> d = ComPtr<IUnknown>(object).As<IDispatch>();
    return CComVariant(d.get());
}

CComVariant SafeArrayOf(VARTYPE vt, const std::vector<CComVariant>& values) {
    SAFEARRAY* array = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
        if (vt == VT_VARIANT) {
            SafeArrayPutElement(array, &i, const_cast<CComVariant*>(&values[i]));
        } else {
            CComVariant v;
            EXPECT_EQ(VariantChangeType(&v, &values[i], 0, vt), S_OK);
            SafeArrayPutElement(array, &i, &v.bVal);
        }
    }
    CComVariant out;
    out.vt = VT_ARRAY | vt;
    out.parray = array;
    return out;
}

CComVariant Text(const char16_t* s) {
    return CComVariant(s);
}

HRESULT Get(IDispatch* d, DISPID id, CComVariant* out) {
    return Call(d, id, DISPATCH_PROPERTYGET, {}, out);
}

HRESULT Put(IDispatch* d, DISPID id, CComVariant value) {
    return Call(d, id, DISPATCH_PROPERTYPUT, {std::move(value)});
}

IDispatch* DispatchOf(CPacketOb* p) {
    return static_cast<IDispatch*>(static_cast<IPacket*>(p));
}

TEST(PacketBytes, ItemPutGrowsWithFFAndKeepsTheLengthOnABadValue) {
    auto p = NewPacket();
    ASSERT_EQ(p->put_Item(CComVariant(LONG{5}), CComVariant(LONG{1})), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

    EXPECT_EQ(p->put_Item(CComVariant(LONG{7}), CComVariant(LONG{300})), E_INVALIDARG);
    EXPECT_EQ(BytesOf(p.get()).size(), 8u);  // grown before the value was refused
    EXPECT_EQ(BytesOf(p.get())[7], 0xFF);

    // Indices are numbers: "2" converts, text and empty do not.
    ASSERT_EQ(p->put_Item(Text(u"2"), CComVariant(LONG{0x42})), S_OK);
    CComVariant v;
    ASSERT_EQ(p->get_Item(CComVariant(LONG{2}), &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI1);
    EXPECT_EQ(v.bVal, 0x42);
    EXPECT_EQ(p->get_Item(Text(u"two"), &v), E_INVALIDARG);
    EXPECT_EQ(p->get_Item(CComVariant(), &v), E_INVALIDARG);
    EXPECT_EQ(p->get_Item(CComVariant(LONG{8}), &v), E_INVALIDARG);  // at Count
    EXPECT_EQ(p->get_Item(CComVariant(LONG{0}), nullptr), E_POINTER);
}

TEST(PacketBytes, NegativeAndHugeIndicesAreRefusedWithoutChange) {
    auto p = NewPacket();
    SetBytes(p.get(), {1, 2, 3});
    CComVariant v;
    EXPECT_EQ(p->get_Item(CComVariant(LONG{-1}), &v), E_INVALIDARG);
    EXPECT_EQ(p->put_Item(CComVariant(LONG{-1}), CComVariant(LONG{9})), E_INVALIDARG);
    EXPECT_EQ(p->Remove(CComVariant(LONG{-1})), E_INVALIDARG);
    EXPECT_EQ(p->Remove(CComVariant(LONG{3})), E_INVALIDARG);
    EXPECT_EQ(p->put_Item(CComVariant(LONG{0x7FFFFFFF}), CComVariant(LONG{9})), E_INVALIDARG);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{1, 2, 3}));
}

TEST(PacketBytes, AddAppendsBytesAndRemoveShiftsTheRest) {
    auto p = NewPacket();
    EXPECT_EQ(p->Add(CComVariant(LONG{0x1C})), S_OK);
    EXPECT_EQ(p->Add(Text(u"255")), S_OK);
    EXPECT_EQ(p->Add(CComVariant(LONG{256})), E_INVALIDARG);
    EXPECT_EQ(p->Add(Text(u"x")), E_INVALIDARG);
    EXPECT_EQ(p->Add(CComVariant(LONG{7})), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0x1C, 0xFF, 7}));
    EXPECT_EQ(p->Remove(CComVariant(LONG{1})), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0x1C, 7}));
    LONG count = 0;
    EXPECT_EQ(p->get_Count(&count), S_OK);
    EXPECT_EQ(count, 2);
}

TEST(PacketAssign, SevenBytesFromAScriptArrayGetTheChecksumButNotFromASafeArray) {
    const std::vector<int> frame{0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF};
    auto p = NewPacket();
    auto array = ScriptArray::Bytes(frame);
    ASSERT_EQ(p->Assign(Object(array->GetUnknown())), S_OK);
    EXPECT_EQ(BytesOf(p.get()),
              (std::vector<BYTE>{0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF, 0x99}));

    std::vector<CComVariant> values;
    for (int b : frame)
        values.emplace_back(LONG{b});
    ASSERT_EQ(p->Assign(SafeArrayOf(VT_UI1, values)), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}));
    ASSERT_EQ(p->Assign(SafeArrayOf(VT_VARIANT, values)), S_OK);
    EXPECT_EQ(BytesOf(p.get()).size(), 7u);
}

TEST(PacketAssign, SafeArraysGiveTheirFirstDimensionWhateverTheirBounds) {
    struct Case {
        std::vector<SAFEARRAYBOUND> bounds;  // leftmost dimension first
        size_t bytes;
    } cases[] = {
        {{{3, 0}, {2, 0}}, 3},           // the first dimension of a 3 x 2 array
        {{{0x7FFFFFFF, 0}, {0, 0}}, 0},  // an empty dimension: no element at all
        {{{4, 0x7FFFFFFE}}, 4},          // indices beyond the largest LONG
        {{{0xFFFFFFFF, -0x7FFFFFFF - 1}, {0, 0}}, 0},
    };
    auto p = NewPacket();
    for (VARTYPE vt : {VT_UI1, VT_VARIANT}) {
        for (const Case& c : cases) {
            CComVariant array;
            array.parray = SafeArrayCreate(vt, static_cast<UINT>(c.bounds.size()),
                                           const_cast<SAFEARRAYBOUND*>(c.bounds.data()));
            ASSERT_NE(array.parray, nullptr);
            array.vt = VT_ARRAY | vt;
            ASSERT_EQ(p->Assign(array), S_OK);
            EXPECT_EQ(BytesOf(p.get()), std::vector<BYTE>(c.bytes, 0)) << vt << " " << c.bytes;
        }
    }
}

TEST(PacketAssign, EnumeratedFramesOfEightGetTheirChecksumReplacedOthersNot) {
    auto p = NewPacket();
    ASSERT_EQ(
        p->Assign(Object(ScriptArray::Bytes({0x1C, 1, 3, 0x48, 0, 0, 0xFF, 0x00})->GetUnknown())),
        S_OK);
    EXPECT_EQ(BytesOf(p.get())[7], 0x99);
    ASSERT_EQ(p->Assign(Object(ScriptArray::Bytes({1, 2, 3, 4, 5, 6})->GetUnknown())), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(p->Assign(Object(ScriptArray::Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})->GetUnknown())),
              S_OK);
    EXPECT_EQ(BytesOf(p.get()).back(), 9);
}

TEST(PacketAssign, ValuesThatAreNoBytesRepeatThePreviousOne) {
    auto p = NewPacket();
    auto array = ScriptArray::Of({CComVariant(Text(u"x")), CComVariant(LONG{5}),
                                  CComVariant(LONG{300}), CComVariant(LONG{6})});
    ASSERT_EQ(p->Assign(Object(array->GetUnknown())), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0, 5, 5, 6}));

    ASSERT_EQ(p->Assign(SafeArrayOf(VT_VARIANT,
                                    {CComVariant(LONG{4}), Text(u"bad"), CComVariant(LONG{2})})),
              S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{4, 4, 2}));
}

TEST(PacketAssign, EnumerablesWithCountAndNewEnumAreTheFallback) {
    auto p = NewPacket();
    auto enumerable = ScriptArray::Bytes({9, 8, 7});
    enumerable->length_name = u"count";
    enumerable->named_enum = true;
    ASSERT_EQ(p->Assign(Object(enumerable->GetUnknown())), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{9, 8, 7}));

    auto neither = ScriptArray::Bytes({1});
    neither->length_name = u"size";
    EXPECT_EQ(p->Assign(Object(neither->GetUnknown())), E_INVALIDARG);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{9, 8, 7}));
}

TEST(PacketAssign, StringsGiveTwoBytesPerCharacterAndOtherTypesFail) {
    auto p = NewPacket();
    ASSERT_EQ(p->Assign(Text(u"ab\u0142")), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{0x61, 0x00, 0x62, 0x00, 0x42, 0x01}));
    EXPECT_EQ(p->Assign(Text(u"")), E_INVALIDARG);
    EXPECT_EQ(BytesOf(p.get()).size(), 6u);
    EXPECT_EQ(p->Assign(CComVariant(LONG{3})), E_FAIL);
    EXPECT_EQ(p->Assign(SafeArrayOf(VT_I4, {CComVariant(LONG{3})})), E_INVALIDARG);
    EXPECT_EQ(BytesOf(p.get()).size(), 6u);
}

TEST(PacketAssign, HeaderAndNamedValuesStayUntilQuickDecode) {
    auto p = NewPacket();
    ASSERT_EQ(p->put_Fade(40), S_OK);
    ASSERT_EQ(p->Assign(Object(ScriptArray::Bytes({0x1C, 5, 0, 0x60, 0, 0, 7})->GetUnknown())),
              S_OK);
    LONG area = 0;
    EXPECT_EQ(p->get_Area(&area), DISP_E_MEMBERNOTFOUND);
    ASSERT_EQ(p->QuickDecode(), S_OK);
    BYTE join = 0, opcode = 0;
    LONG logical = 0, fade = -1;
    EXPECT_EQ(p->get_Area(&area), S_OK);
    EXPECT_EQ(area, 5);
    EXPECT_EQ(p->get_Join(&join), S_OK);
    EXPECT_EQ(join, 7);
    EXPECT_EQ(p->get_Opcode(&opcode), S_OK);
    EXPECT_EQ(opcode, 0x60);
    EXPECT_EQ(p->get_Logical(&logical), S_OK);
    EXPECT_EQ(logical, 1);
    EXPECT_EQ(p->get_Fade(&fade), S_OK);
    EXPECT_EQ(fade, 0);
    EXPECT_FALSE(p->Packet()->Decoded.Has(DecodedPacket::kFade));
}

TEST(PacketArray, GetSafeArrayCopiesTheBytesAsUI1Only) {
    auto p = NewPacket();
    SetBytes(p.get(), {0x5C, 0x01});
    CComVariant out;
    EXPECT_EQ(p->GetSafeArray(VT_VARIANT, &out), E_INVALIDARG);
    ASSERT_EQ(p->GetSafeArray(VT_UI1, &out), S_OK);
    ASSERT_EQ(out.vt, 0x2011);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(out.parray, 1, &lower);
    SafeArrayGetUBound(out.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 1);
    LONG at = 1;
    BYTE b = 0;
    SafeArrayGetElement(out.parray, &at, &b);
    EXPECT_EQ(b, 0x01);
    IUnknown* e = nullptr;
    EXPECT_EQ(p->_NewEnum(&e), E_NOTIMPL);
    IEnumBYTE* be = nullptr;
    EXPECT_EQ(p->GetByteEnum(&be), E_NOTIMPL);
}

TEST(PacketHeader, LogicalSwitchingClearsTheAddressOfTheOtherKind) {
    auto p = NewPacket();
    LONG logical = -1;
    EXPECT_EQ(p->get_Logical(&logical), S_OK);  // read whether present or not
    EXPECT_EQ(logical, 0);
    EXPECT_EQ(p->put_Area(5), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p->put_BoxNumber(2), DISP_E_MEMBERNOTFOUND);
    ASSERT_EQ(p->put_Logical(1), S_OK);
    ASSERT_EQ(p->put_Area(5), S_OK);
    ASSERT_EQ(p->put_Join(0x10), S_OK);
    EXPECT_EQ(p->put_DeviceCode(3), DISP_E_MEMBERNOTFOUND);
    ASSERT_EQ(p->put_Logical(1), S_OK);  // same value: the address stays
    LONG area = 0;
    EXPECT_EQ(p->get_Area(&area), S_OK);
    EXPECT_EQ(area, 5);

    ASSERT_EQ(p->put_Logical(0), S_OK);
    EXPECT_EQ(p->get_Area(&area), DISP_E_MEMBERNOTFOUND);
    BYTE join = 0;
    EXPECT_EQ(p->get_Join(&join), DISP_E_MEMBERNOTFOUND);
    ASSERT_EQ(p->put_BoxNumber(2), S_OK);
    ASSERT_EQ(p->put_DeviceCode(0x44), S_OK);
    LONG box = 0;
    BYTE device = 0;
    EXPECT_EQ(p->get_BoxNumber(&box), S_OK);
    EXPECT_EQ(box, 2);
    EXPECT_EQ(p->get_DeviceCode(&device), S_OK);
    EXPECT_EQ(device, 0x44);
    EXPECT_TRUE(BytesOf(p.get()).empty());  // the bytes never change
}

TEST(PacketHeader, AbsentFieldsReportNotFoundExceptFadeAndLogical) {
    auto p = NewPacket();
    LONG fade = -1, channel = 0, block = 0;
    BYTE sync = 0, opcode = 0;
    EXPECT_EQ(p->get_Fade(&fade), S_OK);
    EXPECT_EQ(fade, 0);
    EXPECT_EQ(p->get_Channel(&channel), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p->get_Sync(&sync), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p->get_Block(&block), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p->get_Opcode(&opcode), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(p->get_Fade(nullptr), E_POINTER);
    ASSERT_EQ(p->put_Channel(3), S_OK);
    ASSERT_EQ(p->put_Sync(0xFF), S_OK);
    EXPECT_EQ(p->get_Channel(&channel), S_OK);
    EXPECT_EQ(channel, 3);
    EXPECT_EQ(p->get_Sync(&sync), S_OK);
    EXPECT_EQ(sync, 0xFF);
}

TEST(PacketTransport, FreshPacketsStartIdleAndFieldsRoundTrip) {
    auto p = NewPacket();
    ULONG port = 0, destinations = 0, delay = 0, time = 1;
    EXPECT_EQ(p->get_PortNumber(&port), S_OK);
    EXPECT_EQ(port, 0xFFFFFFFFu);
    EXPECT_EQ(p->get_DestinationPorts(&destinations), S_OK);
    EXPECT_EQ(destinations, 3u);
    EXPECT_EQ(p->get_Delay(&delay), S_OK);
    EXPECT_EQ(delay, CurrentPacketDelay());
    EXPECT_EQ(p->get_PacketTime(&time), S_OK);
    EXPECT_EQ(time, 0u);
    ASSERT_EQ(p->put_DestinationPorts(1), S_OK);
    ASSERT_EQ(p->put_Delay(120), S_OK);
    EXPECT_EQ(p->Packet()->DestinationPorts, 1u);
    EXPECT_EQ(p->Packet()->Delay, 120u);
}

TEST(PacketDispatch, DigitNamesBelowCountAreBytesAndOthersDynamicMembers) {
    auto p = NewPacket();
    SetBytes(p.get(), {0x1C});
    IDispatch* d = DispatchOf(p.get());
    EXPECT_EQ(IdOf(d, u"0"), kFirstByteDispid);
    CComVariant v;
    ASSERT_EQ(Get(d, kFirstByteDispid, &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI1);
    EXPECT_EQ(v.bVal, 0x1C);
    ASSERT_EQ(Put(d, kFirstByteDispid, CComVariant(LONG{7})), S_OK);
    EXPECT_EQ(BytesOf(p.get()), (std::vector<BYTE>{7}));

    // Beyond Count the name is an ordinary dynamic member, stored with the packet.
    DISPID one = IdOf(d, u"1");
    EXPECT_GE(one, DecodedPacket::kFirstValueDispid);
    ASSERT_EQ(Put(d, one, Text(u"hello")), S_OK);
    EXPECT_EQ(BytesOf(p.get()).size(), 1u);
    const VARIANT* stored = p->Packet()->Decoded.FindValue(u"1");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->vt, VT_BSTR);

    // Through IDispatchEx as well.
    ComPtr<IDispatchEx> ex = ComPtr<IDispatch>(d).As<IDispatchEx>();
    ASSERT_TRUE(ex);
    CComBSTR zero(u"0");
    DISPID id = 0;
    ASSERT_EQ(ex->GetDispID(zero, fdexNameCaseInsensitive, &id), S_OK);
    EXPECT_EQ(id, kFirstByteDispid);
    // The typed members keep their own DISPIDs.
    EXPECT_EQ(IdOf(d, u"count"), 0x259);
}

TEST(PacketDispatch, NamedValuesAreTheDynamicMembersOfEveryObjectOfThePacket) {
    ref<COMPacket> packet(new COMPacket);
    packet->Decoded.SetValue(u"Level", CComVariant(BYTE{200}));
    ComPtr<CPacketOb> first, second;
    ASSERT_EQ(MakeComObject(&first, packet.get()), S_OK);
    ASSERT_EQ(MakeComObject(&second, packet.get()), S_OK);
    CComVariant level;
    ASSERT_EQ(Get(DispatchOf(first.get()), IdOf(DispatchOf(first.get()), u"level"), &level), S_OK);
    EXPECT_EQ(level.bVal, 200);
    ASSERT_EQ(Put(DispatchOf(first.get()), IdOf(DispatchOf(first.get()), u"Note"), Text(u"x")),
              S_OK);
    CComVariant note;
    ASSERT_EQ(Get(DispatchOf(second.get()), IdOf(DispatchOf(second.get()), u"note"), &note), S_OK);
    EXPECT_EQ(note.vt, VT_BSTR);
}

TEST(PacketScriptObject, OneRecordedObjectPerPacketHoldingThePacket) {
    ref<COMPacket> packet(new COMPacket);
    const LONG before = packet->RefCount();
    ComPtr<IDispatch> a, b;
    ASSERT_EQ(GetPacketScriptObject(packet.get(), a.put()), S_OK);
    ASSERT_EQ(GetPacketScriptObject(packet.get(), b.put()), S_OK);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(packet->ScriptObject, a.get());
    EXPECT_EQ(packet->RefCount(), before + 2);  // the object's reference and the self-reference
    a = nullptr;
    b = nullptr;
    EXPECT_EQ(packet->ScriptObject, nullptr);
    EXPECT_EQ(packet->RefCount(), before);

    // A script-created packet is not recorded.
    auto created = NewPacket();
    EXPECT_EQ(created->Packet()->ScriptObject, nullptr);
    PacketBase* inner = nullptr;
    ASSERT_EQ(created->GetPacket(&inner), S_OK);
    EXPECT_EQ(inner, created->Packet().get());
}

TEST(PacketScriptObject, FinalReleaseOfAnyObjectDropsPacketSent) {
    auto p = NewPacket();
    auto function = ScriptFunction::Returning(CComVariant());
    ASSERT_EQ(p->put_PacketSent(function.get()), S_OK);
    ComPtr<IDispatch> read;
    ASSERT_EQ(p->get_PacketSent(read.put()), S_OK);
    EXPECT_EQ(read.get(), static_cast<IDispatch*>(function.get()));

    // Sent: the function gets a second object, the packet's recorded one, which then goes.
    p->Packet()->MarkSent(1, 1234);
    EXPECT_EQ(function->calls, 1);
    ASSERT_TRUE(function->last_argument);
    _IInternalPacket* internal = nullptr;  // not counted
    ASSERT_EQ(function->last_argument->QueryInterface(&internal), S_OK);
    PacketBase* inner = nullptr;
    internal->GetPacket(&inner);
    EXPECT_EQ(inner, p->Packet().get());
    EXPECT_NE(function->last_argument.get(), DispatchOf(p.get()));
    function->last_argument = nullptr;  // its final release drops PacketSent
    ASSERT_EQ(p->get_PacketSent(read.put()), S_OK);
    EXPECT_EQ(read.get(), nullptr);
    EXPECT_EQ(p->Packet()->PacketTime, 1234u);
}

TEST(PacketScriptObject, AScriptClearsPacketSentWithNull) {
    CComVariant null_value;
    null_value.vt = VT_NULL;
    auto p = NewPacket();
    ASSERT_EQ(p->put_PacketSent(ScriptFunction::Returning(CComVariant()).get()), S_OK);
    ASSERT_EQ(CallName(DispatchOf(p.get()), u"PacketSent", DISPATCH_PROPERTYPUT, {null_value}),
              S_OK);
    ComPtr<IDispatch> read;
    ASSERT_EQ(p->get_PacketSent(read.put()), S_OK);
    EXPECT_EQ(read.get(), nullptr);
}

TEST(PacketScriptObject, APlainPacketHasNoPacketSent) {
    ref<PacketBase> packet(new PacketBase);
    ComPtr<IDispatch> object;
    ASSERT_EQ(GetPacketScriptObject(packet.get(), object.put()), S_OK);
    ComPtr<IPacket> p = object.As<IPacket>();
    ComPtr<IDispatch> sent;
    EXPECT_EQ(p->get_PacketSent(sent.put()), S_OK);
    EXPECT_EQ(sent.get(), nullptr);
    auto function = ScriptFunction::Returning(CComVariant());
    EXPECT_EQ(p->put_PacketSent(function.get()), E_FAIL);
    EXPECT_EQ(p->put_PacketSent(nullptr), S_OK);  // nothing to clear
    _IInternalPacket* internal = nullptr;
    ASSERT_EQ(object->QueryInterface(&internal), S_OK);
    PacketBase* inner = nullptr;
    EXPECT_EQ(internal->GetPacket(&inner), S_OK);  // so the library can send it again
    EXPECT_EQ(inner, packet.get());
    ASSERT_EQ(p->Add(CComVariant(LONG{1})), S_OK);  // everything else works
    EXPECT_EQ(packet->ByteCount(), 1);
}

TEST(PacketClass, AnswersItsInterfacesAndIsAgile) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(CreateComInstance<CPacketOb>(nullptr, IID_IUnknown, object.put_void()), S_OK);
    EXPECT_TRUE(object.As<IPacket>());
    EXPECT_TRUE(object.As<IDispatchEx>());
    EXPECT_TRUE(object.As<IObjectSafety>());
    EXPECT_TRUE(IsAgileObject(object.get()));
    ComPtr<IDispatch> d = object.As<IDispatch>();
    EXPECT_EQ(d.get(), static_cast<IDispatch*>(object.As<IPacket>().get()));
}

}  // namespace
