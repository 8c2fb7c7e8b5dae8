// The Packet script object, and the one script object a packet records for its callbacks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/safearray.h"
#include "support/dispatch_results.h"
#include "support/late_bound.h"
#include "support/network_scripts.h"
#include "support/show.h"
#include "support/variants.h"

namespace {

CComVariant SafeArrayOf(VARTYPE vt, const std::vector<CComVariant>& values) {
    CComVariant out;
    out.vt = VT_ARRAY | vt;
    out.parray = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
        CComVariant v = values[i];
        EXPECT_EQ(vt == VT_VARIANT ? S_OK : v.ChangeType(vt), S_OK);
        SafeArrayPutElement(out.parray, &i, vt == VT_VARIANT ? static_cast<void*>(&v) : &v.bVal);
    }
    return out;
}

// A member of `d` read by name, as Got shows it.
std::string Read(IDispatch* d, const char16_t* name, std::vector<CComVariant> args = {}) {
    return Got(d, IdOf(d, name), std::move(args));
}

TEST(PacketBytes, ItemAddAndRemoveEditTheBytesAndRefuseWhatIsNoByteOrIndex) {
    auto p = New<CPacketOb>();
    constexpr WORD kPut = DISPATCH_PROPERTYPUT, kGet = DISPATCH_PROPERTYGET, kDo = DISPATCH_METHOD;
    const struct {
        const char16_t* member;
        WORD flags;
        std::vector<CComVariant> args;
        HRESULT result;
        const char* bytes;  // afterwards
    } steps[] = {
        {u"Item", kPut, {I4(5), I4(1)}, S_OK, "FF FF FF FF FF 01"},
        {u"Item", kPut, {I4(7), I4(300)}, E_INVALIDARG, "FF FF FF FF FF 01 FF FF"},  // grown first
        {u"Item", kPut, {CComVariant(u"2"), I4(0x42)}, S_OK, "FF FF 42 FF FF 01 FF FF"},
        {u"Item", kPut, {I4(-1), I4(9)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Item", kPut, {I4(0x7FFFFFFF), I4(9)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Item", kGet, {CComVariant(u"two")}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Item", kGet, {CComVariant()}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Item", kGet, {I4(8)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},  // at Count
        {u"Item", kGet, {I4(-1)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Remove", kDo, {I4(-1)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Remove", kDo, {I4(8)}, E_INVALIDARG, "FF FF 42 FF FF 01 FF FF"},
        {u"Remove", kDo, {I4(1)}, S_OK, "FF 42 FF FF 01 FF FF"},
        {u"Add", kDo, {I4(0x1C)}, S_OK, "FF 42 FF FF 01 FF FF 1C"},
        {u"Add", kDo, {CComVariant(u"255")}, S_OK, "FF 42 FF FF 01 FF FF 1C FF"},
        {u"Add", kDo, {I4(256)}, E_INVALIDARG, "FF 42 FF FF 01 FF FF 1C FF"},
        {u"Add", kDo, {CComVariant(u"x")}, E_INVALIDARG, "FF 42 FF FF 01 FF FF 1C FF"},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        CComVariant result;
        EXPECT_EQ(
            CallName(DispatchOf(p.get()), steps[i].member, steps[i].flags, steps[i].args, &result),
            steps[i].result);
        EXPECT_EQ(Hex(BytesOf(p->Packet())), steps[i].bytes);
    }
    // Indices are numbers: "1" converts; bytes read as UI1.
    EXPECT_EQ(Read(DispatchOf(p.get()), u"Item", {CComVariant(u"1")}), "UI1 66");
    EXPECT_EQ(Read(DispatchOf(p.get()), u"Count"), "I4 9");
    EXPECT_EQ(p->get_Item(I4(0), nullptr), E_POINTER);
}

TEST(PacketAssign, ReadsArraysEnumerablesAndStringsAndChecksumsOnlyEnumeratedFrames) {
    auto p = New<CPacketOb>();
    std::vector<CComVariant> frame;
    for (int b : {0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF})
        frame.emplace_back(LONG{b});
    auto counted = ScriptArray::Bytes({9, 8, 7});
    counted->length_name = u"count";
    counted->named_enum = true;
    const struct {
        CComVariant value;
        HRESULT result;
        const char* bytes;  // afterwards
    } cases[] = {
        {ArrayValue({0x1C, 0x01, 0x03, 0x48, 0x00, 0x00, 0xFF}), S_OK, "1C 01 03 48 00 00 FF 99"},
        {SafeArrayOf(VT_UI1, frame), S_OK, "1C 01 03 48 00 00 FF"},
        {SafeArrayOf(VT_VARIANT, frame), S_OK, "1C 01 03 48 00 00 FF"},
        {ArrayValue({0x1C, 1, 3, 0x48, 0, 0, 0xFF, 0x00}), S_OK, "1C 01 03 48 00 00 FF 99"},
        {ArrayValue({1, 2, 3, 4, 5, 6}), S_OK, "01 02 03 04 05 06"},
        {ArrayValue({1, 2, 3, 4, 5, 6, 7, 8, 9}), S_OK, "01 02 03 04 05 06 07 08 09"},
        // Values that are no bytes repeat the previous one.
        {AsVariant(ScriptArray::Of({CComVariant(u"x"), I4(5), I4(300), I4(6)})->GetUnknown()), S_OK,
         "00 05 05 06"},
        {SafeArrayOf(VT_VARIANT, {I4(4), CComVariant(u"b"), I4(2)}), S_OK, "04 04 02"},
        // Enumerables with count and _NewEnum are the fallback.
        {AsVariant(counted->GetUnknown()), S_OK, "09 08 07"},
        {AsVariant(ArrayWithoutLength()->GetUnknown()), E_INVALIDARG, "09 08 07"},
        {CComVariant(u"ab\u0142"), S_OK, "61 00 62 00 42 01"},
        {CComVariant(u""), E_INVALIDARG, "61 00 62 00 42 01"},
        {I4(3), E_FAIL, "61 00 62 00 42 01"},
        {SafeArrayOf(VT_I4, {I4(3)}), E_INVALIDARG, "61 00 62 00 42 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ShowVariant(c.value));
        EXPECT_EQ(p->Assign(c.value), c.result);
        EXPECT_EQ(Hex(BytesOf(p->Packet())), c.bytes);
    }
    // Safe arrays give their first dimension, whatever their bounds.
    const struct {
        std::vector<SAFEARRAYBOUND> bounds;  // leftmost dimension first
        size_t bytes;
    } bounded[] = {
        {{{3, 0}, {2, 0}}, 3},           // the first dimension of a 3 x 2 array
        {{{0x7FFFFFFF, 0}, {0, 0}}, 0},  // an empty dimension: no element at all
        {{{4, 0x7FFFFFFE}}, 4},          // indices beyond the largest LONG
        {{{0xFFFFFFFF, -0x7FFFFFFF - 1}, {0, 0}}, 0},
    };
    for (VARTYPE vt : {VT_UI1, VT_VARIANT}) {
        for (const auto& c : bounded) {
            CComVariant array;
            array.parray = SafeArrayCreate(vt, static_cast<UINT>(c.bounds.size()),
                                           const_cast<SAFEARRAYBOUND*>(c.bounds.data()));
            ASSERT_NE(array.parray, nullptr);
            array.vt = VT_ARRAY | vt;
            ASSERT_EQ(p->Assign(array), S_OK);
            EXPECT_EQ(BytesOf(p->Packet()), Bytes(c.bytes, 0)) << vt << " " << c.bytes;
        }
    }
}

// The header fields as a script reads them: each present one (Fade and Logical always) by name
// with its type and value.
std::string Header(CPacketOb* p) {
    std::string text;
    for (const char16_t* name : {u"Logical", u"Opcode", u"Area", u"Join", u"DeviceCode",
                                 u"BoxNumber", u"Fade", u"Channel", u"Sync", u"Block"}) {
        const std::string value = Read(DispatchOf(p), name);
        if (value != Failed(DISP_E_MEMBERNOTFOUND))
            text += (text.empty() ? "" : ", ") + Utf16ToUtf8(name) + "=" + value;
    }
    return text;
}

// The transport fields are always there. Assign keeps the header; QuickDecode replaces it with
// the bytes' own.
TEST(PacketFields, HeaderOnlyWhenPresentAddressesFollowLogicalAndQuickDecodeReplacesThem) {
    auto p = New<CPacketOb>();
    EXPECT_EQ(p->Packet()->Delay, CurrentPacketDelay());
    DWORD value = 100;
    const std::pair<const char16_t*, DWORD PacketBase::*> fields[] = {
        {u"PortNumber", &PacketBase::PortNumber},
        {u"DestinationPorts", &PacketBase::DestinationPorts},
        {u"Delay", &PacketBase::Delay},
        {u"PacketTime", &PacketBase::PacketTime}};
    for (auto [name, field] : fields) {
        ASSERT_EQ(CallName(DispatchOf(p.get()), name, DISPATCH_PROPERTYPUT, {I4(++value)}), S_OK);
        EXPECT_EQ((*p->Packet()).*field, value);
        EXPECT_EQ(Read(DispatchOf(p.get()), name), "UI4 " + std::to_string(value));
    }
    const struct {
        const char16_t* field;
        LONG value;
        HRESULT result;
        const char* header;  // afterwards
    } steps[] = {
        {u"Area", 5, DISP_E_MEMBERNOTFOUND, "Logical=I4 0, Fade=I4 0"},  // Logical absent
        {u"BoxNumber", 2, DISP_E_MEMBERNOTFOUND, "Logical=I4 0, Fade=I4 0"},
        {u"Logical", 1, S_OK, "Logical=I4 1, Fade=I4 0"},
        {u"Area", 300, S_OK, "Logical=I4 1, Area=I4 300, Fade=I4 0"},
        {u"Join", 0x10, S_OK, "Logical=I4 1, Area=I4 300, Join=UI1 16, Fade=I4 0"},
        {u"DeviceCode", 3, DISP_E_MEMBERNOTFOUND,
         "Logical=I4 1, Area=I4 300, Join=UI1 16, Fade=I4 0"},
        {u"Logical", 1, S_OK, "Logical=I4 1, Area=I4 300, Join=UI1 16, Fade=I4 0"},  // same
        {u"Logical", 0, S_OK, "Logical=I4 0, Fade=I4 0"},
        {u"Join", 1, DISP_E_MEMBERNOTFOUND, "Logical=I4 0, Fade=I4 0"},
        {u"BoxNumber", 2, S_OK, "Logical=I4 0, BoxNumber=I4 2, Fade=I4 0"},
        {u"DeviceCode", 0x44, S_OK, "Logical=I4 0, DeviceCode=UI1 68, BoxNumber=I4 2, Fade=I4 0"},
        {u"Logical", 1, S_OK, "Logical=I4 1, Fade=I4 0"},
        {u"Opcode", 0x60, S_OK, "Logical=I4 1, Opcode=UI1 96, Fade=I4 0"},
        {u"Fade", 2000, S_OK, "Logical=I4 1, Opcode=UI1 96, Fade=I4 2000"},
        {u"Channel", 3, S_OK, "Logical=I4 1, Opcode=UI1 96, Fade=I4 2000, Channel=I4 3"},
        {u"Sync", 0xFF, S_OK,
         "Logical=I4 1, Opcode=UI1 96, Fade=I4 2000, Channel=I4 3, Sync=UI1 255"},
        {u"Block", 1, S_OK,
         "Logical=I4 1, Opcode=UI1 96, Fade=I4 2000, Channel=I4 3, Sync=UI1 255, Block=I4 1"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(Utf16ToUtf8(s.field));
        EXPECT_EQ(CallName(DispatchOf(p.get()), s.field, DISPATCH_PROPERTYPUT, {I4(s.value)}),
                  s.result);
        EXPECT_EQ(Header(p.get()), s.header);
    }
    EXPECT_TRUE(BytesOf(p->Packet()).empty());  // the bytes never change
    EXPECT_EQ(p->get_Fade(nullptr), E_POINTER);
    ASSERT_EQ(p->Assign(ArrayValue({0x1C, 5, 0, 0x60, 0, 0, 7})), S_OK);
    EXPECT_EQ(Header(p.get()), std::end(steps)[-1].header);
    ASSERT_EQ(p->QuickDecode(), S_OK);
    EXPECT_EQ(Header(p.get()), "Logical=I4 1, Opcode=UI1 96, Area=I4 5, Join=UI1 7, Fade=I4 0");
}

// Names below Count are bytes; the others are dynamic members, stored with the packet and so
// shared by every object of it.
TEST(PacketDispatch, DigitNamesBelowCountAreBytesAndOthersDynamicMembersOfEveryObjectOfThePacket) {
    ref<COMPacket> packet(new COMPacket);
    packet->Resize(1, 0x1C);
    packet->Decoded.SetValue(u"Level", CComVariant(BYTE{200}));
    auto p = New<CPacketOb>(packet.get()), second = New<CPacketOb>(packet.get());
    IDispatch *d = DispatchOf(p.get()), *b = DispatchOf(second.get());
    EXPECT_EQ(AsVariant(p->GetUnknown()).pdispVal, d);  // scripts get the IPacket face
    EXPECT_TRUE(p.As<IObjectSafety>() && IsAgileObject(d));
    EXPECT_EQ(IdOf(d, u"0"), kFirstByteDispid);
    EXPECT_EQ(Got(d, kFirstByteDispid), "UI1 28");
    ASSERT_EQ(Call(d, kFirstByteDispid, DISPATCH_PROPERTYPUT, {I4(7)}), S_OK);
    EXPECT_EQ(BytesOf(packet), (Bytes{7}));

    DISPID one = IdOf(d, u"1");
    EXPECT_GE(one, DecodedPacket::kFirstValueDispid);
    ASSERT_EQ(Call(d, one, DISPATCH_PROPERTYPUT, {CComVariant(u"hello")}), S_OK);
    EXPECT_EQ(BytesOf(packet).size(), 1u);
    EXPECT_EQ(Read(b, u"1"), "BSTR hello");
    EXPECT_EQ(Read(d, u"level"), "UI1 200");
    // A value set under another spelling replaces the first in place and keeps its name.
    packet->Decoded.SetValue(u"LEVEL", I4(7));
    EXPECT_EQ(packet->Decoded.Values().Names(), (std::vector<std::u16string>{u"Level", u"1"}));
    EXPECT_EQ(Read(b, u"level"), "I4 7");

    // Through IDispatchEx as well.
    ComPtr<IDispatchEx> ex = p.As<IDispatchEx>();
    ASSERT_TRUE(ex);
    DISPID id = 0;
    ASSERT_EQ(ex->GetDispID(CComBSTR(u"0"), fdexNameCaseInsensitive, &id), S_OK);
    EXPECT_EQ(id, kFirstByteDispid);
}

// The object's final release on one thread races a look-up on another (a received packet's
// object released by the event thread while the port thread passes the packet on): the
// look-up gets the live object or a fresh one, never a dying one, and every record gives back
// its hold on the packet.
TEST(PacketScriptObject, ALookUpRacingTheFinalReleaseElsewhereGetsALiveObject) {
    ref<COMPacket> packet(new COMPacket);
    const LONG before = packet->RefCount();
    auto churn = [&] {
        for (int i = 0; i < 20000; ++i) {
            ComPtr<IDispatch> object;
            ASSERT_EQ(GetPacketScriptObject(packet.get(), object.put()), S_OK);
            LONG count = -1;
            EXPECT_EQ(object.As<IPacket>()->get_Count(&count), S_OK);
        }
    };
    std::thread other(churn);
    churn();
    other.join();
    EXPECT_EQ(packet->ScriptObject, nullptr);
    EXPECT_EQ(packet->RefCount(), before);
}

// The library's packet inside a packet object (none when it is no packet object).
PacketBase* PacketInside(IDispatch* object) {
    _IInternalPacket* internal = nullptr;  // handed out without a reference
    PacketBase* inner = nullptr;
    if (object && SUCCEEDED(object->QueryInterface(&internal)))
        internal->GetPacket(&inner);  // a failure leaves it null
    return inner;
}

// MarkSent records the transmission, tells the listener, then calls PacketSent with the packet's
// recorded script object (made for the call if there is none); the final release of that object
// drops PacketSent, and so does a script's null.
TEST(PacketScriptObject, MarkSentTellsTheListenerThenCallsPacketSentOnceAPlainPacketHasNone) {
    auto p = New<CPacketOb>();  // made by a script: its packet records no object
    PacketBase& packet = *p->Packet();
    packet.MarkSent(1, 10);  // no listener and no function: nothing to call
    ListenerLog listener;
    packet.Listener = &listener;
    auto function = ScriptFunction::Returning(CComVariant());
    std::size_t told_before = 0;
    function->on_call = [&](IDispatch*) { told_before = listener.sent.Size(); };
    ComPtr<IDispatch> read;
    auto sent_function = [&] {
        EXPECT_EQ(p->get_PacketSent(read.put()), S_OK);
        return read.get();
    };

    ComPtr<IDispatch> recorded;  // as an earlier callback made it
    ASSERT_EQ(GetPacketScriptObject(p->Packet().get(), recorded.put()), S_OK);
    ASSERT_EQ(p->put_PacketSent(function.get()), S_OK);
    packet.MarkSent(2, 20);
    EXPECT_EQ(listener.sent.All(), std::vector<std::string>{"2@20"});  // recorded, then told
    ASSERT_EQ(function->Calls(), 1);
    EXPECT_EQ(told_before, 1u);
    EXPECT_EQ(function->Last().flags, DISPATCH_METHOD);
    ASSERT_EQ(function->Last().args.size(), 1u);
    EXPECT_EQ(function->Last().Object(), recorded.get());
    function->Forget();
    recorded = nullptr;
    EXPECT_EQ(sent_function(), nullptr);

    ASSERT_EQ(p->put_PacketSent(function.get()), S_OK);
    packet.MarkSent(1, 30);
    ASSERT_EQ(function->Calls(), 1);
    IDispatch* made = function->Last().Object();
    EXPECT_NE(made, DispatchOf(p.get()));
    EXPECT_EQ(PacketInside(made), &packet);
    function->Forget();
    EXPECT_EQ(sent_function(), nullptr);
    EXPECT_EQ(packet.ScriptObject, nullptr);

    ASSERT_EQ(p->put_PacketSent(function.get()), S_OK);
    EXPECT_EQ(sent_function(), static_cast<IDispatch*>(function.get()));
    ASSERT_EQ(CallName(DispatchOf(p.get()), u"PacketSent", DISPATCH_PROPERTYPUT, {Null()}), S_OK);
    EXPECT_EQ(sent_function(), nullptr);

    // A plain packet has no PacketSent.
    ref<PacketBase> plain(new PacketBase);
    ComPtr<IDispatch> object;
    ASSERT_EQ(GetPacketScriptObject(plain.get(), object.put()), S_OK);
    ComPtr<IPacket> q = object.As<IPacket>();
    EXPECT_EQ(q->get_PacketSent(read.put()), S_OK);
    EXPECT_EQ(read.get(), nullptr);
    EXPECT_EQ(q->put_PacketSent(function.get()), E_FAIL);
    EXPECT_EQ(q->put_PacketSent(nullptr), S_OK);         // nothing to clear
    EXPECT_EQ(PacketInside(object.get()), plain.get());  // so the library can send it again
    ASSERT_EQ(q->Add(I4(1)), S_OK);                      // everything else works
    EXPECT_EQ(plain->ByteCount(), 1);
}

}  // namespace
