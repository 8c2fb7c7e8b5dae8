#include "interfaces/type_library.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

namespace {

// The member `name` of kind `kind`; a missing one fails the test.
const MemberDesc& Member(const InterfaceDesc& desc, const char16_t* name, MemberKind kind) {
    const DISPID id = desc.FindName(name);
    const MemberDesc* m = id == DISPID_UNKNOWN ? nullptr : desc.Find(id, kind);
    if (!m) throw std::runtime_error(Utf16ToUtf8(desc.name()) + " has no " + Utf16ToUtf8(name));
    return *m;
}

TEST(TypeLibraryTest, IdentifiersAndDispidsAreUniqueAndNamesAgree) {
    std::set<GUID> seen{LIBID_Brevanto};
    for (const InterfaceDesc* desc : BrevantoTypeLibrary().interfaces) {
        const std::string iface = Utf16ToUtf8(desc->name());
        EXPECT_TRUE(seen.insert(desc->iid()).second) << iface;
        std::set<std::pair<DISPID, WORD>> kinds;
        std::map<std::u16string, DISPID> names;
        std::map<DISPID, std::u16string> ids;
        for (const MemberDesc* m : desc->functions()) {
            const std::string where = iface + "." + Utf16ToUtf8(m->name);
            EXPECT_TRUE(kinds.insert({m->dispid, static_cast<WORD>(m->kind)}).second) << where;
            // One name, one DISPID, in both directions.
            const std::u16string folded = FoldName(m->name);
            EXPECT_EQ(names.emplace(folded, m->dispid).first->second, m->dispid) << where;
            EXPECT_EQ(ids.emplace(m->dispid, folded).first->second, folded) << where;
            EXPECT_NE(nullptr, m->thunk) << where;
            EXPECT_TRUE(m->kind != MemberKind::Get || m->result_vt != VT_EMPTY) << where;
        }
    }
    // The internal interfaces and the host's are not in the library but share the numbering.
    for (const GUID& iid :
         {IDestroy::kIid, IReadOnlyTest::kIid, IQuorvaneSerialisable::kIid, _IInternalPacket::kIid,
          _IInternalFilter::kIid, _IInternalSchedule::kIid, _IInternalPublicHoliday::kIid,
          IHxApplication::kIid, IHxSecurity2::kIid})
        EXPECT_TRUE(seen.insert(iid).second) << GuidToString(iid);
    // None collides with a platform interface.
    for (const GUID& iid : {IID_IUnknown, IID_IDispatch, IID_IDispatchEx, IID_IEnumVARIANT,
                            IID_IObjectSafety, IID_IMarshal, IID_ITypeInfo})
        EXPECT_TRUE(seen.insert(iid).second);
}

TEST(TypeLibraryTest, TypesFollowTheSignaturesAndDerivedInterfacesCarryTheirBaseMembers) {
    const MemberDesc& item = Member(IPacket::Describe(), u"item", MemberKind::Get);
    ASSERT_EQ(1u, item.params.size());
    EXPECT_EQ(VT_VARIANT, item.params[0].vt);
    EXPECT_EQ(VT_VARIANT, item.result_vt);
    EXPECT_EQ(VT_UI1, Member(IPacket::Describe(), u"Opcode", MemberKind::Put).params[0].vt);
    EXPECT_EQ(VT_BOOL, Member(ISchedule::Describe(), u"Enable", MemberKind::Get).result_vt);
    EXPECT_EQ(VT_R4, Member(IScheduler::Describe(), u"Lat", MemberKind::Get).result_vt);

    const MemberDesc& port = Member(INetworkHandler::Describe(), u"Port", MemberKind::Get);
    EXPECT_EQ(VT_UI4, port.params[0].vt);
    EXPECT_EQ(VT_DISPATCH, port.result_vt);
    EXPECT_EQ(&IPort::kIid, port.result_iid);

    const auto& sun = Member(IScheduler::Describe(), u"SunriseSunsetTimes", MemberKind::Method);
    ASSERT_EQ(3u, sun.params.size());
    EXPECT_FALSE(sun.params[0].by_ref);
    EXPECT_TRUE(sun.params[1].by_ref);
    EXPECT_TRUE(sun.params[2].by_ref);

    const auto& preset = Member(IDefaultPackets::Describe(), u"SendPreset", MemberKind::Method);
    EXPECT_EQ(1, preset.funcdesc.cParamsOpt);
    EXPECT_EQ(3u, preset.RequiredParams());

    const MemberDesc& match = Member(_IMatchPacket::Describe(), u"Match", MemberKind::Method);
    EXPECT_EQ(&IPacket::kIid, match.params[0].iid);
    EXPECT_EQ(VT_I4, match.result_vt);

    // Derived interfaces carry their base members.
    const InterfaceDesc& pwr = IPacketWithResponse::Describe();
    // Filter members, then packet members without QuickDecode, then its own.
    EXPECT_EQ(IPacketFilter::Describe().functions().size() +
                  IPacket::Describe().functions().size() - 1 + 6,
              pwr.functions().size());
    EXPECT_EQ(u"DestroyNow", pwr.functions().front()->name);
    EXPECT_EQ(u"OnTimeout", pwr.functions().back()->name);
    EXPECT_EQ(DISPID_UNKNOWN, pwr.FindName(u"QuickDecode"));
    EXPECT_EQ(0x2c4, pwr.FindName(u"callbacks"));
    EXPECT_EQ(0x259, pwr.FindName(u"Count"));

    EXPECT_EQ(IPort::Describe().functions().size(), _ICPort::Describe().functions().size());
    EXPECT_EQ(0x322, _ICNetworkHandler::Describe().FindName(u"SendPacket"));
}

}  // namespace
