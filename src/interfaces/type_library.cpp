#include "interfaces/type_library.h"

const TypeLibraryDesc& BrevantoTypeLibrary() {
    static const TypeLibraryDesc library{
        LIBID_Brevanto,
        u"Brevanto",
        1,
        5,
        u"Brevanto 1.5 Type Library",
        {
            &IGlobal::Describe(),           &INetworkHandler::Describe(),
            &_ICNetworkHandler::Describe(), &IPort::Describe(),
            &_ICPort::Describe(),           &IPacket::Describe(),
            &IPacketFilter::Describe(),     &IPacketFilters::Describe(),
            &_IMatchPacket::Describe(),     &IPacketWithResponse::Describe(),
            &IDefaultPackets::Describe(),   &IDLTimer::Describe(),
            &IScheduler::Describe(),        &ISchedule::Describe(),
            &IPublicHoliday::Describe(),    &IGenericCollection::Describe(),
            &IDataContext::Describe(),      &IPlaceHolder::Describe(),
            &_IFunction::Describe(),        &IConfig::Describe(),
            &IHxSecurity::Describe(),       &IBacklightController::Describe(),
            &IEnumBYTE::Describe(),
        },
    };
    return library;
}
